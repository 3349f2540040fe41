#!/usr/bin/env python3
"""Runs an edge process (the edge rsyslogd, or edge-tail.py) able to read
the log folder and nothing more of the host's files, root or not.

    edge-run.py --read DIR [--read DIR]... --write DIR -- COMMAND [ARG...]

The kernel's Landlock (Linux 5.13+) holds the process and its children to:
reading beneath each --read folder (the log folder; collect.sh's folder of
links into it), reading and writing beneath --write (the edge's work folder:
read positions, queue, its socket, its pid file), and reading the programs,
libraries and the few system files rsyslogd and Python load. imfile follows
a link (it opens the link's target by its real path), so a link in the log
folder to a file elsewhere, or to a folder, is refused by the kernel however
and whenever it was made. A COMMAND ending in .py runs with this Python.
Replaces itself with COMMAND (same process id).
Exit codes: COMMAND's; 5 the kernel cannot hold the process so (the cause on
stderr): the edge does not run unguarded.
"""
import ctypes
import os
import sys

# Landlock's file system rights (linux/landlock.h), by the ABI that brought them.
EXECUTE, WRITE_FILE, READ_FILE, READ_DIR = 1 << 0, 1 << 1, 1 << 2, 1 << 3
ABI_RIGHTS = {1: (1 << 13) - 1, 2: (1 << 14) - 1, 3: (1 << 15) - 1, 5: (1 << 16) - 1}
FILE_RIGHTS = EXECUTE | WRITE_FILE | READ_FILE | (1 << 14) | (1 << 15)
READ = EXECUTE | READ_FILE | READ_DIR
CREATE_RULESET, ADD_RULE, RESTRICT_SELF = 444, 445, 446  # x86-64 and arm64 alike
PATH_BENEATH, RULESET_VERSION, NO_NEW_PRIVS = 1, 1, 38
# What rsyslogd and Python read beyond their own trees: not /etc as a
# whole, which holds secrets of its own.
SYSTEM_DIRS = ['/usr', '/lib', '/lib64', '/bin', '/sbin']
SYSTEM_FILES = ['/etc/ld.so.cache', '/etc/localtime', '/etc/nsswitch.conf', '/etc/passwd', '/etc/group',
                '/etc/hosts', '/etc/host.conf', '/etc/resolv.conf', '/etc/gai.conf', '/etc/services',
                '/etc/protocols', '/dev/null', '/dev/urandom', '/dev/random']


class PathBeneath(ctypes.Structure):
    _pack_ = 1
    _fields_ = [('allowed_access', ctypes.c_uint64), ('parent_fd', ctypes.c_int32)]


def die(cause):
    print('edge-run: ' + cause, file=sys.stderr)
    sys.exit(5)


def restrict(read, write):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    abi = libc.syscall(CREATE_RULESET, None, ctypes.c_size_t(0), ctypes.c_uint32(RULESET_VERSION))
    if abi < 1:
        die('the kernel has no Landlock (Linux 5.13+, enabled): %s' % os.strerror(ctypes.get_errno()))
    handled = ABI_RIGHTS[max(a for a in ABI_RIGHTS if a <= abi)]
    attr = ctypes.c_uint64(handled)
    ruleset = libc.syscall(CREATE_RULESET, ctypes.byref(attr), ctypes.c_size_t(8), ctypes.c_uint32(0))
    if ruleset < 0:
        die('cannot make a Landlock rule set: %s' % os.strerror(ctypes.get_errno()))

    def allow(path, rights, needed):
        try:
            fd = os.open(path, os.O_PATH | os.O_CLOEXEC)
        except OSError as e:
            if needed:
                die('cannot open %s: %s' % (path, e.strerror))
            return
        if not os.path.isdir(path):
            rights &= FILE_RIGHTS
        rule = PathBeneath(rights & handled, fd)
        if libc.syscall(ADD_RULE, ctypes.c_int(ruleset), ctypes.c_int(PATH_BENEATH), ctypes.byref(rule),
                        ctypes.c_uint32(0)) != 0:
            die('cannot allow %s: %s' % (path, os.strerror(ctypes.get_errno())))
        os.close(fd)

    here = os.path.dirname(os.path.abspath(__file__))
    for path in SYSTEM_DIRS + SYSTEM_FILES + [sys.base_prefix, sys.prefix]:
        allow(path, READ, False)
    allow(here, READ, True)  # the edge's configuration and companion
    for path in read:
        allow(path, READ, True)
    for path in write:
        allow(path, handled, True)
    if libc.prctl(NO_NEW_PRIVS, 1, 0, 0, 0) != 0 or libc.syscall(RESTRICT_SELF, ctypes.c_int(ruleset),
                                                                  ctypes.c_uint32(0)) != 0:
        die('cannot hold this process: %s' % os.strerror(ctypes.get_errno()))


def main(argv):
    read, write = [], []
    while argv and argv[0] in ('--read', '--write') and len(argv) > 1:
        (read if argv[0] == '--read' else write).append(argv[1])
        argv = argv[2:]
    if len(argv) < 2 or argv[0] != '--' or not write:
        print(__doc__, file=sys.stderr)
        return 2
    command = argv[1:]
    if command[0].endswith('.py'):
        command = [sys.executable] + command
    restrict(read, write)
    try:
        os.execvp(command[0], command)
    except OSError as e:
        die('cannot run %s: %s' % (command[0], e.strerror))


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
