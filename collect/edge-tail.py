#!/usr/bin/env python3
"""Companion of an edge rsyslogd: sends the last record of a day file that
has no final line break, which imfile never sends (it waits for the line
end forever).

    edge-tail.py FOLDER WORK_DIR HOST [QUIET]

For each regular file Log_YYYY_MM_DD.log of FOLDER whose size has stayed the
same for QUIET seconds (default 2: the edge's read timeout and its polling
interval) and whose last byte is not LF, the bytes after the last LF go
once, as one octet-counted RFC 5424 message with the file's name as MSGID
and their offset as structured data, to the edge's Unix socket
WORK_DIR/SOCKET (only the edge's user may use it); from there they take the
edge's queue and RELP to the collector like any record.
WORK_DIR/vardel-edge-tail.json remembers (offset, size) of what went per
file, so a tail goes once, and again only when it changed. Runs until
SIGTERM. A tail that could not be sent is tried again at the next look.
Run it through edge-run.py, as the edge: it reads FOLDER and nothing more.
"""
import datetime
import glob
import json
import os
import re
import signal
import socket
import stat
import sys
import time

POLL = 0.5
CHUNK = 65536
STATE = 'vardel-edge-tail.json'
# The edge's input for tails (edge.conf's imptcp path).
SOCKET = 'vardel-tail.sock'
# A day file's name (edge.conf's imfile pattern); it goes as the MSGID.
NAME = re.compile(r'^Log_[0-9]{4}_[0-9]{2}_[0-9]{2}\.log$')


def size_of(path):
    """The size of a regular file; None for anything else (a pipe would
    hang the reader). edge-run.py keeps links to elsewhere out."""
    st = os.stat(path)
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def tail_of(path, size):
    """(offset, bytes) after the file's last LF, or None if it ends in one."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        return None
    with os.fdopen(fd, 'rb') as f:
        end = size
        while end > 0:
            start = max(0, end - CHUNK)
            f.seek(start)
            block = f.read(end - start)
            if end == size and block.endswith(b'\n'):
                return None
            at = block.rfind(b'\n')
            if at >= 0:
                start += at + 1
                break
            end = start
        else:
            start = 0
        f.seek(start)
        return start, f.read(size - start)


def frame(host, name, offset, body):
    """One octet-counted RFC 5424 message as the edge's imfile records leave."""
    now = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec='microseconds')
    head = '<13>1 %s %s vardel - %s [vardel@32473 offset="%d"] ' % (now, host or '-', name, offset)
    msg = head.encode('ascii', 'replace') + body
    return str(len(msg)).encode() + b' ' + msg


def load(path):
    try:
        with open(path) as f:
            return {k: tuple(v) for k, v in json.load(f).items()}
    except (OSError, ValueError, TypeError):
        return {}


def save(path, state):
    with open(path + '.new', 'w') as f:
        json.dump(state, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(path + '.new', path)


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    folder, work, host = sys.argv[1:4]
    quiet = float(sys.argv[4]) if len(sys.argv) == 5 else 2.0
    state_path, edge = os.path.join(work, STATE), os.path.join(work, SOCKET)
    sent = load(state_path)
    seen = {}  # name -> (size, since when)
    running = [True]
    signal.signal(signal.SIGTERM, lambda *_: running.__setitem__(0, False))
    while running[0]:
        now = time.monotonic()
        for path in sorted(glob.glob(os.path.join(folder, 'Log_*.log'))):
            name = os.path.basename(path)
            if not NAME.match(name):
                continue
            try:
                size = size_of(path)
            except OSError:
                continue
            if size is None:
                continue
            if seen.get(name, (None,))[0] != size:
                seen[name] = (size, now)
                continue
            if now - seen[name][1] < quiet or size == 0:
                continue
            try:
                tail = tail_of(path, size)
            except OSError:
                continue
            if tail is None or sent.get(name) == (tail[0], size):
                continue
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                    s.settimeout(5)
                    s.connect(edge)
                    s.sendall(frame(host, name, tail[0], tail[1]))
                    s.shutdown(socket.SHUT_WR)
                    s.recv(1)  # the edge closes once it has taken the frame
            except OSError:
                continue
            sent[name] = (tail[0], size)
            save(state_path, sent)
        time.sleep(POLL)
    return 0


if __name__ == '__main__':
    sys.exit(main())
