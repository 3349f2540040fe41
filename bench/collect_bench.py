#!/usr/bin/env python3
"""Records per second through central collection: the edge and the
collector of collect/ over one day file of RECORDS records, against the same
edge and a collector that writes each message as it came, unparsed
(collect/tests/passthrough.conf), in the same run. Rounds alternate the two
and each keeps its best; prints the figures and the ratio.

    collect_bench.py [RECORDS] [ROUNDS]     (default 200000 and 2)

Exits 77 when rsyslogd cannot start, 1 when a run did not deliver.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CONF = os.path.join(HERE, '..', 'collect')
RSYSLOGD = shutil.which('rsyslogd') or '/usr/sbin/rsyslogd'
GOAL = 0.5


def start_collector(conf, env, work, relp):
    """A collector with CONF, once it listens on 127.0.0.1:RELP (10 s at
    most); exit 77 when it does not start."""
    proc = subprocess.Popen([RSYSLOGD, '-n', '-f', conf, '-i', os.path.join(work, 'c.pid')], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(('127.0.0.1', relp), 1).close()
            return proc
        except OSError:
            if time.monotonic() > end or proc.poll() is not None:
                proc.kill()
                raise SystemExit(77)
            time.sleep(0.05)


def free_ports(n):
    """n ports of 127.0.0.1 free at once (the sockets held until all are taken)."""
    socks = [socket.socket() for _ in range(n)]
    for s in socks:
        s.bind(('127.0.0.1', 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def day_file(path, n):
    """N records as the server writes them; one in 100 with a line break in
    its source, one in 100 with bytes of code page 1252 (both take the
    collector's slow steps)."""
    with open(path, 'wb') as f:
        for i in range(n):
            source = 'Instrument.Module%d%s' % (i % 7, '\r\nsecond line' if i % 100 == 0 else '')
            message = 'Measurement %d done in %d ms%s' % (i, i % 997, ' \xe9t\xe9' if i % 100 == 50 else '')
            f.write(('Mon Jan 05 02:03:55 PM GMT Standard Time,INFORMATION,RELEASE,%s,"%s"\r\n'
                     % (source, message)).encode('cp1252'))


def lines(path):
    with open(path, 'rb') as f:
        return sum(block.count(b'\n') for block in iter(lambda: f.read(1 << 20), b''))


def run(collector, folder, n, work):
    """Seconds from the edge's start to the collector's last record."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, 'edge'))
    os.makedirs(os.path.join(work, 'central'))
    relp, tcp, escaped = free_ports(3)
    out = os.path.join(work, 'out.json')
    open(out, 'w').close()
    env = dict(os.environ, VARDEL_CONF_DIR=CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
               VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped),
               VARDEL_COLLECT_DIR=os.path.join(work, 'central'), VARDEL_COLLECT_OUT=out,
               VARDEL_EDGE_DIR=os.path.join(work, 'edge'), VARDEL_LOG_FOLDER=folder, VARDEL_COLLECTOR='127.0.0.1',
               VARDEL_PC_NAME='BENCH-PC')
    procs = []
    try:
        procs.append(start_collector(collector, env, work, relp))
        begin = time.monotonic()
        procs.append(subprocess.Popen([RSYSLOGD, '-n', '-f', os.path.join(CONF, 'edge.conf'), '-i',
                                       os.path.join(work, 'e.pid')], env=env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = begin + 600
        while lines(out) < n:
            if time.monotonic() > deadline or any(p.poll() is not None for p in procs):
                print('collect bench: %d of %d records arrived' % (lines(out), n), file=sys.stderr)
                raise SystemExit(1)
            time.sleep(0.05)
        return time.monotonic() - begin
    finally:
        for p in procs:
            p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def main():
    # Stopped (a timeout's SIGTERM): its servers and folder go too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    if not os.access(RSYSLOGD, os.X_OK):
        print('collect bench: rsyslogd is not installed (scripts/setup.sh installs it)')
        return 77
    with tempfile.TemporaryDirectory(prefix='vardel-collect-bench.') as tmp:
        folder = os.path.join(tmp, 'logs')
        os.mkdir(folder)
        day_file(os.path.join(folder, 'Log_2026_01_05.log'), n)
        ours, base = [], []
        for _ in range(rounds):
            ours.append(run(os.path.join(CONF, 'central.conf'), folder, n, os.path.join(tmp, 'run')))
            base.append(run(os.path.join(CONF, 'tests', 'passthrough.conf'), folder, n, os.path.join(tmp, 'run')))
    o, b = n / min(ours), n / min(base)
    print('%-28s %12s %12s %8s %8s' % ('measure', 'ours', 'baseline', 'ratio', 'goal'))
    print('%-28s %12.0f %12.0f %8.2f %8s %s' % ('collect, records/s', o, b, o / b, '>= %.1f' % GOAL,
                                                 'met' if o / b >= GOAL else 'NOT met'))
    print('(%d records, one day file; best of %d rounds each: ours %s s, baseline %s s)' % (
        n, rounds, ' '.join('%.1f' % t for t in ours), ' '.join('%.1f' % t for t in base)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
