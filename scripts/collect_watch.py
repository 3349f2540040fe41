#!/usr/bin/env python3
"""The waiting part of collect.sh: runs the edge over the day files, BATCH
files at a time (links to them in its folder, VARDEL_LOG_FOLDER; an edge
process for each batch), follows the collector's output as it grows
(reading only what is new) and counts each day file's records.

    collect_watch.py FOLDER OUT_FILE TIMEOUT BATCH RSYSLOGD EDGE_CONF EDGE_PID EDGE_LOG EDGE_TAIL EDGE_RUN PID...

EDGE_TAIL (edge-tail.py) runs beside each edge process over the same links,
both through EDGE_RUN (edge-run.py: they read FOLDER, the links and their
work folder and nothing more). Of FOLDER, only regular files with a day's
name are read; others are named.

A batch is done once a record has arrived at each offset where its files,
as they are then, hold one (a record sent twice counts once), and the file
VARDEL_COLLECT_HOLD, if named, does not exist. Prints what did not arrive
whole; exits 0 when every record did, 1 otherwise or after TIMEOUT seconds
in all, 3 when a PID (the collector) or an edge process ends early.
"""
import glob
import importlib.util
import json
import os
import re
import signal
import subprocess
import sys
import time

# A line that starts with a time text, a type and a level starts a record.
START = re.compile(rb'(?m)^((Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [0-9]{2} [0-9:]{8} [AP]M [^,\r\n]*'
                   rb'|UNKNOWN_TIME [0-9]+),[A-Z_]+,[A-Z_]+,')
START_TEXT = re.compile(START.pattern.decode().replace('(?m)^', '^'))


def expected(path):
    """Records in one file, and whether its last one ends in a line break."""
    try:
        with open(path, 'rb') as f:
            data = f.read()
    except OSError:
        return 0, True
    return len(START.findall(data)), data.endswith(b'\n') or not data


COUNTED = {}  # path -> ((size, mtime), records): a file is read again only once it changed


def counted(path):
    try:
        st = os.stat(path)
    except OSError:
        return 0  # gone since: what arrived of it is named at the end
    key = (st.st_size, st.st_mtime_ns)
    if COUNTED.get(path, (None,))[0] != key:
        COUNTED[path] = (key, expected(path)[0])
    return COUNTED[path][1]


def arrived(out, names, folder):
    """Every record the files now hold has arrived (counted by offset)."""
    return all(len(out.whole.get(n, ())) >= counted(os.path.join(folder, n)) for n in names)


class Output:
    """The collector's records per file, read from where the last look ended."""

    def __init__(self, path):
        self.path, self.pos, self.rest = path, 0, b''
        self.whole = {}       # file -> offsets of the records that arrived whole (or all their pieces)
        self.pieces = {}      # (file, offset) -> (pieces seen, pieces in all)
        self.bad = 0

    def read(self):
        with open(self.path, 'rb') as f:
            f.seek(self.pos)
            data = f.read()
        if not data:
            return False
        self.pos += len(data)
        lines = (self.rest + data).split(b'\n')
        self.rest = lines.pop()
        for line in lines:
            try:
                r = json.loads(line)
            except ValueError:
                self.bad += 1
                continue
            name = r.get('file')
            if 'pieces' in r:
                key = (name, r.get('offset'))
                seen, n = self.pieces.get(key, (set(), r['pieces']))
                seen.add(r.get('piece'))
                self.pieces[key] = (seen, n)
                if len(seen) == n:
                    self.whole.setdefault(name, set()).add(r.get('offset'))
            elif 'time' in r or START_TEXT.match(r.get('raw', '')):
                self.whole.setdefault(name, set()).add(r.get('offset'))
        return True


def wait(out, folder, names, begin, timeout, pids, children):
    """Until the files' records have come (0), the time is up (1) or a
    process ended (3)."""
    hold = os.environ.get('VARDEL_COLLECT_HOLD')
    count = True
    while True:
        # The files are counted again whenever records came: one that grew
        # meanwhile is waited for too.
        count = out.read() or count
        if count and not (hold and os.path.exists(hold)):
            if arrived(out, names, folder):
                return 0
            count = False
        if time.monotonic() - begin >= timeout:
            print('collect: %d of %d records after %g s' % (
                sum(len(out.whole.get(n, ())) for n in names),
                sum(expected(os.path.join(folder, n))[0] for n in names), timeout), file=sys.stderr)
            return 1
        # The edge processes are children (an ended one stays a zombie, so
        # poll() them); the collector is not.
        if not all(alive(pid) for pid in pids) or any(c.poll() is not None for c in children):
            print('collect: an rsyslogd (or the edge\'s companion) ended early', file=sys.stderr)
            return 3
        time.sleep(0.2)


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def main():
    folder, out_path = sys.argv[1:3]
    timeout, batch = float(sys.argv[3]), int(sys.argv[4])
    edge_command = [sys.argv[5], '-n', '-f', sys.argv[6], '-i', sys.argv[7]]
    edge_log, edge_tail, edge_run = sys.argv[8], sys.argv[9], sys.argv[10]
    pids = [int(p) for p in sys.argv[11:]]
    links = os.environ['VARDEL_LOG_FOLDER']
    # The day file's name as the edge has it.
    found = importlib.util.spec_from_file_location('edge_tail', edge_tail)
    companion = importlib.util.module_from_spec(found)
    found.loader.exec_module(companion)
    names = []
    for path in sorted(glob.glob(os.path.join(folder, 'Log_*.log'))):
        name = os.path.basename(path)
        if not companion.NAME.match(name):
            print('collect: %s: not read: not a day file\'s name (Log_YYYY_MM_DD.log)' % name, file=sys.stderr)
        elif os.path.islink(path) or not os.path.isfile(path):
            print('collect: %s: not read: not a regular file' % name, file=sys.stderr)
        else:
            names.append(name)
    out = Output(out_path)
    begin = time.monotonic()
    failed = False
    for first in range(0, len(names), batch):
        part = names[first:first + batch]
        for n in part:
            os.symlink(os.path.join(folder, n), os.path.join(links, n))
        guard = [sys.executable, edge_run, '--read', folder, '--read', links, '--write', os.environ['VARDEL_EDGE_DIR'],
                 '--']
        edge = subprocess.Popen(guard + edge_command, stdout=open(edge_log, 'ab'), stderr=subprocess.STDOUT)
        tail = subprocess.Popen(guard + [edge_tail, links, os.environ['VARDEL_EDGE_DIR'], os.environ['VARDEL_PC_NAME']],
                                stdout=open(edge_log, 'ab'), stderr=subprocess.STDOUT)
        try:
            rc = wait(out, folder, part, begin, timeout, pids, (edge, tail))
        finally:
            # The companion first: what it handed in goes out through the edge.
            for p in (tail, edge):
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(30)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if rc:
            return rc
        for n in part:
            os.unlink(os.path.join(links, n))
    out.read()
    want = {n: expected(os.path.join(folder, n)) for n in names}
    for (name, offset), (seen, n) in sorted(out.pieces.items(), key=lambda i: (str(i[0][0]), i[0][1] or 0)):
        if len(seen) != n:
            failed = True
            print('collect: %s: the record at byte %s arrived in %d of its %d pieces' % (name, offset, len(seen), n),
                  file=sys.stderr)
    split = sum(1 for seen, n in out.pieces.values() if len(seen) == n)
    if split:
        print('collect: %d records longer than 8 MiB arrived in pieces' % split, file=sys.stderr)
    for name, (n, ends_whole) in sorted(want.items()):
        got = len(out.whole.get(name, ()))
        if got < n:
            failed = True
            print('collect: %s: %d of %d records arrived%s' % (
                name, got, n, '' if ends_whole else ' (its last record has no line break at its end)'), file=sys.stderr)
    if out.bad:
        failed = True
        print('collect: %d output lines are not JSON' % out.bad, file=sys.stderr)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
