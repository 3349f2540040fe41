#!/usr/bin/env python3
"""The collector's shippers' input (collect/shipper-gate.py in front of
collect/shippers.conf, included by central.conf) against a Linux RELP
client over TLS, with certificates from scripts/shipper-certs.sh:
- a PC's records are stored under the name in its certificate, whatever
  host name its messages claim;
- who gets no session: a PC of another CA, a client without a certificate
  or speaking plain RELP, a certificate whose name is no host name; on the
  inner input, anything but the gate (a site PC's certificate included);
- hostile bytes to the gate end that session or get 500, and the gate goes
  on serving others; every message answered 200 is stored, no other.

    collector_tls_test.py
Exit 1 names what failed (a missing rsyslogd or openssl included: set-up
installs them).
"""
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from shipper_support import (CENTRAL, CERTS, RSYSLOGD, TOP, Collector, check, finish, frame, free_port,  # noqa: E402
                             read_frame, wait_for)

RECORD = 'Wed Dec 09 10:00:%02d AM GMT Standard Time,INFORMATION,RELEASE,tls test,"message %d"\r'
GATE_TIMEOUT = 2  # the gate's silence bound in this test


def message(host, n):
    return '<13>1 2026-12-09T10:00:00Z %s vardel - Log_2026_12_09.log [vardel@32473 offset="%d"] %s' % (
        host, 100 * n, RECORD % (n % 60, n))


def connect(port, context):
    raw = socket.create_connection(('127.0.0.1', port), 10)
    raw.settimeout(20)
    try:
        return context.wrap_socket(raw, server_hostname='127.0.0.1') if context else raw
    except (OSError, ssl.SSLError):
        raw.close()
        return None


def send(sock, data):
    try:
        sock.sendall(data)
        return True
    except (OSError, ssl.SSLError):
        return False


def open_session(sock):
    try:
        sock.sendall(frame(1, 'open', 'relp_version=0\nrelp_software=test\ncommands=syslog'))
    except (OSError, ssl.SSLError):
        return False
    answer = read_frame(sock)
    return bool(answer and answer[2].startswith(b'200'))


def send_records(port, context, host, numbers):
    """RELP over TLS: open, a syslog message each, close. The numbers answered 200."""
    sock = connect(port, context)
    answered = []
    if not sock:
        return answered
    try:
        if not open_session(sock):
            return answered
        for i, n in enumerate(numbers):
            sock.sendall(frame(2 + i, 'syslog', message(host, n)))
        for _ in numbers:
            answer = read_frame(sock)
            if answer and answer[1] == 'rsp' and answer[2].startswith(b'200'):
                answered.append(numbers[answer[0] - 2])
        sock.sendall(frame(2 + len(numbers), 'close', ''))
        read_frame(sock)
    except (OSError, ssl.SSLError) as e:
        print('  (the collector ended it: %s)' % e)
    finally:
        sock.close()
    return answered


def odd_certificate(folder, subject, san):
    """A certificate of the site CA that scripts/shipper-certs.sh would not make."""
    key, pem, ext = (os.path.join(folder, 'odd.' + x) for x in ('key', 'pem', 'ext'))
    with open(ext, 'w') as f:
        f.write('extendedKeyUsage=clientAuth\n' + ('subjectAltName=%s\n' % san if san else ''))
    subprocess.run('openssl req -newkey rsa:2048 -nodes -keyout %s -subj "%s" 2>/dev/null | openssl x509 -req '
                   '-CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile %s -out %s 2>/dev/null'
                   % (key, subject, ext, pem), shell=True, cwd=folder, check=True)
    return pem, key


def main():
    for tool in (RSYSLOGD, shutil.which('openssl')):
        if not tool or not os.path.exists(tool):
            print('FAILED: %s is not installed (scripts/setup.sh installs it)' % (tool or 'openssl'))
            return 1
    run = tempfile.mkdtemp(prefix='vardel-tls-')
    site, other = os.path.join(run, 'site'), os.path.join(run, 'other')
    for args in ((site, 'ca'), (site, 'collector', '127.0.0.1'), (site, 'pc', 'PC-A'), (site, 'pc', 'PC-B'),
                 (other, 'ca'), (other, 'pc', 'PC-A')):
        subprocess.run(['bash', CERTS] + list(args), check=True, stdout=subprocess.DEVNULL)
    port = free_port()
    collector = Collector(run, free_port())
    collector.env.update(VARDEL_SHIPPERS_CONF=os.path.join(TOP, 'collect', 'shippers.conf'),
                         VARDEL_SHIPPERS_PORT=str(port), VARDEL_TLS_CA=os.path.join(site, 'ca.pem'),
                         VARDEL_TLS_CERT=os.path.join(site, 'collector.pem'),
                         VARDEL_TLS_KEY=os.path.join(site, 'collector.key'), VARDEL_GATE_TIMEOUT=str(GATE_TIMEOUT))
    collector.start()
    inner = int(collector.env['VARDEL_GATE_PORT'])
    try:
        def client(folder, pc, cert=None, verify=True):
            c = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=os.path.join(site, 'ca.pem'))
            if not verify:  # the refusal must come from the server
                c.check_hostname, c.verify_mode = False, ssl.CERT_NONE
            if pc:
                c.load_cert_chain(*(cert or (os.path.join(folder, 'pc-%s.pem' % pc),
                                             os.path.join(folder, 'pc-%s.key' % pc))))
            return c

        site_pc = client(site, 'PC-A')
        # The gate's keys: this user's alone, in a folder that is too.
        own = os.path.join(run, 'gate')
        modes = {name: os.stat(os.path.join(own, name)).st_mode & 0o777 for name in os.listdir(own) + ['.']
                 if name == '.' or name.endswith('.key')}
        check(modes == {'.': 0o700, 'ca.key': 0o600, 'collector.key': 0o600, 'pc-gate.key': 0o600},
              'the gate\'s folder and keys: %s' % {k: oct(v) for k, v in modes.items()})
        # Who may NOT send, to the gate and to the inner input.
        for what, where, context in (
                ('a certificate of another CA', port, client(other, 'PC-A')),
                ('no certificate', port, client(site, None)),
                ('plain RELP', port, None),
                ('a name that is no host name', port, client(site, 'x', odd_certificate(site, '/CN=PC A', None))),
                ('two names', port, client(site, 'x', odd_certificate(site, '/CN=PC-A', 'DNS:PC-A,DNS:PC-B'))),
                ('a certificate for server use', port,
                 client(site, 'x', (os.path.join(site, 'collector.pem'), os.path.join(site, 'collector.key')))),
                ('the gate\'s own certificate', port, client(os.path.join(run, 'gate'), 'gate')),
                ('the inner input: a site PC', inner, client(site, 'PC-A', verify=False)),
                ('the inner input: another CA', inner, client(other, 'PC-A', verify=False)),
                ('the inner input: no certificate', inner, client(site, None, verify=False)),
                ('the inner input: plain RELP', inner, None)):
            n = send_records(port if where == port else inner, context, 'PC-B', [900, 901])
            check(n == [], '%s: records %s answered 200' % (what, n))

        # Stored under the certificate's name: (certificate, claimed host, numbers).
        sent = [('PC-A', 'PC-B', [0, 1, 2]), ('PC-A', 'PC-A', [3, 4]), ('PC-B', 'PC-A', [5])]
        answered = []
        for pc, claim, numbers in sent:
            got = send_records(port, client(site, pc), claim, numbers)
            check(got == numbers, '%s claiming %s: %s of %s answered 200' % (pc, claim, got, numbers))
            answered += [(pc, n) for n in got]

        # The collector's limit (its maxMessageSize): a message of that size
        # is stored; a frame of one byte more ends the session.
        limit = int(re.search(r'maxMessageSize="([0-9]+)"', open(CENTRAL).read()).group(1))
        head = message('PC-A', 50).replace('tls test', '')
        big = head.replace(',"message', 's' * (limit - len(head)) + ',"message')
        sock = connect(port, site_pc)
        check(open_session(sock), 'the limit: no session')
        got = read_frame(sock) if send(sock, frame(2, 'syslog', big)) else 'not taken'
        if check(len(big) == limit and got and got[:2] == (2, 'rsp') and got[2].startswith(b'200'),
                 'a message of %d bytes answered %r' % (len(big), got)):
            answered.append(('PC-A', 50))
        send(sock, b'3 syslog %d ' % (limit + 1) + big.encode() + b's\n')  # may end while sent
        check(read_frame(sock) is None, 'a frame of %d data bytes did not end the session' % (limit + 1))
        sock.close()

        # Hostile bytes: (what, bytes after the open or None for before it,
        # the answer wanted: None for the session closed).
        half = frame(2, 'syslog', message('PC-A', 0))[:40]
        for what, before, after, wanted in (
                ('not RELP', b'GET / HTTP/1.0\r\n\r\n', None, None),
                ('syslog before open', frame(1, 'syslog', message('PC-A', 40)), None, None),
                ('a DATALEN past the limit', None, b'2 syslog 999999999 <13>1 ', None),
                ('a DATALEN of 10 digits', None, b'2 syslog 1000000000 ', None),
                ('no LF after the data', None, frame(2, 'syslog', 'x')[:-1] + b'X', None),
                ('BSD syslog', None, frame(2, 'syslog', '<13>Dec  9 10:00:00 PC-B vardel: x'), (2, 'rsp', b'500')),
                ('no host name', None, frame(2, 'syslog', '<13>1 2026-12-09T10:00:00Z'), (2, 'rsp', b'500')),
                ('a PRI over 191', None, frame(2, 'syslog', message('PC-A', 41).replace('<13>', '<192>')),
                 (2, 'rsp', b'500')),
                ('an unknown command', None, frame(2, 'starttls', ''), (2, 'rsp', b'500'))):
            sock = connect(port, site_pc)
            if before is not None:
                sock.sendall(before)
            else:
                check(open_session(sock), '%s: no session' % what)
                sock.sendall(after)
            answer = read_frame(sock)
            got = answer and (answer[0], answer[1], answer[2][:3])
            check(got == wanted, '%s: answered %r, want %r' % (what, got, wanted))
            if wanted:  # the session goes on
                sock.sendall(frame(3, 'syslog', message('PC-A', 42)))
                answer = read_frame(sock)
                check(answer and answer[:2] == (3, 'rsp') and answer[2].startswith(b'200'),
                      '%s: the next message answered %r' % (what, answer))
                answered.append(('PC-A', 42))
            sock.close()

        # Silent peers: others are served meanwhile, and each silent one is
        # dropped within the gate's bound. (what, connect, bytes before silence)
        silent = []
        for what, context, opens, sent in (('no TLS handshake', None, False, b''),
                                           ('no open', site_pc, False, b''),
                                           ('half an open', site_pc, False, frame(1, 'open', 'relp_version=0')[:9]),
                                           ('half a frame', site_pc, True, half)):
            sock = connect(port, context)
            check(not opens or open_session(sock), '%s: no session' % what)
            sock.sendall(sent)
            silent.append((what, sock))
        got = send_records(port, client(site, 'PC-B'), 'PC-A', [43])
        check(got == [43], 'beside silent peers: %s answered 200' % got)
        answered += [('PC-B', n) for n in got]
        for what, sock in silent:
            sock.settimeout(GATE_TIMEOUT * 10)
            check(read_frame(sock) is None, '%s: the session was not ended' % what)
            sock.close()

        # Every message answered 200 stored once, under its certificate's name; no other.
        wait_for(lambda: collector.count() >= len(answered), '%d records stored' % len(answered), 30)
        rows = sorted((r['host'], r['offset'], r['message']) for r in collector.lines())
        want = sorted((pc, 100 * n, 'message %d' % n) for pc, n in answered)
        check(rows == want, 'stored:\n  got  %s\n  want %s' % (rows, want))
    finally:
        collector.stop()
    return finish(run, [os.path.join(run, name) for name in ('rsyslogd.log', 'gate.log')])


if __name__ == '__main__':
    sys.exit(main())
