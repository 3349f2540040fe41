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
CASE tls        RELP over TLS through Wine's Schannel to the shippers' input:
                a PC of the site's CA sends; a collector of another CA is
                refused by the shipper, a PC of another CA by the collector
CASE service    the service under Wine's service manager, with its settings
                in the registry's 32-bit view: installed, started, stopped,
                started again, removed (it uses the prefix's log folder)
In each: every record once (the last line of each file and offset, as the
store keeps it), in file order (first arrivals), with its offset and
fields from the test's own model of the bytes it wrote.
Exit 1 names what failed (a missing rsyslogd included: set-up installs it).
"""
import datetime
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
CENTRAL = os.path.join(TOP, 'collect', 'central.conf')
RSYSLOGD = shutil.which('rsyslogd') or '/usr/sbin/rsyslogd'
PC = 'PC-07'
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED:', what, flush=True)
    return ok


def wait_for(condition, what, seconds=60):
    """Polls condition (a file grown, a port listening) with a bound."""
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            check(False, 'timed out after %d s waiting for %s' % (seconds, what))
            return False
        time.sleep(0.05)
    return True


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(('127.0.0.1', port), 1).close()
        return True
    except OSError:
        return False


def day_name(days_ago):
    # The shipper runs with TZ=UTC, so Wine's local day is the UTC day.
    day = datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=days_ago)
    return 'Log_%04d_%02d_%02d.log' % (day.year, day.month, day.day)


class Model:
    """The records a test writes, with what the collector must make of them."""

    def __init__(self):
        self.records = {}  # file -> [(offset, bytes, expected fields)]
        self.sizes = {}

    def record(self, i, source=None, message=None):
        t = 'Wed Dec 09 %02d:%02d:%02d AM GMT Standard Time' % (1 + i // 3600 % 11, i // 60 % 60, i % 60)
        kind = ('INFORMATION', 'WARNING', 'ERROR', 'FATAL_ERROR')[i % 4]
        level = ('TRACE', 'DEBUG', 'RELEASE')[i % 3]
        if source is None:
            source = (b'src %d' % i, b'line a %d\r\nline b, "q"\r\nline c' % i, b'caf\xe9 \x80 %d' % i,
                      b'x, "y", z %d' % i)[i % 4]
        if message is None:
            message = b'message %d \xfc\xdf' % i if i % 3 == 0 else b'message %d' % i
        body = t.encode() + b',' + kind.encode() + b',' + level.encode() + b',' + source + b',"' + message + b'"'
        fields = dict(host=PC, time=t, type=kind, level=level,
                      source=source.decode('cp1252').replace('\r\n', '\n'), message=message.decode('cp1252'))
        return body + b'\r\n', fields

    def append(self, folder, name, data, fields):
        offset = self.sizes.get(name, 0)
        with open(os.path.join(folder, name), 'ab') as f:
            f.write(data)
        self.sizes[name] = offset + len(data)
        if fields is not None:
            self.records.setdefault(name, []).append((offset, data, fields))
        return offset

    def write(self, folder, name, first, count):
        out = bytearray()
        offset = self.sizes.get(name, 0)
        for i in range(first, first + count):
            data, fields = self.record(i)
            self.records.setdefault(name, []).append((offset + len(out), data, fields))
            out += data
        with open(os.path.join(folder, name), 'ab') as f:
            f.write(out)
        self.sizes[name] = offset + len(out)

    def total(self):
        return sum(len(v) for v in self.records.values())


class Collector:
    def __init__(self, run, port):
        self.run, self.port, self.proc = run, port, None
        self.out = os.path.join(run, 'out.json')
        self.env = dict(os.environ, VARDEL_COLLECT_DIR=os.path.join(run, 'central'), VARDEL_COLLECT_OUT=self.out,
                        VARDEL_STORE_CONF='', VARDEL_CONF_DIR=os.path.dirname(CENTRAL), VARDEL_LISTEN='127.0.0.1',
                        VARDEL_RELP_PORT=str(port), VARDEL_TCP_PORT=str(free_port()),
                        VARDEL_ESCAPED_PORT=str(free_port()))
        os.makedirs(self.env['VARDEL_COLLECT_DIR'], exist_ok=True)

    def start(self):
        log = open(os.path.join(self.run, 'rsyslogd.log'), 'ab')
        self.proc = subprocess.Popen([RSYSLOGD, '-n', '-f', CENTRAL, '-i', os.path.join(self.run, 'rsyslogd.pid')],
                                     env=self.env, stdout=log, stderr=subprocess.STDOUT)
        if not wait_for(lambda: listening(self.port) or self.proc.poll() is not None, 'the collector', 20) \
                or self.proc.poll() is not None:
            print('FAILED: the collector does not start:\n' + open(os.path.join(self.run, 'rsyslogd.log')).read())
            sys.exit(1)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(30)

    def lines(self):
        if not os.path.exists(self.out):
            return []
        data = open(self.out, 'rb').read()
        return [json.loads(x.decode('utf-8')) for x in data[:data.rfind(b'\n') + 1].splitlines()]

    def count(self):
        return open(self.out, 'rb').read().count(b'\n') if os.path.exists(self.out) else 0


class Shipper:
    """VardelShipper.exe run by Wine's loader itself, so that a kill ends it."""

    def __init__(self, build, run, folder, port):
        self.build, self.run, self.folder, self.port, self.proc = build, run, folder, port, None
        self.log = os.path.join(run, 'shipper.log')
        self.env = dict(os.environ, WINEPREFIX=os.path.join(build, 'wineprefix'), WINEDEBUG='-all', TZ='UTC',
                        WINEARCH='win64', WINEDLLOVERRIDES='mscoree,mshtml=')
        self.wine = '/usr/lib/wine/wine64' if os.path.exists('/usr/lib/wine/wine64') else shutil.which('wine64')
        self.security = ['--plain']

    def start(self):
        exe = os.path.join(self.build, 'bin', 'VardelShipper.exe')
        args = [self.wine, exe, '--console', '--collector', '127.0.0.1:%d' % self.port, '--folder',
                win(self.folder), '--state', win(self.run) + '\\places',
                '--host', PC] + self.security
        self.proc = subprocess.Popen(args, env=self.env, stdout=open(self.log, 'ab'), stderr=subprocess.STDOUT)

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(30)

    def said(self, text):
        return text in open(self.log, encoding='utf-8', errors='replace').read()


def verify(model, collector, replaced=(), notices=(), exact=False):
    """Every record of the model once, as the store keeps it (the last line
    of each file and offset), first arrivals in file order."""
    final, order, pieces, seen_notices = {}, {}, {}, []
    for r in collector.lines():
        if 'offset' not in r:
            seen_notices.append(r)
            if 'read again from the start' in r.get('raw', ''):
                order.pop(r['file'], None)  # file order starts again with the file
            continue
        key = (r['file'], r['offset'])
        if 'piece' in r:
            pieces.setdefault(key, {})[r['piece']] = r
            if r['piece'] != 1:
                continue
        elif key in final and exact and key not in replaced:
            check(False, 'sent twice: %s at %d' % key)
        if key not in final and key not in pieces or r.get('piece') == 1:
            order.setdefault(r['file'], []).append(r['offset'])
        final[key] = r
    for name, records in model.records.items():
        firsts = []
        for o in order.get(name, []):
            if o not in firsts:
                firsts.append(o)
        check(firsts == sorted(firsts), '%s: records arrived out of file order' % name)
        for offset, data, fields in records:
            got = final.get((name, offset))
            if fields.get('pieces'):
                parts = pieces.get((name, offset), {})
                joined = ''.join(parts[i]['raw'] for i in sorted(parts))
                check(len(parts) == fields['pieces'] and joined == fields['raw'],
                      '%s at %d: %d pieces of %d, joined right: %s' % (
                          name, offset, len(parts), fields['pieces'], joined == fields['raw']))
                continue
            want = dict(fields, file=name, offset=offset)
            if not check(got == want, '%s at %d:\n  got  %.300r\n  want %.300r' % (name, offset, got, want)):
                return
        extra = {k for k in final if k[0] == name} - {(name, o) for o, _, _ in records} - set(replaced)
        check(not extra, '%s: offsets that are no record: %s' % (name, sorted(extra)[:5]))
    for kind in notices:
        check(any(kind in json.dumps(n) for n in seen_notices), 'no notice saying "%s" in %s' % (kind, seen_notices))


def wait_all(model, collector, seconds=120):
    def done():
        keys = {(r['file'], r['offset']) for r in collector.lines() if 'offset' in r}
        return all((n, o) in keys for n, rs in model.records.items() for o, _, _ in rs)
    return wait_for(done, 'all %d records at the collector' % model.total(), seconds)


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


def case_service(build, run, folder, collector, shipper, model):
    """The service under Wine's service manager: installed, started, stopped
    and started again (each record once), removed."""
    wine = lambda *args: subprocess.run([shipper.wine] + list(args), env=shipper.env, capture_output=True, text=True,
                                        errors='replace', timeout=60)
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
                  'reg add ' + value)
        installed = wine(exe, '--install')
        check(installed.returncode == 0, 'install: ' + installed.stdout + installed.stderr)
        # Its own process, started with the system. (Wine's service manager
        # keeps no failure actions and restarts nothing: not checked here.)
        config = ' '.join(wine('reg', 'query', r'HKLM\System\CurrentControlSet\Services\VardelShipper').stdout.split())
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


def win(path):
    return 'Z:' + path.replace('/', '\\')


def case_tls(build, run, folder, collector, shipper, model):
    """RELP over TLS with Wine's Schannel to the shippers' input: a PC of the
    site's CA sends; a collector certificate of another CA is refused by the
    shipper; a PC certificate of another CA is refused by the collector."""
    certs = os.path.join(TOP, 'scripts', 'shipper-certs.sh')
    site, other = os.path.join(run, 'site'), os.path.join(run, 'other')
    for args in ((site, 'ca'), (site, 'collector', '127.0.0.1'), (site, 'pc', 'PC-A'), (other, 'ca'),
                 (other, 'collector', '127.0.0.1'), (other, 'pc', 'PC-A')):
        subprocess.run(['bash', certs] + list(args), check=True, stdout=subprocess.DEVNULL)
    shippers = free_port()
    collector.env.update(VARDEL_SHIPPERS_CONF=os.path.join(TOP, 'collect', 'shippers.conf'),
                         VARDEL_SHIPPERS_PORT=str(shippers), VARDEL_TLS_CA=os.path.join(site, 'ca.pem'))
    model.write(folder, day_name(1), 0, 300)

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


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ('content', 'kills', 'collector', 'service', 'tls'):
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
        for p in (shipper.proc, collector.proc):
            if p and p.poll() is None:
                p.kill()
                p.wait()
        if failures and os.path.exists(shipper.log):
            print('--- shipper said:\n' + open(shipper.log, errors='replace').read()[-6000:])
    if failures:
        print('%d failure(s); the run is kept in %s' % (len(failures), run))
        return 1
    shutil.rmtree(run)
    print('passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
