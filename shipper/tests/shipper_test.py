#!/usr/bin/env python3
"""VardelShipper.exe under Wine against Debian's rsyslogd with the
collector's configuration (collect/central.conf, RELP input, JSON lines).

    shipper_test.py BUILD_DIR CASE

CASE content    past and today's day files: sources over several lines,
                bytes of code page 1252, a record of 8 MiB and one of 9 MiB
                (in pieces), a last record without its line end (sent once
                the file stands still, then completed at the same offset)
                and a day file replaced under its name (said, read again)
CASE kills      the shipper killed at random moments five times while it
                sends 20,000 records, and started again each time
CASE collector  the collector stopped while the shipper sends and started
                again; a day file deleted before it was sent (said, with
                its bytes)
CASE away       the collector away for a full minute while the day files
                grow: tries 1 s doubling, everything sent after its return
CASE restart    a PC's restart: the server writing the prefix's day file,
                the server, the host and the shipper killed together (hard)
                and started again, more events logged
CASE midnight   the shipper's clock past midnight (libfaketime): the ended
                day's unfinished last record goes, the new day's file is read
CASE tls        RELP over TLS through Wine's Schannel to the shippers' gate:
                a PC of the site's CA sends, its records stored under its
                certificate's name whatever host it claims; a collector of
                another CA is refused by the shipper, a PC of another CA by
                the collector
CASE service    the service under Wine's service manager, with its settings
                in the registry's 32-bit view: installed, started, stopped,
                started again, removed (it uses the prefix's log folder)
In each: every record once (the last line of each file and offset, as the
store keeps it), in file order (first arrivals), with its offset and
fields from the test's own model of the bytes it wrote.
Exit 1 names what failed (a missing rsyslogd included: set-up installs it).
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from shipper_support import (PC, RSYSLOGD, TOP, Collector, Model, Shipper, check, day_name, finish,  # noqa: E402
                             free_port, run_wine, verify, wait_all, wait_for, win)


def case_content(build, run, folder, collector, shipper, model):
    past2, past1, today = day_name(2), day_name(1), day_name(0)
    model.write(folder, past2, 0, 300)
    # A record of 8 MiB of text (its CR counted, as the edge sends it) goes
    # whole; one of 9 MiB goes in two pieces.
    head, _ = model.record(300, source=b'')
    data, fields = model.record(300, source=b's' * (8 * 1024 * 1024 - len(head) - 1))
    model.append(folder, past2, data, fields)
    big = b'Wed Dec 09 01:00:00 AM GMT Standard Time,ERROR,RELEASE,' + b'b' * (9 * 1024 * 1024) + b',"big"'
    model.append(folder, past2, big + b'\r\n', dict(pieces=2, raw=big.decode()))
    model.write(folder, past2, 301, 50)
    # A past day's file that ends in an unfinished record: it goes at once
    # (the server writes no more to that file).
    model.write(folder, past1, 400, 100)
    unfinished = model.record(500)[0][:-8]
    model.append(folder, past1, unfinished, dict(host=PC, raw=unfinished.decode('cp1252')))
    # Today's file ends in a record cut after its first source line.
    model.write(folder, today, 600, 200)
    part, part_fields = model.record(800, source=b'first line\r\nsecond line')
    cut = part.index(b'second')
    at = model.append(folder, today, part[:cut], None)
    collector.start()
    shipper.start()
    wait_for(lambda: any(r.get('offset') == at and r['file'] == today for r in collector.lines()),
             "the unfinished last record of today's file, once the file stood still")
    got = [r for r in collector.lines() if r.get('offset') == at and r['file'] == today]
    check(got[-1:] == [dict(host=PC, file=today, offset=at, raw=part[:cut - 2].decode())],
          'the unfinished record went as it stood: %r' % got[-1:])
    # Completed later: the whole record at the same offset, then more.
    with open(os.path.join(folder, today), 'ab') as f:
        f.write(part[cut:])
    model.records[today].append((at, part, part_fields))
    model.sizes[today] += len(part) - cut
    model.write(folder, today, 801, 20)
    wait_all(model, collector)
    verify(model, collector, replaced={(today, at)}, exact=True)
    # A day file replaced under its name: said, and read again from the start.
    old = model.records.pop(past1)
    model.sizes.pop(past1)
    model.write(folder, 'replacement', 900, 30)
    model.records[past1] = model.records.pop('replacement')
    os.replace(os.path.join(folder, 'replacement'), os.path.join(folder, past1))
    wait_for(lambda: shipper.said('was replaced'), 'the replacement said', 30)
    wait_all(model, collector)
    # The old file's records past the new one's end stay in the store.
    stale = {(past1, o) for o, _, _ in old}
    verify(model, collector, replaced=stale, notices=(past1 + ' was replaced', 'read again from the start'))


def case_kills(build, run, folder, collector, shipper, model):
    today = day_name(0)
    model.write(folder, day_name(1), 0, 8000)
    model.write(folder, today, 10000, 12000)
    collector.start()
    rng = random.Random(os.getpid())
    shipper.start()
    for k in range(5):
        goal = collector.count() + rng.randrange(200, 3000)
        wait_for(lambda: collector.count() >= goal, 'kill %d: %d lines at the collector' % (k + 1, goal), 120)
        shipper.kill()
        print('killed the shipper at %d lines' % collector.count(), flush=True)
        shipper.start()
    wait_all(model, collector, 300)
    verify(model, collector)
    dup = len([r for r in collector.lines() if 'offset' in r]) - model.total()
    print('records sent again after the kills: %d' % dup)


def case_collector(build, run, folder, collector, shipper, model):
    past, today = day_name(1), day_name(0)
    model.write(folder, past, 0, 2000)
    gone = day_name(3)
    model.write(folder, gone, 0, 10)
    size = model.sizes.pop(gone)
    model.records.pop(gone)
    # The collector away from the start: nothing can go, and the file of
    # three days ago is deleted before it was sent.
    shipper.start()
    wait_for(lambda: shipper.said('lost'), 'the shipper to find the collector away', 30)
    os.remove(os.path.join(folder, gone))
    wait_for(lambda: shipper.said('was deleted with %d bytes' % size), 'the deletion said', 30)
    collector.start()
    model.write(folder, today, 3000, 4000)
    wait_for(lambda: collector.count() >= 1500, '1,500 records at the collector', 120)
    collector.stop()
    print('stopped the collector at %d lines' % collector.count(), flush=True)
    model.write(folder, today, 7000, 500)
    wait_for(lambda: shipper.said('lost'), 'the shipper to see the collector go', 30)
    collector.start()
    wait_all(model, collector, 300)
    verify(model, collector, notices=(gone + ' was deleted with %d bytes not sent' % size, 'never left the PC'))


def case_away(build, run, folder, collector, shipper, model):
    """The collector away for a full minute while the day files grow: the
    shipper's tries space out (1 s doubling, never past a minute) and it is
    back within a minute of the collector's return with every record."""
    past, today = day_name(1), day_name(0)
    model.write(folder, past, 0, 1000)
    model.write(folder, today, 2000, 1000)
    collector.start()
    shipper.start()
    wait_for(lambda: collector.count() >= 500, '500 records at the collector', 120)
    collector.stop()
    gone = time.monotonic()
    print('stopped the collector at %d lines' % collector.count(), flush=True)
    # Each failed try of the shipper's is the moment for more records.
    for k in range(5):
        model.write(folder, today, 3000 + 100 * k, 100)
        wait_for(lambda: len(retries(shipper)) > k, 'try %d of the shipper while the collector is away' % (k + 1), 60)
    # The minute away itself.
    time.sleep(max(0.0, 60 - (time.monotonic() - gone)))
    model.write(folder, past, 1000, 200)
    collector.start()
    back = time.monotonic()
    wait_all(model, collector, 90)
    print('everything at the collector %.0f s after its return' % (time.monotonic() - back))
    waits = retries(shipper)
    check(len(waits) >= 6, 'tries while the collector was away: %s' % waits)
    # The n-th try in a row waits 1 s doubled n-1 times (up to a quarter
    # more at random), never past 60 s.
    for n, ms in enumerate(waits, 1):
        base = min(60000, 1000 * 2 ** (n - 1))
        check(base <= ms <= min(60000, base * 5 // 4 + 1), 'try %d waited %d ms, not 1 s doubled to 60 s' % (n, ms))
    verify(model, collector)


def retries(shipper):
    """The waits the shipper announced since its connection was lost."""
    text = open(shipper.log, encoding='utf-8', errors='replace').read()
    return [int(m) for m in re.findall(r'lost: [^\n]*; again in (\d+) ms', text)]


def private_prefix(run, shipper):
    """A Wine prefix of the case's own, made and left without a server
    running; the shipper runs in it. (env, the wineserver's path)"""
    env = dict(shipper.env, WINEPREFIX=os.path.join(run, 'prefix'))
    shipper.env = env
    server = '/usr/lib/wine/wineserver64' if os.path.exists('/usr/lib/wine/wineserver64') else shutil.which('wineserver')
    made = run_wine(shipper.wine, ('wineboot', '-i'), env, 240)
    check(made.returncode == 0, 'the prefix made: ' + made.stderr[-500:])
    subprocess.run([server, '-w'], env=env, timeout=120)
    return env, server


def case_restart(build, run, folder, collector, shipper, model):
    """A PC's restart: the server writing the day file while the shipper
    reads it, then every Windows process of the PC killed at once (its own
    prefix's wineserver ended: server, host, shipper, COM's and the service
    manager's processes), all started again and more events logged. The
    expected records are the lines the server wrote, read from the file by
    the test's own reading of the line layout (time,type,level,source,"message")."""
    env, server = private_prefix(run, shipper)
    prefix = env['WINEPREFIX']
    notz = os.path.join(build, 'bin', 'notz.exe')  # Windows programs take the zone from Wine, not TZ
    bin_ = lambda name: os.path.join(build, 'bin', name)
    on_pc = lambda *args: run_wine(shipper.wine, (notz,) + args, env, 120)
    logs = os.path.join(prefix, 'drive_c', 'Korvane', 'VardelLogs')
    os.makedirs(logs)
    today = day_name(0)
    path = os.path.join(logs, today)
    marker = 'restart %d' % os.getpid()
    shipper.folder = logs
    ours = lambda: open(path, 'rb').read().count(marker.encode()) if os.path.exists(path) else 0
    arrived = lambda: sum(1 for r in collector.lines() if marker in r.get('message', ''))

    def log_events(first, count):
        """vardel-log with one event per line of its input, in the background."""
        lines = os.path.join(run, 'events-%d.txt' % first)
        with open(lines, 'w') as f:
            f.writelines('%s event %d\n' % (marker, i) for i in range(first, first + count))
        return subprocess.Popen([shipper.wine, notz, bin_('vardel-log.exe'), '-s', 'restart-test', '--stdin'],
                                env=env, stdin=open(lines), stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(run, 'vardel-log.err'), 'ab'))

    def boot():
        check(on_pc(bin_('korvane-host.exe'), '--start').returncode == 0, 'the host started')
        shipper.start()

    try:
        check(on_pc(bin_('VardelEventLogger.exe'), '/RegServer').returncode == 0, 'the server registered')
        collector.start()
        boot()
        writer = log_events(0, 20000)
        wait_for(lambda: ours() >= 2000 and arrived() >= 500, '2,000 lines written and 500 arrived', 120)
        subprocess.run([server, '-k'], env=env, timeout=60)
        print('killed the PC at %d lines written, %d arrived' % (ours(), arrived()), flush=True)
        check(writer.wait(60) != 0, 'the events before the restart stopped by it')
        shipper.proc.wait(60)
        subprocess.run([server, '-w'], env=env, timeout=60)
        written = ours()
        boot()
        writer = log_events(20000, 2000)
        check(writer.wait(120) == 0, 'the events after the restart all accepted: %s' %
              open(os.path.join(run, 'vardel-log.err'), errors='replace').read()[-500:])
        wait_for(lambda: ours() >= written + 2000, 'the 2,000 events after the restart in the day file', 60)
        data = open(path, 'rb').read()
        lines = data.split(b'\r\n')
        check(lines[-1] == b'', 'the day file ends in a whole line')
        offset = 0
        for line in lines[:-1]:
            fields = server_line(line)
            if check(fields is not None, 'a line of the server at %d in the layout: %r' % (offset, line[:200])):
                model.records.setdefault(today, []).append((offset, line + b'\r\n', fields))
            offset += len(line) + 2
        model.sizes[today] = len(data)
        sent = [int(f['message'].rsplit(' ', 1)[1]) for _, _, f in model.records[today] if marker in f['message']]
        check(sent == sorted(sent) and len(set(sent)) == len(sent), 'the server wrote each event once, in order')
        check(set(range(20000, 22000)) <= set(sent), 'every event after the restart in the day file')
        wait_all(model, collector, 120)
        verify(model, collector)
    finally:
        subprocess.run([server, '-k'], env=env, timeout=60)


def server_line(line):
    """The fields of one line the server wrote: time,type,level,source,"message"
    (the test's sources hold no comma)."""
    text = line.decode('cp1252')
    parts = text.split(',', 4)
    if len(parts) != 5 or not (parts[4].startswith('"') and parts[4].endswith('"')):
        return None
    return dict(host=PC, time=parts[0], type=parts[1], level=parts[2], source=parts[3], message=parts[4][1:-1])


def case_midnight(build, run, folder, collector, shipper, model):
    """Midnight while the shipper runs, its clock moved by libfaketime (the
    shipper is the one Wine process of its prefix moved; that prefix's
    wineserver keeps the real
    clock, and waits are relative, so they are unaffected): the last
    record of the day that ends, unfinished and still growing (never still
    long enough to go for that), goes once the day is over; the new day's
    file is read as it appears."""
    if not os.path.exists(FAKETIME):
        check(False, 'libfaketime is not installed (%s; scripts/setup.sh installs it)' % FAKETIME)
        return
    # A prefix of its own, whose server and services keep the real clock:
    # Wine processes started for the shipper would take its moved clock,
    # and in the shared prefix they outlived the case (TLS there then failed).
    env, server = private_prefix(run, shipper)
    subprocess.run([server, '-p'], env=env, timeout=60, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    try:
        midnight(folder, collector, shipper, model)
    finally:
        subprocess.run([server, '-k'], env=env, timeout=60)


def midnight(folder, collector, shipper, model):
    before, ending, new = 'Log_2026_03_13.log', 'Log_2026_03_14.log', 'Log_2026_03_15.log'
    to_midnight = 15
    model.write(folder, before, 0, 100)
    model.write(folder, ending, 200, 300)
    tail = model.record(600)[0][:-40]
    at = model.append(folder, ending, tail, None)
    shipper.env.update(LD_PRELOAD=FAKETIME, FAKETIME_DONT_FAKE_MONOTONIC='1',
                       FAKETIME='@2026-03-14 23:59:%02d' % (60 - to_midnight))
    collector.start()
    started = time.monotonic()
    shipper.start()
    sent_tail = lambda: any(r['file'] == ending and r.get('offset') == at for r in collector.lines())
    # From the start, paced below the shipper's quiet time, so that only the
    # day's end can send the record; the pace is not a wait for a result.
    end = started + to_midnight + 30
    while not sent_tail() and time.monotonic() < end:
        with open(os.path.join(folder, ending), 'ab') as f:
            f.write(b'x')
        tail += b'x'
        time.sleep(0.5)
    went = time.monotonic() - started
    check(sent_tail(), "the unfinished last record of the day that ended, within 30 s of midnight")
    check(went >= to_midnight, 'the unfinished record went %.1f s after the start, before midnight' % went)
    print('the unfinished record went %.1f s after the start (midnight at %d s)' % (went, to_midnight))
    model.records[ending].append((at, tail, dict(host=PC, raw=tail.decode('cp1252'))))
    model.sizes[ending] += len(tail)
    model.write(folder, new, 1000, 200)
    wait_all(model, collector)
    wait_for(lambda: [r['raw'] for r in collector.lines() if r['file'] == ending and r.get('offset') == at][-1:] ==
             [tail.decode('cp1252')], 'the record as the day left it', 30)
    # The day that ended is sent once to its end; its last record may go
    # again, longer, if it grew while going (the store keeps the last).
    verify(model, collector, replaced={(ending, at)}, exact=True)


def case_service(build, run, folder, collector, shipper, model):
    """The service under Wine's service manager: installed, started, stopped
    and started again (each record once), removed."""
    wine = lambda *args: run_wine(shipper.wine, args, shipper.env, 60)
    key = r'HKLM\SOFTWARE\Pellucor\Vardels\VardelEventLogging'
    exe = os.path.join(build, 'bin', 'VardelShipper.exe')
    logs = os.path.join(build, 'wineprefix', 'drive_c', 'Korvane', 'VardelLogs')
    os.makedirs(logs, exist_ok=True)
    name = day_name(40)
    for leftover in (name, 'VardelShipper.places', 'VardelShipper.status'):
        if os.path.exists(os.path.join(logs, leftover)):
            os.remove(os.path.join(logs, leftover))

    def state():
        out = wine('sc', 'query', 'VardelShipper').stdout
        return out.split('STATE')[1].split()[2] if 'STATE' in out else 'ABSENT'

    try:
        model.write(logs, name, 0, 500)
        collector.start()
        for value, kind, data in (('ShipperCollector', 'REG_SZ', '127.0.0.1:%d' % collector.port),
                                  ('ShipperPlain', 'REG_DWORD', '1'), ('ShipperHost', 'REG_SZ', PC)):
            check(wine('reg', 'add', key, '/v', value, '/t', kind, '/d', data, '/f', '/reg:32').returncode == 0,
                  'reg add /reg:32 ' + value)
        installed = wine(exe, '--install')
        check(installed.returncode == 0, 'install: ' + installed.stdout + installed.stderr)
        # Its own process, started with the system. (Wine's service manager
        # keeps no failure actions and restarts nothing: not checked here.)
        config = ' '.join(wine('reg', 'query', r'HKLM\System\CurrentControlSet\Services\VardelShipper', '/reg:64').stdout.split())
        check('Start REG_DWORD 0x2' in config and 'Type REG_DWORD 0x10' in config, 'service config: ' + config)
        check(wine('sc', 'start', 'VardelShipper').returncode == 0, 'sc start')
        wait_for(lambda: state() == 'RUNNING', 'the service running', 30)
        wait_all(model, collector)
        # vardel-log --status tells what the service does (its status is
        # written every 2 s: waited for, bounded).
        status = lambda: wine(os.path.join(build, 'bin', 'vardel-log.exe'), '--status').stdout
        wait_for(lambda: 'every byte of the day files has left this PC' in status(), 'the status to say all is sent', 30)
        said = status()
        for line in ('OK   shipper: the service VardelShipper runs',
                     'OK   shipper: connected to 127.0.0.1:%d; the collector last answered at 20' % collector.port):
            check(line in said, 'vardel-log --status says %r:\n%s' % (line, said))
        check(wine('sc', 'stop', 'VardelShipper').returncode == 0, 'sc stop')
        wait_for(lambda: state() == 'STOPPED', 'the service stopped', 30)
        model.write(logs, name, 500, 300)
        check(wine('sc', 'start', 'VardelShipper').returncode == 0, 'sc start again')
        wait_all(model, collector)
        verify(model, collector, exact=True)
        removed = wine(exe, '--uninstall')
        check(removed.returncode == 0, 'uninstall: ' + removed.stdout + removed.stderr)
        check(state() == 'ABSENT', 'the service removed, not ' + state())
    finally:
        shipper.log = os.path.join(logs, 'VardelShipper.log')
        if state() != 'ABSENT':
            wine(exe, '--uninstall')
        for value in ('ShipperCollector', 'ShipperPlain', 'ShipperHost'):
            wine('reg', 'delete', key, '/v', value, '/f', '/reg:32')
        for leftover in (name, 'VardelShipper.places', 'VardelShipper.status'):
            if os.path.exists(os.path.join(logs, leftover)):
                os.remove(os.path.join(logs, leftover))


def case_tls(build, run, folder, collector, shipper, model):
    """RELP over TLS with Wine's Schannel to the shippers' input: a PC of the
    site's CA sends, stored as PC-A though it claims to be PC; a collector
    certificate of another CA is refused by the shipper; a PC certificate
    of another CA is refused by the collector."""
    certs = os.path.join(TOP, 'scripts', 'shipper-certs.sh')
    site, other = os.path.join(run, 'site'), os.path.join(run, 'other')
    for args in ((site, 'ca'), (site, 'collector', '127.0.0.1'), (site, 'pc', 'PC-A'), (other, 'ca'),
                 (other, 'collector', '127.0.0.1'), (other, 'pc', 'PC-A')):
        subprocess.run(['bash', certs] + list(args), check=True, stdout=subprocess.DEVNULL)
    shippers = free_port()
    collector.env.update(VARDEL_SHIPPERS_CONF=os.path.join(TOP, 'collect', 'shippers.conf'),
                         VARDEL_SHIPPERS_PORT=str(shippers), VARDEL_TLS_CA=os.path.join(site, 'ca.pem'))
    model.write(folder, day_name(1), 0, 300)
    for records in model.records.values():
        for _, _, fields in records:
            fields['host'] = 'PC-A'

    def attempt(collector_certs, pc_certs, refusal):
        """The collector with collector_certs' certificate, the shipper with
        pc_certs' PC certificate (both trust the site CA): refusal is what the
        shipper must say, None for records that must all arrive."""
        collector.env.update(VARDEL_TLS_CERT=os.path.join(collector_certs, 'collector.pem'),
                             VARDEL_TLS_KEY=os.path.join(collector_certs, 'collector.key'))
        collector.start()
        shipper.port = shippers
        shipper.security = ['--ca', win(os.path.join(site, 'ca.pem')), '--cert', win(os.path.join(pc_certs, 'pc-PC-A.pfx'))]
        open(shipper.log, 'w').close()
        shipper.start()
        if refusal:
            wait_for(lambda: shipper.said(refusal), 'the shipper to say "%s"' % refusal, 30)
            check(collector.count() == 0, 'records went despite "%s"' % refusal)
        else:
            wait_all(model, collector)
            verify(model, collector, exact=True)
        shipper.kill()
        collector.stop()

    attempt(other, site, "the collector's certificate is not signed by the site's CA")
    attempt(site, other, 'lost')
    attempt(site, site, None)


CASES = ('content', 'kills', 'collector', 'away', 'restart', 'midnight', 'service', 'tls')
FAKETIME = '/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1'


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    if not os.path.exists(RSYSLOGD):
        print('FAILED: rsyslogd is not installed (scripts/setup.sh installs it)')
        return 1
    subprocess.run([os.path.join(TOP, 'cmake', 'wine-run'), build, '--start'], check=True)
    run = tempfile.mkdtemp(prefix='vardel-shipper-')
    folder = os.path.join(run, 'logs')
    os.makedirs(folder)
    port = free_port()
    collector = Collector(run, port)
    shipper = Shipper(build, run, folder, port)
    try:
        globals()['case_' + sys.argv[2]](build, run, folder, collector, shipper, Model())
    finally:
        for p in (shipper.proc, collector.gate, collector.proc):
            if p and p.poll() is None:
                p.kill()
                p.wait()
    return finish(run, [shipper.log])


if __name__ == '__main__':
    sys.exit(main())
