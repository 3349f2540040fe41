#!/usr/bin/env python3
"""The collector's shippers' input (collect/shippers.conf included by
central.conf) against a Linux RELP client over TLS, with certificates from
scripts/shipper-certs.sh: a PC with a certificate of the site's CA gets its
records stored; a PC with a certificate of another CA, or with none, and a
client that speaks plain RELP to it get no session and store nothing.

    collector_tls_test.py
Exit 1 names what failed (a missing rsyslogd or openssl included: set-up
installs them).
"""
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from shipper_support import check, failures, free_port  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
CERTS = os.path.join(TOP, 'scripts', 'shipper-certs.sh')
CENTRAL = os.path.join(TOP, 'collect', 'central.conf')
RSYSLOGD = shutil.which('rsyslogd') or '/usr/sbin/rsyslogd'
RECORD = 'Wed Dec 09 10:00:%02d AM GMT Standard Time,INFORMATION,RELEASE,tls test,"message %d"\r'
def frame(txnr, command, data):
    data = data.encode('latin-1') if isinstance(data, str) else data
    return b'%d %s %d%s\n' % (txnr, command.encode(), len(data), b' ' + data if data else b'')


def read_frame(sock):
    """One RELP frame as (txnr, command, data); None when the peer closes."""
    head = b''
    while not (head.count(b' ') == 3 or (head.count(b' ') == 2 and head.endswith(b'\n'))):
        c = sock.recv(1)
        if not c:
            return None
        head += c
    txnr, command, length = head.split(b' ', 2)
    length = int(length.strip())
    data = b''
    while len(data) < (length + 1 if head.endswith(b' ') else 0):
        c = sock.recv(length + 1 - len(data))
        if not c:
            return None
        data += c
    return int(txnr), command.decode(), data[:length]


def send_records(port, context, host, first, count):
    """RELP over TLS: open, count syslog messages, close. The number answered 200."""
    raw = socket.create_connection(('127.0.0.1', port), 10)
    raw.settimeout(10)
    sock = context.wrap_socket(raw, server_hostname='127.0.0.1') if context else raw
    answered = 0
    try:
        sock.sendall(frame(1, 'open', 'relp_version=0\nrelp_software=test\ncommands=syslog'))
        answer = read_frame(sock)
        if not answer or not answer[2].startswith(b'200'):
            return 0
        for i in range(count):
            msg = '<13>1 2026-12-09T10:00:00Z %s vardel - Log_2026_12_09.log [vardel@32473 offset="%d"] %s' % (
                host, 100 * (first + i), RECORD % (i, first + i))
            sock.sendall(frame(2 + i, 'syslog', msg))
        for _ in range(count):
            answer = read_frame(sock)
            if answer and answer[1] == 'rsp' and answer[2].startswith(b'200'):
                answered += 1
        sock.sendall(frame(2 + count, 'close', ''))
    except (OSError, ssl.SSLError) as e:
        print('  (the collector ended it: %s)' % e)
    finally:
        sock.close()
    return answered


def main():
    for tool in (RSYSLOGD, shutil.which('openssl')):
        if not tool or not os.path.exists(tool):
            print('FAILED: %s is not installed (scripts/setup.sh installs it)' % (tool or 'openssl'))
            return 1
    run = tempfile.mkdtemp(prefix='vardel-tls-')
    site, other = os.path.join(run, 'site'), os.path.join(run, 'other')
    for args in ((site, 'ca'), (site, 'collector', '127.0.0.1'), (site, 'pc', 'PC-A'), (other, 'ca'),
                 (other, 'pc', 'PC-A')):
        subprocess.run(['bash', CERTS] + list(args), check=True, stdout=subprocess.DEVNULL)
    port, plain = free_port(), free_port()
    out = os.path.join(run, 'out.json')
    env = dict(os.environ, VARDEL_COLLECT_DIR=run, VARDEL_COLLECT_OUT=out, VARDEL_STORE_CONF='',
               VARDEL_CONF_DIR=os.path.dirname(CENTRAL), VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(plain),
               VARDEL_TCP_PORT=str(free_port()), VARDEL_ESCAPED_PORT=str(free_port()),
               VARDEL_SHIPPERS_CONF=os.path.join(TOP, 'collect', 'shippers.conf'), VARDEL_SHIPPERS_PORT=str(port),
               VARDEL_TLS_CA=os.path.join(site, 'ca.pem'), VARDEL_TLS_CERT=os.path.join(site, 'collector.pem'),
               VARDEL_TLS_KEY=os.path.join(site, 'collector.key'))
    log = os.path.join(run, 'rsyslogd.log')
    proc = subprocess.Popen([RSYSLOGD, '-n', '-f', CENTRAL, '-i', os.path.join(run, 'pid')], env=env,
                            stdout=open(log, 'wb'), stderr=subprocess.STDOUT)
    try:
        end = time.monotonic() + 20
        while time.monotonic() < end and proc.poll() is None:
            try:
                socket.create_connection(('127.0.0.1', port), 1).close()
                break
            except OSError:
                time.sleep(0.05)
        if not check(proc.poll() is None, 'the collector with the shippers\' input did not start: ' + open(log).read()):
            return 1

        def client(folder, pc):
            c = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=os.path.join(site, 'ca.pem'))
            if pc:
                c.load_cert_chain(os.path.join(folder, 'pc-%s.pem' % pc), os.path.join(folder, 'pc-%s.key' % pc))
            return c

        # Who may NOT send: another CA's PC, a PC without a certificate, plain RELP.
        for what, context in (('a certificate of another CA', client(other, 'PC-A')),
                              ('no certificate', client(site, None)), ('plain RELP', None)):
            n = send_records(port, context, 'PC-B', 10, 3)
            check(n == 0, '%s: %d records answered 200' % (what, n))
        n = send_records(port, client(site, 'PC-A'), 'PC-A', 0, 5)
        check(n == 5, 'a PC of the site\'s CA: %d of 5 records answered 200' % n)
        end = time.monotonic() + 20
        while time.monotonic() < end and (not os.path.exists(out) or open(out).read().count('\n') < 5):
            time.sleep(0.05)
        rows = [json.loads(x) for x in open(out)] if os.path.exists(out) else []
        check([(r['host'], r['offset'], r['message']) for r in rows] ==
              [('PC-A', 100 * i, 'message %d' % i) for i in range(5)], 'stored: %s' % rows)
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(30)
    if failures:
        print(open(log).read()[-3000:])
        print('%d failure(s); the run is kept in %s' % (len(failures), run))
        return 1
    shutil.rmtree(run)
    print('passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
