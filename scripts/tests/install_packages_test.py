#!/usr/bin/env python3
"""scripts/install-packages.sh against a stand-in apt: a package list that
cannot be read, 32-bit Wine that cannot be installed, a 64-bit package that
cannot be installed. Nothing is installed: apt-get, dpkg and dpkg-query are
small scripts on PATH that answer as the real ones did on such a machine."""
import os
import subprocess
import sys
import tempfile

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'install-packages.sh')
MIRROR = ('E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/'
          'Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?')
DEPENDS = ' libwine:i386 : Depends: libgstreamer-plugins-base1.0-0:i386 (>= 1.0.0) but it is not installable'

# Each stand-in appends its arguments to calls.log; apt-get refuses what
# REFUSE names (space-separated) and fails 'update' while UPDATE_FAILS is set.
APT_GET = r'''#!/bin/bash
echo "apt-get $*" >>"$STUB/calls.log"
if [ "$1" = update ]; then
  [ -n "${UPDATE_FAILS:-}" ] || exit 0
  echo "Err:6 mirror"; echo "%s" >&2; exit 100
fi
for p in "$@"; do
  for r in $REFUSE; do
    if [ "$p" = "$r" ]; then
      echo "The following packages have unmet dependencies:"; echo "%s"
      echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100
    fi
  done
done
exit 0
''' % (MIRROR, DEPENDS)
STUBS = {
    'apt-get': APT_GET,
    'dpkg-query': '#!/bin/bash\necho "dpkg-query $*" >>"$STUB/calls.log"; exit 1\n',
    'dpkg': '#!/bin/bash\necho "dpkg $*" >>"$STUB/calls.log"\n'
            '[ "$1" = --print-foreign-architectures ] && echo i386; exit 0\n',
}

CASES = [
    # name, environment, exit code wanted, lines wanted in stderr, lines not wanted
    ('all installable', {}, 0, [], ['setup:']),
    ('a list unreadable, 32-bit Wine refused', {'UPDATE_FAILS': '1', 'REFUSE': 'wine32:i386'}, 0,
     ['package lists, try 3 of 3: ' + MIRROR, 'going on with the package lists that could be read',
      '32-bit Wine (wine32:i386) could not be installed, so the x86 test cases will skip: ' + DEPENDS.strip()],
     ['try 4 of']),
    ('a 64-bit package refused', {'REFUSE': 'libpq-dev'}, 1,
     ['cannot install libpq-dev, which the build and the tests need: ' + DEPENDS.strip()],
     ['cannot install cmake', 'wine32']),
]


def run(name, env, want_rc, want, unwanted):
    with tempfile.TemporaryDirectory(prefix='vardel-setup-test.') as stub:
        for tool, text in STUBS.items():
            path = os.path.join(stub, tool)
            with open(path, 'w') as f:
                f.write(text)
            os.chmod(path, 0o755)
        full = dict(os.environ, PATH=stub + ':' + os.environ['PATH'], STUB=stub, REFUSE='', VARDEL_APT_PAUSE='0')
        full.update(env)
        p = subprocess.run(['bash', SCRIPT], env=full, capture_output=True, text=True, timeout=60)
        with open(os.path.join(stub, 'calls.log')) as f:
            calls = f.read().splitlines()
    failures = []
    if p.returncode != want_rc:
        failures.append('exit %d, wanted %d' % (p.returncode, want_rc))
    for w in want:
        if not any(w in line for line in p.stderr.splitlines()):
            failures.append('stderr lacks: ' + w)
    for u in unwanted:
        if u in p.stderr:
            failures.append('stderr has: ' + u)
    updates = calls.count('apt-get update')
    if updates != (3 if env.get('UPDATE_FAILS') else 1):
        failures.append('apt-get update ran %d times' % updates)
    if want_rc == 0 and not any(c.startswith('apt-get install') and 'wine32:i386' in c for c in calls):
        failures.append('32-bit Wine was never asked for')
    for f in failures:
        print('FAIL %s: %s' % (name, f))
    if failures:
        print('--- stderr of %s:\n%s' % (name, p.stderr))
    return not failures


def main():
    ok = [run(*case) for case in CASES]
    print('%d passed, %d failed' % (ok.count(True), ok.count(False)))
    return 0 if all(ok) else 1


if __name__ == '__main__':
    sys.exit(main())
