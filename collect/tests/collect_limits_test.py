#!/usr/bin/env python3
"""Runs generated day files through collect.sh (real rsyslogd processes) and
checks what the limits of the pipeline leave of them: long records, many
records of one file in file order with their byte offsets, a file whose
last record has no line break, and a folder of more day files than the
open-file limit allows open at once. A missing rsyslogd fails where the
set-up has run (testenv); collect.sh failing fails the case.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import collect_test as ct
import testenv

HERE = os.path.dirname(os.path.abspath(__file__))
COLLECT_SH = os.path.join(HERE, '..', '..', 'scripts', 'collect.sh')
EDGE_RUN = os.path.join(ct.CONF, 'edge-run.py')
EDGE_TAIL = os.path.join(ct.CONF, 'edge-tail.py')
RSYSLOGD = shutil.which('rsyslogd') or '/usr/sbin/rsyslogd'
PC = 'INSTRUMENT-07'
TIME = 'Mon Jan 05 02:03:55 PM GMT Standard Time'
PIECE = 8 * 1024 * 1024
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED:', what)


def record(source, message):
    """One line as the server writes it: each LF of the source as CR LF."""
    return ('%s,INFORMATION,RELEASE,%s,"%s"\r\n' % (TIME, source.replace('\n', '\r\n'), message)).encode('cp1252')


def whole(source, message, offset):
    return dict(host=PC, offset=offset, time=TIME, type='INFORMATION', level='RELEASE', source=source, message=message)


def collect(work, files, limit=None, grow=None):
    """Writes the files, runs collect.sh; its exit code, stderr and records.
    grow: (lines, name, data): appends data to the file once the output
    holds that many lines (30 s at most), collect.sh held open until then."""
    folder = os.path.join(work, 'logs')
    shutil.rmtree(folder, ignore_errors=True)
    os.mkdir(folder)
    for name, data in files.items():
        open(os.path.join(folder, name), 'wb').write(data)
    out, hold = os.path.join(work, 'out.json'), os.path.join(work, 'hold')
    # Not the last case's output: grow waits on this run's lines.
    if os.path.exists(out):
        os.unlink(out)
    env = dict(os.environ, VARDEL_PC_NAME=PC, VARDEL_COLLECT_TIMEOUT='120')
    if grow:
        open(hold, 'w').close()
        env['VARDEL_COLLECT_HOLD'] = hold
    command = ['bash', COLLECT_SH, folder, out]
    if limit:
        command = ['prlimit', '--nofile=' + limit] + command
    p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    if grow:
        lines, name, more = grow
        end = time.monotonic() + 30
        while p.poll() is None and not (os.path.exists(out) and open(out, 'rb').read().count(b'\n') >= lines):
            if time.monotonic() > end:
                check(False, 'the output did not reach %d lines in 30 s' % lines)
                break
            time.sleep(0.1)
        open(os.path.join(folder, name), 'ab').write(more)
        os.unlink(hold)
    r = subprocess.CompletedProcess(command, 0, *p.communicate())
    r.returncode = p.returncode
    got = {}
    for line in open(out, 'rb').read().splitlines() if os.path.exists(out) else []:
        rec = json.loads(line.decode('utf-8'))
        got.setdefault(rec.pop('file'), []).append(rec)
    return r.returncode, r.stderr.decode(errors='replace'), got


def layout(cases):
    """The file of (source, message) records and the records expected."""
    parts, want, at = [], [], 0
    for source, message in cases:
        parts.append(record(source, message))
        want.append(whole(source, message, at))
        at += len(parts[-1])
    return b''.join(parts), want


def long_records(work):
    """100 KB and 1 MB (with a line break in the source) records whole; the
    edge's limit: a line of exactly 8 MiB before its LF (CR included) whole,
    one a byte longer in two pieces; a record past 16 MiB in numbered pieces
    that join to it."""
    def sized(n, message):  # a record of n bytes in the file
        return 'd' * (n - len(record('', message))), message
    cases = [('a' * 100000, 'short after 100 KB'), ('b' * 500000 + '\n' + 'c' * 500000, 'after 1 MB'),
             sized(PIECE + 1, 'eight MiB and the LF'), ('after', 'the long ones')]
    data, want = layout(cases)
    over = record(*sized(PIECE + 2, 'a byte past the limit'))
    big = record('e' * (2 * PIECE + 5), 'past the limit')
    rc, err, got = collect(work, {'Log_2006_05_01.log': data, 'Log_2006_05_02.log': big, 'Log_2006_05_03.log': over})
    check(rc == 0, 'collect.sh over long records: %d %s' % (rc, err[-2000:]))
    g = got.get('Log_2006_05_01.log', [])
    check(g == want, 'long records: %d arrived, %s' % (len(g), [(len(r.get('source', r.get('raw', ''))), r.get('offset'))
                                                                for r in g]))
    # The record at the limit came as one: no piece, and the next record's
    # offset 8 MiB and its LF after its own.
    at = [r.get('offset') for r in g if 'piece' not in r]
    check(len(at) == 4 and at[3] - at[2] == PIECE + 1, 'the record at the limit arrived whole (offsets %s)' % at)

    def split(name):
        return [(p.get('piece'), p.get('pieces'), p.get('offset')) for p in got.get(name, [])]
    check(split('Log_2006_05_03.log') == [(1, 2, 0), (2, 2, 0)], 'a byte past the limit: %s' % split('Log_2006_05_03.log'))
    check(split('Log_2006_05_02.log') == [(1, 3, 0), (2, 3, 0), (3, 3, 0)], 'pieces: %s' % split('Log_2006_05_02.log'))
    for name, rec in (('Log_2006_05_02.log', big), ('Log_2006_05_03.log', over)):
        check(''.join(p.get('raw', '') for p in got.get(name, [])).encode('cp1252') == rec.rstrip(b'\r\n'),
              '%s: the pieces joined are the record' % name)
    check('2 records longer than 8 MiB arrived in pieces' in err, 'collect.sh says two records arrived in pieces: %s'
          % err[-500:])


def order_and_offsets(work):
    """30,000 records of one file (some with line breaks, one cut short by a
    full disk) in file order, each with its own byte offset."""
    # First some that one-line records may hold, for the collector's quick
    # way and its full one alike.
    awkward = [('', ''), ('a","b\\c', 'm\\ x'), ('tab\there', 'caf\xe9'), ('caf\xe9', 'x'), ('s,t', 'u,v')]
    data, want = layout(awkward + [('source %d%s' % (i, '\nsecond line' if i % 97 == 0 else ''), 'message %d' % i)
                                   for i in range(30000 - len(awkward))])
    cut = len(data)
    data += (TIME + ',INFORMATION,RELEASE,cut sh').encode() + b'\r\n'
    tail, tail_want = layout([('after the cut', 'last')])
    want.append(dict(host=PC, offset=cut, raw=TIME + ',INFORMATION,RELEASE,cut sh'))
    want.append(dict(tail_want[0], offset=tail_want[0]['offset'] + len(data)))
    rc, err, got = collect(work, {'Log_2006_06_01.log': data + tail})
    check(rc == 0, 'collect.sh over 30,000 records: %d %s' % (rc, err[-2000:]))
    g = got.get('Log_2006_06_01.log', [])
    breaks = sum(1 for a, b in zip(g, g[1:]) if a.get('offset', -1) >= b.get('offset', -1))
    check(g == want, '30,000 records: %d arrived, %d out of order, first difference %s' % (
        len(g), breaks, next(((i, a, b) for i, (a, b) in enumerate(zip(g, want)) if a != b), None)))


def last_without_line_break(work):
    """A file whose last record has no line break: that record arrives once
    the file stands still, with its offset, as a record where it parses and
    as raw where it does not (a piece a full disk cut short)."""
    data, want = layout([('first', 'one'), ('second', 'two')])
    cut = (TIME + ',INFORMATION,RELEASE,cut sh').encode()
    rc, err, got = collect(work, {'Log_2006_07_01.log': data[:-2], 'Log_2006_07_02.log': data,
                                  'Log_2006_07_03.log': data + cut})
    check(rc == 0, 'collect.sh over last records without a line break: %d %s' % (rc, err[-1000:]))
    check(got.get('Log_2006_07_01.log') == want, 'the last record without a line break: %s' % got.get('Log_2006_07_01.log'))
    check(got.get('Log_2006_07_02.log') == want, 'the file that ends in a line break: %s' % got.get('Log_2006_07_02.log'))
    check(got.get('Log_2006_07_03.log') == want + [dict(host=PC, offset=len(data), raw=cut.decode())],
          'a cut-short piece at the end: %s' % got.get('Log_2006_07_03.log'))


def grown_after_tail(work):
    """The server goes on after a last record without a line break (its
    CR LF, then a record): the completed line comes again, at the same
    offset, and the new record after it; nothing is lost."""
    data, want = layout([('first', 'one'), ('second', 'two'), ('third', 'three')])
    second_end = want[2]['offset']
    rc, err, got = collect(work, {'Log_2006_08_01.log': data[:second_end - 2]},
                           grow=(2, 'Log_2006_08_01.log', data[second_end - 2:]))
    check(rc == 0, 'collect.sh over a file that grew after its tail went: %d %s' % (rc, err[-1000:]))
    check(got.get('Log_2006_08_01.log') == [want[0], want[1], want[1], want[2]],
          'the tail, the completed line again, the new record: %s' % got.get('Log_2006_08_01.log'))


def many_files(work):
    """A folder of 3,000 day files under an open-file limit of 1024: every
    record once."""
    files, want = {}, {}
    for i in range(3000):
        name = 'Log_%04d_%02d_%02d.log' % (2000 + i // 336, 1 + i // 28 % 12, 1 + i % 28)
        files[name], want[name] = layout([('file %d' % i, 'record %d' % j) for j in range(3)])
    rc, err, got = collect(work, files, limit='1024')
    check(rc == 0, 'collect.sh over 3,000 files: %d %s' % (rc, err[-2000:]))
    missing = sorted(n for n in want if got.get(n) != want[n])
    check(not missing and len(got) == len(want), '3,000 files: %d arrived, %d not as written: %s' % (
        len(got), len(missing), missing[:5]))


def edge_and_collector_env(folder, edge_dir, central_dir, out):
    """The settings of an edge over FOLDER and a collector writing OUT, on
    free ports of 127.0.0.1."""
    relp, tcp, escaped = ct.free_ports(3)
    return dict(os.environ, VARDEL_CONF_DIR=ct.CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
                VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped), VARDEL_COLLECT_DIR=central_dir,
                VARDEL_COLLECT_OUT=out, VARDEL_EDGE_DIR=edge_dir, VARDEL_LOG_FOLDER=folder,
                VARDEL_COLLECTOR='127.0.0.1', VARDEL_PC_NAME=PC, VARDEL_STORE_CONF='', VARDEL_SHIPPERS_CONF='')


def spooled(work):
    """60,000 records read while the collector is away wait in the edge's
    queue (far past what a memory queue of 10,000 would hold); the collector
    comes: every record arrives once and in file order, none left in the
    edge's queue."""
    data, want = layout([('spooled %d' % i, 'message %d' % i) for i in range(60000)])
    folder, edge_dir, central_dir = (os.path.join(work, n) for n in ('logs', 'edge', 'central'))
    shutil.rmtree(folder, ignore_errors=True)
    for d in (folder, edge_dir, central_dir):
        os.makedirs(d, exist_ok=True)
    open(os.path.join(folder, 'Log_2006_10_01.log'), 'wb').write(data)
    out = os.path.join(work, 'out.json')
    env = edge_and_collector_env(folder, edge_dir, central_dir, out)

    def spool():
        return sum(os.path.getsize(os.path.join(edge_dir, f)) for f in os.listdir(edge_dir)
                   if f.startswith('vardel_ship.0'))
    procs = [ct.Rsyslogd(os.path.join(ct.CONF, 'edge.conf'), env, os.path.join(work, 'edge.log'))]
    try:
        # All read and queued: the spool has stood still for half a second.
        sizes = [-1]
        ct.wait_for(lambda: sizes.append(spool()) or sizes[-1] == sizes[max(-6, -len(sizes))] > 0,
                    'the edge to queue the file')
        procs.append(ct.Rsyslogd(os.path.join(ct.CONF, 'central.conf'), env, os.path.join(work, 'central.log')))
        ct.wait_for(lambda: ct.line_count(out) >= len(want), 'all records to arrive', 60)
        time.sleep(1)  # and nothing after them
    finally:
        for p in procs:
            p.stop()
    got = [json.loads(line) for line in open(out, 'rb').read().splitlines()] if os.path.exists(out) else []
    for r in got:
        r.pop('file', None)
    offsets = [r.get('offset', -1) for r in got]
    breaks = sum(1 for a, b in zip(offsets, offsets[1:]) if a >= b)
    check(got == want, 'spooled records: %d arrived (%d of them once), %d out of order, first difference %s' % (
        len(got), len(set(offsets)), breaks, next(((i, a, b) for i, (a, b) in enumerate(zip(got, want)) if a != b),
                                                   None if len(got) == len(want) else len(got))))



def held_output(work):
    """The collector's output held back (its JSON file a pipe no one reads)
    while 40,000 records come, its main queue told to spill from 200 on: let
    go after the last came or half-way through, every record arrives once and
    the queue keeps nothing. (Not in the order sent: a spilling queue sends
    from its memory and its disk part side by side.)"""
    n = 40000
    frames = []
    for i in range(n):
        m = ('<14>1 2006-04-01T00:00:00Z %s vardel - Log_2006_11_01.log [vardel@32473 offset="%d"] ' % (PC, i)
             ).encode() + record('held %d' % i, 'message %d' % i)
        frames.append(b'%d %s' % (len(m), m))
    for name, release_at in (('let go after the last', n), ('let go half-way', n // 2)):
        central_dir = os.path.join(work, 'held-central')
        shutil.rmtree(central_dir, ignore_errors=True)
        os.mkdir(central_dir)
        conf = os.path.join(work, 'held-central.conf')
        text = open(os.path.join(ct.CONF, 'central.conf')).read()
        check('main_queue(' in text, 'central.conf has a main_queue()')
        open(conf, 'w').write(text.replace('main_queue(', 'main_queue(queue.highWatermark="200" queue.lowWatermark="100" ', 1))
        pipe, out = os.path.join(work, 'held.pipe'), os.path.join(work, 'held.json')
        for f in (pipe, out):
            if os.path.exists(f):
                os.unlink(f)
        os.mkfifo(pipe)
        env = edge_and_collector_env('', '', central_dir, pipe)
        central = ct.Rsyslogd(conf, env, os.path.join(work, 'held-central.log'))
        reader = None
        got = bytearray()
        try:
            ct.wait_for(lambda: ct.listening(int(env['VARDEL_TCP_PORT'])), '%s: the collector to listen' % name)
            ct.check_private_inputs([int(env[k]) for k in ('VARDEL_RELP_PORT', 'VARDEL_TCP_PORT', 'VARDEL_ESCAPED_PORT')],
                                    check)
            s = socket.create_connection(('127.0.0.1', int(env['VARDEL_TCP_PORT'])))
            s.settimeout(30)
            s.sendall(b''.join(frames[:release_at]))
            time.sleep(1)  # the queue takes the rest behind the held output
            reader = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)
            s.sendall(b''.join(frames[release_at:]))
            s.close()

            def drained():
                try:
                    got.extend(os.read(reader, 1 << 20))
                except BlockingIOError:
                    pass
                return got.count(b'\n') >= n
            ct.wait_for(drained, '%s: all records to arrive' % name, 60)
            time.sleep(1)  # and nothing after them
            drained()
        finally:
            central.stop()
            if reader is not None:
                os.close(reader)
        offsets = [json.loads(line).get('offset', -1) for line in bytes(got).splitlines()]
        breaks = sum(1 for a, b in zip(offsets, offsets[1:]) if a >= b)
        once = set(offsets)
        check(sorted(offsets) == list(range(n)), '%s: %d arrived (%d of them once, %d out of order), first missing %s' % (
            name, len(offsets), len(once), breaks, next((i for i in range(n) if i not in once), None)))
        left = sum(os.path.getsize(os.path.join(central_dir, f)) for f in os.listdir(central_dir)
                   if f.startswith('vardel_main.0'))
        check(left == 0, '%s: %d bytes left in the main queue\'s files' % (name, left))


# Run as another local user: hands the edge's socket a frame that claims a
# host, a file and an offset; prints what happened.
INTRUDER = r"""
import socket, sys
m = b'<13>1 2026-01-01T00:00:00Z VICTIM-PC vardel - Log_2006_09_09.log [vardel@32473 offset="0"] forged'
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
try:
    s.connect(sys.argv[1])
    s.sendall(b'%d %s' % (len(m), m))
    print('sent')
except PermissionError:
    print('refused')
"""


def edge_guard(work):
    """Who may hand the edge a record, and what it reads: a frame from
    another local user (nobody) is refused and stored nowhere; links in the
    log folder (to a root-only file, to a folder; there at the start or made
    later; with a day's name or not) and a pipe are not read; the folder's
    regular day file is, its tail through the edge's own companion included."""
    if os.geteuid() != 0:
        testenv.skip('the guard case hands the edge a frame as another local user (runuser): it needs root')
    os.chmod(work, 0o755)  # nobody reaches the socket: its own mode must refuse
    folder, edge_dir, central_dir = (os.path.join(work, n) for n in ('logs', 'edge', 'central'))
    private = os.path.join(work, 'private')
    for d in (folder, edge_dir, central_dir, private):
        os.mkdir(d, 0o755)
    os.chmod(private, 0o700)
    secret = os.path.join(private, 'secret.log')
    open(secret, 'wb').write(record('SECRET', 'only root reads this') + b'SECRET tail')
    os.chmod(secret, 0o600)
    day = os.path.join(folder, 'Log_2006_09_09.log')
    data, want = layout([('kept', 'one'), ('kept', 'two'), ('kept', 'three')])
    open(day, 'wb').write(data[:want[2]['offset'] - 2])  # the second without its line end
    for name, target in (('Log_2006_09_01.log', secret), ('Log_2006_09_02.log', private), ('Log_link.log', secret)):
        os.symlink(target, os.path.join(folder, name))
    os.mkfifo(os.path.join(folder, 'Log_2006_09_04.log'))  # not a regular file: read by neither
    out = os.path.join(work, 'out.json')
    env = edge_and_collector_env(folder, edge_dir, central_dir, out)
    guard = [sys.executable, EDGE_RUN, '--read', folder, '--write', edge_dir, '--']
    procs = [ct.Rsyslogd(os.path.join(ct.CONF, 'central.conf'), env, os.path.join(work, 'central.log'))]
    procs.append(ct.Rsyslogd(os.path.join(ct.CONF, 'edge.conf'), env, os.path.join(edge_dir, 'edge.log'), guard))
    companion = subprocess.Popen(guard + [EDGE_TAIL, folder, edge_dir, PC],
                                 stdout=open(os.path.join(work, 'tail.log'), 'wb'), stderr=subprocess.STDOUT)

    def records():
        lines = open(out, 'rb').read().splitlines() if os.path.exists(out) else []
        return [json.loads(x) for x in lines]
    try:
        # The first two, the second through the companion (socket) once the
        # file stood still: by then the edge has looked at the links too.
        ct.wait_for(lambda: len(records()) >= 2, 'the day file\'s first two records')
        r = subprocess.run(['runuser', '-u', 'nobody', '--', '/usr/bin/python3', '-c', INTRUDER,
                            os.path.join(edge_dir, 'vardel-tail.sock')], capture_output=True, text=True)
        check(r.stdout.strip() == 'refused', 'another local user handing the edge a frame: %r %s' % (
            r.stdout.strip(), r.stderr.strip()[-300:]))
        # A link made while the edge runs, then the day file goes on: the
        # edge reads the folder again for its rest.
        os.symlink(secret, os.path.join(folder, 'Log_2006_09_03.log'))
        open(day, 'ab').write(data[want[2]['offset'] - 2:])
        ct.wait_for(lambda: len(records()) >= 4, 'the completed record and the one after it')
    finally:
        companion.send_signal(signal.SIGTERM)
        companion.wait(30)
        for p in procs:
            p.stop()
    got = records()
    check([(g.get('file'), g.get('offset')) for g in got] == [('Log_2006_09_09.log', w['offset']) for w in
                                                              (want[0], want[1], want[1], want[2])],
          'only the regular day file\'s records: %s' % [(g.get('file'), g.get('host'), g.get('offset')) for g in got])
    text = open(out, 'rb').read() if os.path.exists(out) else b''
    check(b'SECRET' not in text and b'VICTIM' not in text, 'nothing of the linked file or the forged frame stored')


def main():
    testenv.require_tool(RSYSLOGD, 'rsyslogd')
    cases = {'long': long_records, 'order': order_and_offsets, 'unterminated': last_without_line_break,
             'grown': grown_after_tail, 'many': many_files, 'guard': edge_guard,
             'spooled': spooled, 'held': held_output}
    with tempfile.TemporaryDirectory(prefix='vardel-collect-limits.') as work:
        for name in sys.argv[1:] or cases:
            cases[name](work)
    print('%d checks failed' % len(failures) if failures else 'all records arrived as written')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
