"""What the shipper's end-to-end tests share: the model of the day files
a test writes, the collector (Debian's rsyslogd with collect/central.conf),
the shipper under Wine, and the checks of what arrived."""
import datetime
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
CENTRAL = os.path.join(TOP, 'collect', 'central.conf')
GATE = os.path.join(TOP, 'collect', 'shipper-gate.py')
CERTS = os.path.join(TOP, 'scripts', 'shipper-certs.sh')
RSYSLOGD = shutil.which('rsyslogd') or '/usr/sbin/rsyslogd'
PC = 'PC-07'
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED:', what, flush=True)
    return ok


def finish(run, logs=()):
    """The test's exit code: 0 with its run folder removed, or 1 with the
    tails of logs (paths) and the folder kept."""
    if not failures:
        shutil.rmtree(run)
        print('passed')
        return 0
    for path in logs:
        if os.path.exists(path):
            print('--- %s:\n%s' % (os.path.basename(path), open(path, errors='replace').read()[-6000:]))
    print('%d failure(s); the run is kept in %s' % (len(failures), run))
    return 1


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


def frame(txnr, command, data):
    """A RELP frame, built by hand."""
    data = data.encode('latin-1') if isinstance(data, str) else data
    return b'%d %s %d%s\n' % (txnr, command.encode(), len(data), b' ' + data if data else b'')


def read_frame(sock):
    """One RELP frame as (txnr, command, data); None when the peer closes;
    'silent' when nothing comes within the socket's timeout."""
    head = b''
    try:
        while not (head.count(b' ') == 3 or (head.count(b' ') == 2 and head.endswith(b'\n'))):
            c = sock.recv(1)
            if not c:
                return None
            head += c
        txnr, command, length = head.split(b' ', 2)
        length = int(length.strip())
        data = bytearray()
        while len(data) < (length + 1 if head.endswith(b' ') else 0):
            c = sock.recv(length + 1 - len(data))
            if not c:
                return None
            data += c
    except TimeoutError:
        return 'silent'
    except (ConnectionError, ssl.SSLError):
        return None
    return int(txnr), command.decode(), bytes(data[:length])


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
    """rsyslogd with central.conf; with VARDEL_SHIPPERS_CONF set, also the
    shippers' gate on VARDEL_SHIPPERS_PORT in front of its inner input."""

    def __init__(self, run, port):
        self.run, self.port, self.proc, self.gate = run, port, None, None
        self.out = os.path.join(run, 'out.json')
        self.env = dict(os.environ, VARDEL_COLLECT_DIR=os.path.join(run, 'central'), VARDEL_COLLECT_OUT=self.out,
                        VARDEL_STORE_CONF='', VARDEL_CONF_DIR=os.path.dirname(CENTRAL), VARDEL_LISTEN='127.0.0.1',
                        VARDEL_RELP_PORT=str(port), VARDEL_TCP_PORT=str(free_port()),
                        VARDEL_ESCAPED_PORT=str(free_port()))
        os.makedirs(self.env['VARDEL_COLLECT_DIR'], exist_ok=True)

    def start(self):
        shippers = self.env.get('VARDEL_SHIPPERS_CONF')
        if shippers and 'VARDEL_GATE_DIR' not in self.env:
            subprocess.run(['bash', CERTS, self.run, 'gate'], check=True, stdout=subprocess.DEVNULL)
            self.env.update(VARDEL_GATE_DIR=os.path.join(self.run, 'gate'), VARDEL_GATE_PORT=str(free_port()))
        log = open(os.path.join(self.run, 'rsyslogd.log'), 'ab')
        self.proc = subprocess.Popen([RSYSLOGD, '-n', '-f', CENTRAL, '-i', os.path.join(self.run, 'rsyslogd.pid')],
                                     env=self.env, stdout=log, stderr=subprocess.STDOUT)
        if not wait_for(lambda: listening(self.port) or self.proc.poll() is not None, 'the collector', 20) \
                or self.proc.poll() is not None:
            print('FAILED: the collector does not start:\n' + open(os.path.join(self.run, 'rsyslogd.log')).read())
            sys.exit(1)
        if shippers:
            gate_log = os.path.join(self.run, 'gate.log')
            self.gate = subprocess.Popen([sys.executable, GATE], env=self.env, stdout=open(gate_log, 'ab'),
                                         stderr=subprocess.STDOUT)
            port = int(self.env['VARDEL_SHIPPERS_PORT'])
            if not wait_for(lambda: listening(port) or self.gate.poll() is not None, 'the gate', 20) \
                    or self.gate.poll() is not None:
                print('FAILED: the shippers\' gate does not start:\n' + open(gate_log).read())
                sys.exit(1)

    def stop(self):
        for p in (self.gate, self.proc):
            if p and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                p.wait(30)

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


def win(path):
    return 'Z:' + path.replace('/', '\\')


def run_wine(wine, args, env, timeout=300):
    """A Windows program's result with its output read from files, not
    pipes: services that Wine starts for it would hold pipes open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run([wine] + list(args), env=env, stdout=out, stderr=err, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(args, code, out.read().decode(errors='replace'),
                                           err.read().decode(errors='replace'))
