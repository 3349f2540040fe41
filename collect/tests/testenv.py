"""What a collector-host test may skip and what it must fail on.

A skip (exit 77, CTest's skip code here) is only for what this machine
cannot do. A tool that scripts/setup.sh installs is a failure when missing
wherever the set-up has run: always under CI=true, and where the set-up left
SETUP_MARKER. A product script that fails is always a failure.

    require_tool(path, what) -> path   # present, or fail/skip naming it
    fail(cause)                        # exit 1, the cause printed
    skip(reason)                       # exit 77, the reason printed
"""
import os
import sys

SKIP = 77
# Left by the set-up once it has installed the tools (a machine-wide fact).
SETUP_MARKER = os.environ.get('VARDEL_SETUP_MARKER', '/var/lib/vardel/setup-done')


def setup_has_run():
    return os.environ.get('CI') == 'true' or os.path.exists(SETUP_MARKER)


def fail(cause):
    print('FAILED:', cause, flush=True)
    sys.exit(1)


def skip(reason):
    print('SKIPPED:', reason, flush=True)
    sys.exit(SKIP)


def require_tool(path, what):
    """path when it is an executable file (or a readable folder of data); else a
    failure where the set-up has run, a skip elsewhere, naming what."""
    if os.access(path, os.X_OK if os.path.isfile(path) else os.R_OK):
        return path
    cause = '%s is missing: %s (scripts/setup.sh installs it)' % (what, path)
    if setup_has_run():
        fail(cause + ('; CI=true' if os.environ.get('CI') == 'true' else '; the set-up has run (%s)' % SETUP_MARKER))
    skip(cause)
