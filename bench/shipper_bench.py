#!/usr/bin/env python3
"""Records per second from VardelShipper.exe under Wine to a collector,
against the rsyslog edge (collect/edge.conf) reading the same day file on
the same machine, in the same run. Both send to the same collector, one
that writes each message as it came (collect/tests/passthrough.conf), so
that the figures are the shippers'. Rounds alternate the two and each keeps
its best.

    shipper_bench.py BUILD_DIR [RECORDS] [ROUNDS]     (default 200000 and 2;
                                                      RECORDS 0: the LogEvent measure alone)

Then the server's LogEvent throughput with the shipper reading the day file
against without it, back to back (shipper_server_tests' benchmark case;
goal 0.95). It uses the build's prefix: run it while no test runs there.

Exits 77 when rsyslogd cannot start, 1 when a run did not deliver.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import collect_bench as cb  # noqa: E402

PASSTHROUGH = os.path.join(cb.CONF, 'tests', 'passthrough.conf')
GOAL = 1.0


def run_shipper(build, folder, n, work):
    """Seconds from the shipper's start to the collector's last record."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, 'central'))
    relp, tcp, escaped = cb.free_ports(3)
    out = os.path.join(work, 'out.json')
    open(out, 'w').close()
    env = dict(os.environ, VARDEL_CONF_DIR=cb.CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
               VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped), VARDEL_COLLECT_DIR=os.path.join(work, 'central'),
               VARDEL_COLLECT_OUT=out, VARDEL_STORE_CONF='')
    wine_env = dict(os.environ, WINEPREFIX=os.path.join(build, 'wineprefix'), WINEDEBUG='-all', TZ='UTC',
                    WINEARCH='win64', WINEDLLOVERRIDES='mscoree,mshtml=')
    wine = '/usr/lib/wine/wine64' if os.path.exists('/usr/lib/wine/wine64') else shutil.which('wine64')
    win = lambda p: 'Z:' + p.replace('/', '\\')
    procs = []
    try:
        procs.append(cb.start_collector(PASSTHROUGH, env, work, relp))
        begin = time.monotonic()
        procs.append(subprocess.Popen(
            [wine, os.path.join(build, 'bin', 'VardelShipper.exe'), '--console', '--collector', '127.0.0.1:%d' % relp,
             '--folder', win(folder), '--state', win(os.path.join(work, 'places')), '--host', 'BENCH-PC', '--plain'],
            env=wine_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = begin + 600
        while cb.lines(out) < n:
            if time.monotonic() > deadline or any(p.poll() is not None for p in procs):
                print('shipper bench: %d of %d records arrived' % (cb.lines(out), n), file=sys.stderr)
                raise SystemExit(1)
            time.sleep(0.05)
        return time.monotonic() - begin
    finally:
        for p in procs:
            p.send_signal(signal.SIGKILL if p is not procs[0] else signal.SIGTERM)
        for p in procs:
            p.wait(30)


def main():
    # Stopped (a timeout's SIGTERM): its servers and folder go too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 200000
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    if not os.access(cb.RSYSLOGD, os.X_OK):
        print('shipper bench: rsyslogd is not installed (scripts/setup.sh installs it)')
        return 77
    subprocess.run([os.path.join(HERE, '..', 'cmake', 'wine-run'), build, '--start'], check=True)
    if n:
        records_per_second(build, n, rounds)
    return logevent_with_shipper(build)


def records_per_second(build, n, rounds):
    with tempfile.TemporaryDirectory(prefix='vardel-shipper-bench.') as tmp:
        folder = os.path.join(tmp, 'logs')
        os.mkdir(folder)
        cb.day_file(os.path.join(folder, 'Log_2026_01_05.log'), n)
        ours, base = [], []
        for _ in range(rounds):
            ours.append(run_shipper(build, folder, n, os.path.join(tmp, 'run')))
            base.append(cb.run(PASSTHROUGH, folder, n, os.path.join(tmp, 'run')))
    o, b = n / min(ours), n / min(base)
    print('%-28s %12s %12s %8s %8s' % ('measure', 'ours', 'baseline', 'ratio', 'goal'))
    print('%-28s %12.0f %12.0f %8.2f %8s %s' % ('shipper, records/s', o, b, o / b, '>= %.1f' % GOAL,
                                                 'met' if o / b >= GOAL else 'NOT met'))
    print('(%d records, one day file; the shipper under Wine against the edge, best of %d rounds each: '
          'ours %s s, baseline %s s)' % (n, rounds, ' '.join('%.1f' % t for t in ours),
                                         ' '.join('%.1f' % t for t in base)))


def logevent_with_shipper(build):
    # The server's LogEvent throughput with the shipper reading against
    # without it (shipper_server_tests, its disabled benchmark case).
    # The shipper sends to a passthrough collector outside Wine, as above.
    with tempfile.TemporaryDirectory(prefix='vardel-shipper-bench.') as tmp:
        work = os.path.join(tmp, 'central')
        os.makedirs(work)
        relp, tcp, escaped = cb.free_ports(3)
        env = dict(os.environ, VARDEL_CONF_DIR=cb.CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
                   VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped), VARDEL_COLLECT_DIR=work,
                   VARDEL_COLLECT_OUT=os.path.join(tmp, 'out.json'), VARDEL_STORE_CONF='')
        central = subprocess.Popen([cb.RSYSLOGD, '-n', '-f', PASSTHROUGH, '-i', os.path.join(tmp, 'c.pid')], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            bench = subprocess.run([os.path.join(HERE, '..', 'cmake', 'wine-run'), build,
                                    os.path.join(build, 'bin', 'shipper_server_tests.exe'),
                                    '--gtest_also_run_disabled_tests', '--gtest_filter=ServerWrites.DISABLED_Benchmark'],
                                   capture_output=True, text=True, errors='replace',
                                   env=dict(os.environ, VARDEL_BENCH_COLLECTOR_PORT=str(relp)))
        finally:
            central.send_signal(signal.SIGTERM)
            central.wait(30)
    figures = [line for line in bench.stdout.splitlines() if line.startswith(('LogEvent', '(events'))]
    if bench.returncode != 0 or not figures:
        print('shipper bench: the LogEvent measure failed:\n' + bench.stdout[-3000:] + bench.stderr[-2000:])
        return 1
    print('\n'.join(figures))
    return 0


if __name__ == '__main__':
    sys.exit(main())
