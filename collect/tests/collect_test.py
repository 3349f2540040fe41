#!/usr/bin/env python3
"""Runs the day files that the events tests left through real rsyslogd
processes and checks every record that reaches the collector.

    collect_test.py EVENTS_FOLDER ZONE_FOLDER...

Each ZONE_FOLDER of EVENTS_FOLDER holds one day file and expected.tsv (the
fields of its events in hexadecimal), written by the events test program
that VARDEL_EVENTS_TEST names (CMake sets it): files older than that program
are an earlier build's and fail the test, as do missing ones and a missing
rsyslogd where the set-up has run (testenv).
"""
import json
import re
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import testenv

HERE = os.path.dirname(os.path.abspath(__file__))
CONF = os.path.dirname(HERE)
COLLECT_SH = os.path.join(CONF, '..', 'scripts', 'collect.sh')
RSYSLOGD = shutil.which('rsyslogd') or '/usr/sbin/rsyslogd'
PC = 'INSTRUMENT-07'
FIELDS = ('time', 'type', 'level', 'source', 'message')
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED:', what)


def load(zone_folder):
    """The day file's bytes and the expected records, in order."""
    day = next(n for n in os.listdir(zone_folder) if n.startswith('Log_'))
    with open(os.path.join(zone_folder, day), 'rb') as f:
        data = f.read()
    with open(os.path.join(zone_folder, 'expected.tsv')) as f:
        rows = [[bytes.fromhex(x).decode('cp1252') for x in line.rstrip('\n').split('\t')] for line in f]
    return data, [dict(zip(FIELDS, r)) for r in rows]


def by_file(path):
    """The collector's records per file, in order; each line must be UTF-8 JSON."""
    files = {}
    for line in open(path, 'rb').read().splitlines():
        try:
            r = json.loads(line.decode('utf-8', 'strict'))
        except ValueError as e:
            check(False, 'not UTF-8 JSON: %r (%s)' % (line, e))
            continue
        files.setdefault(r.pop('file', None), []).append(r)
    return files


def expect_files(got, want, what):
    """Per file, the records in order, each once."""
    for name in sorted(set(got) | set(want)):
        g, w = got.get(name, []), want.get(name, [])
        check(g == w, '%s: %s has %d records, %d expected%s' % (
            what, name, len(g), len(w),
            ''.join('\n  got  %r\n  want %r' % p for p in zip(g, w) if p[0] != p[1])[:2000]))


def parsed(expected):
    return [dict(host=PC, **e) for e in expected]


def from_edge(day, expected):
    """The records as an edge sends them: each with its byte offset."""
    starts = [0]
    for r in split_records(day)[:-1]:
        starts.append(starts[-1] + len(r))
    return [dict(host=PC, offset=o, **e) for o, e in zip(starts, expected)]


def outside_addresses():
    """The address by which other machines reach this host, where it has a
    route out (a UDP socket's connect sends nothing)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("192.0.2.1", 9))
        except OSError:
            return []
        address = s.getsockname()[0]
    return [] if address.startswith("127.") else [address]


def listening(port, address='127.0.0.1'):
    """Whether address:port takes a connection."""
    try:
        socket.create_connection((address, port), 1).close()
        return True
    except OSError:
        return False


def check_private_inputs(ports, check=check):
    """Another PC cannot use any of these inputs: each listens on the
    loopback, and none answers on the host's address for other machines."""
    for port in ports:
        check(listening(port), 'nothing listens on 127.0.0.1:%d' % port)
        for address in outside_addresses():
            check(not listening(port, address), "the input %d is reached on %s, the host's address for other "
                  "machines" % (port, address))


def free_ports(n):
    socks = [socket.socket() for _ in range(n)]
    for s in socks:
        s.bind(('127.0.0.1', 0))
    return [s.getsockname()[1] for s in socks]


class Rsyslogd:
    """One rsyslogd in the foreground with the settings in env (started
    through the command wrap, such as edge-run.py, when given)."""

    def __init__(self, conf, env, log, wrap=()):
        self.proc = subprocess.Popen(list(wrap) + [RSYSLOGD, '-n', '-f', conf, '-i', log + '.pid'], env=env,
                                     stdout=open(log, 'wb'), stderr=subprocess.STDOUT)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def wait_for(condition, what, seconds=30):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            check(False, 'timed out waiting for ' + what)
            return False
        time.sleep(0.1)
    return True


def line_count(path):
    return open(path, 'rb').read().count(b'\n') if os.path.exists(path) else 0


def split_records(day):
    """The day file's records, each with its line end (the test's sources
    hold no line that starts like a time text)."""
    starts = [m.start() for m in re.finditer(rb'(?m)^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [0-9]{2} ', day)]
    return [day[a:b] for a, b in zip(starts, starts[1:] + [len(day)])]


def fragment_file(day):
    """A day file that a full disk left with a piece of a line twice, each
    followed by a line break: one too short to hold a record's start, one
    that holds it; the records around them whole."""
    r = split_records(day)[:3]
    short, long_ = r[1][:6], r[2][:50]
    data = r[0] + short + b'\r\n' + r[1] + long_ + b'\r\n' + r[2]
    return data, [short.decode('cp1252'), long_.decode('cp1252')]


def run_collect_sh(work, zones):
    """Every zone's day file and the fragment file through collect.sh."""
    folder = os.path.join(work, 'logs')
    os.mkdir(folder)
    want = {}
    for i, (data, expected) in enumerate(zones):
        name = 'Log_2006_01_%02d.log' % (i + 1)
        open(os.path.join(folder, name), 'wb').write(data)
        want[name] = from_edge(data, expected)
    frag, pieces = fragment_file(zones[0][0])
    open(os.path.join(folder, 'Log_2006_02_01.log'), 'wb').write(frag)
    r = split_records(zones[0][0])
    e = parsed(zones[0][1])
    # Each piece and record with its own offset: the piece's bytes and its
    # CR LF lie between them.
    at = [0]
    for part in (r[0], pieces[0].encode('cp1252') + b'\r\n', r[1], pieces[1].encode('cp1252') + b'\r\n'):
        at.append(at[-1] + len(part))
    want['Log_2006_02_01.log'] = [dict(e[0], offset=at[0]), dict(host=PC, offset=at[1], raw=pieces[0]),
                                  dict(e[1], offset=at[2]), dict(host=PC, offset=at[3], raw=pieces[1]),
                                  dict(e[2], offset=at[4])]

    out = os.path.join(work, 'collect.json')
    r = subprocess.run(['bash', COLLECT_SH, folder, out], env=dict(os.environ, VARDEL_PC_NAME=PC),
                       capture_output=True)
    check(r.returncode == 0, 'collect.sh exited with %d: %s' % (r.returncode, r.stderr.decode(errors='replace')))
    expect_files(by_file(out), want, 'collect.sh')


def send_as_windows_shippers(records, tcp, escaped):
    """The records as the Windows shipper settings send them: converted to
    UTF-8 and without their last line end; octet-counted with the file as
    APP-NAME (NXLog), or one a line with %, CR and LF escaped and the file's
    path as MSGID (Fluent Bit)."""
    head = '<14>1 2006-04-01T00:00:00Z %s ' % PC
    with socket.create_connection(('127.0.0.1', tcp)) as s:
        for r in records:
            m = (head + 'Log_2006_04_01.log - - - ').encode() + r.decode('cp1252').encode()[:-2]
            s.sendall(b'%d %s' % (len(m), m))
    with socket.create_connection(('127.0.0.1', escaped)) as s:
        for r in records:
            text = r.decode('cp1252').encode()[:-2].replace(b'%', b'%25').replace(b'\r', b'%0D').replace(b'\n', b'%0A')
            s.sendall((head + 'vardel - C:\\Korvane\\VardelLogs\\Log_2006_04_02.log - ').encode() + text + b'\n')


def edge_with_counters(work, stats):
    """The edge as shipped, with its counters written to STATS every second,
    so that a test can wait until it holds records: its configuration's
    path, and a function that reads how many its send queue has taken."""
    edge_conf = os.path.join(work, 'edge-stats.conf')
    with open(edge_conf, 'w') as f:
        f.write('module(load="impstats" interval="1" format="json" log.syslog="off" log.file="%s")\n'
                'include(file="%s")\n' % (stats, os.path.join(CONF, 'edge.conf')))

    def enqueued():
        n = 0
        for line in open(stats).read().splitlines() if os.path.exists(stats) else []:
            s = json.loads(line[line.index('{'):])
            if s.get('name') == 'vardel_send':
                n = s.get('enqueued', 0)
        return n
    return edge_conf, enqueued


def run_live(work, zones):
    """Appends while the edge runs, the next day's file, and a collector that
    is away for a while."""
    folder, out = os.path.join(work, 'live'), os.path.join(work, 'live.json')
    stats = os.path.join(work, 'edge-stats.json')
    os.mkdir(folder)
    relp, tcp, escaped = free_ports(3)
    env = dict(os.environ, VARDEL_CONF_DIR=CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
               VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped),
               VARDEL_COLLECT_DIR=os.path.join(work, 'central'),
               VARDEL_COLLECT_OUT=out, VARDEL_EDGE_DIR=os.path.join(work, 'edge'), VARDEL_LOG_FOLDER=folder,
               VARDEL_COLLECTOR='127.0.0.1', VARDEL_PC_NAME=PC)
    os.mkdir(env['VARDEL_COLLECT_DIR'])
    os.mkdir(env['VARDEL_EDGE_DIR'])
    edge_conf, enqueued = edge_with_counters(work, stats)

    (day1, want1), (day2, want2) = zones[0], zones[1]
    r1, r2 = split_records(day1), split_records(day2)
    half = len(r2) // 2
    f1, f2 = os.path.join(folder, 'Log_2006_03_01.log'), os.path.join(folder, 'Log_2006_03_02.log')
    open(f1, 'wb').write(r1[0])
    central = Rsyslogd(os.path.join(CONF, 'central.conf'), env, os.path.join(work, 'central.log'))
    edge = Rsyslogd(edge_conf, env, os.path.join(work, 'edge.log'))
    try:
        wait_for(lambda: line_count(out) >= 1, 'the first record')
        send_as_windows_shippers(r1, tcp, escaped)
        open(f1, 'ab').write(b''.join(r1[1:]))  # appended while the edge runs
        open(f2, 'wb').write(b''.join(r2[:half]))  # the next day's file
        wait_for(lambda: line_count(out) >= 3 * len(want1) + half, 'the appended records and the next day')
        central.stop()                       # the collector goes away
        open(f2, 'ab').write(b''.join(r2[half:]))
        wait_for(lambda: enqueued() >= len(want1) + len(want2), 'the edge to read while the collector is away')
        central = Rsyslogd(os.path.join(CONF, 'central.conf'), env, os.path.join(work, 'central2.log'))
        wait_for(lambda: line_count(out) >= 3 * len(want1) + len(want2), 'the records kept by the edge')
    finally:
        edge.stop()
        central.stop()
    expect_files(by_file(out), {'Log_2006_03_01.log': from_edge(day1, want1), 'Log_2006_03_02.log': from_edge(day2, want2),
                                'Log_2006_04_01.log': parsed(want1), 'Log_2006_04_02.log': parsed(want1)}, 'live')


def zone_files(argv):
    """The events tests' day files named on the command line (EVENTS_FOLDER
    ZONE_FOLDER...), loaded; exits failing, naming the cause, where they are
    missing or older than the events test program (VARDEL_EVENTS_TEST)."""
    testenv.require_tool(RSYSLOGD, 'rsyslogd')
    program = os.environ.get('VARDEL_EVENTS_TEST')
    built = os.stat(program).st_mtime_ns if program and os.path.exists(program) else None
    if built is None:
        print('note: VARDEL_EVENTS_TEST names no program: the day files are not checked to be this build\'s')
    for z in argv[2:]:
        folder = os.path.join(argv[1], z)
        names = [os.path.join(folder, 'expected.tsv')] + [
            os.path.join(folder, n) for n in (os.listdir(folder) if os.path.isdir(folder) else []) if n.startswith('Log_')]
        if len(names) < 2 or not os.path.exists(names[0]):
            testenv.fail('the events test (%s) left no day file and expected.tsv in %s' % (program or '?', folder))
        old = [n for n in names if built is not None and os.stat(n).st_mtime_ns <= built]
        if old:
            testenv.fail('%s: older than the events test program %s: an earlier build\'s (did collect.events skip?)' % (
                ', '.join(old), program))
    return [load(os.path.join(argv[1], z)) for z in argv[2:]]


def main():
    zones = zone_files(sys.argv)
    with tempfile.TemporaryDirectory(prefix='vardel-collect-test.') as work:
        run_collect_sh(work, zones)
        run_live(work, zones)
    print('%d checks failed' % len(failures) if failures else 'all records arrived as written')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
