#!/usr/bin/env python3
"""The shippers' gate (collect/shipper-gate.py) between a Linux RELP client
with a PC's certificate and a scripted inner input that holds the gate's
own CA, so that each answer's timing and status is the test's to choose:
- what the inner input gets: each message with its host name replaced by
  the certificate's name and every other byte as sent;
- answers: 200 to the PC only after the inner input's 200, in the inner
  input's order; its 500 passed on as 500; the close and serverclose
  passed through; an inner input that answers what was not asked, or goes
  away, ends the PC's session.

    gate_test.py
Exit 1 names what failed (a missing openssl included: set-up installs it).
"""
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from shipper_support import CERTS, GATE, check, finish, frame, free_port, listening, read_frame, wait_for  # noqa: E402

HEAD = b'<13>1 2026-12-09T10:00:00Z '
REST = b' vardel - Log_2026_12_09.log [vardel@32473 offset="0"] '


class Inner:
    """The inner input, one session at a time, driven by the test."""

    def __init__(self, gate_dir):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.verify_mode = ssl.CERT_REQUIRED
        self.context.load_verify_locations(os.path.join(gate_dir, 'ca.pem'))
        self.context.load_cert_chain(os.path.join(gate_dir, 'collector.pem'), os.path.join(gate_dir, 'collector.key'))
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.listener.settimeout(20)
        self.port = self.listener.getsockname()[1]

    def accept(self):
        sock = self.context.wrap_socket(self.listener.accept()[0], server_side=True)
        sock.settimeout(20)
        return sock


def session(port, context):
    sock = context.wrap_socket(socket.create_connection(('127.0.0.1', port), 10), server_hostname='127.0.0.1')
    sock.settimeout(20)
    return sock


def main():
    if not shutil.which('openssl'):
        print('FAILED: openssl is not installed (scripts/setup.sh installs it)')
        return 1
    run = tempfile.mkdtemp(prefix='vardel-gate-')
    site = os.path.join(run, 'site')
    for args in ((site, 'ca'), (site, 'collector', '127.0.0.1'), (site, 'pc', 'PC-A'), (run, 'gate')):
        subprocess.run(['bash', CERTS] + list(args), check=True, stdout=subprocess.DEVNULL)
    inner = Inner(os.path.join(run, 'gate'))
    port = free_port()
    env = dict(os.environ, VARDEL_LISTEN='127.0.0.1', VARDEL_SHIPPERS_PORT=str(port),
               VARDEL_TLS_CA=os.path.join(site, 'ca.pem'), VARDEL_TLS_CERT=os.path.join(site, 'collector.pem'),
               VARDEL_TLS_KEY=os.path.join(site, 'collector.key'), VARDEL_GATE_PORT=str(inner.port),
               VARDEL_GATE_DIR=os.path.join(run, 'gate'))
    log = os.path.join(run, 'gate.log')
    gate = subprocess.Popen([sys.executable, GATE], env=env, stdout=open(log, 'wb'), stderr=subprocess.STDOUT)
    pc = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=os.path.join(site, 'ca.pem'))
    pc.load_cert_chain(os.path.join(site, 'pc-PC-A.pem'), os.path.join(site, 'pc-PC-A.key'))
    try:
        if not wait_for(lambda: listening(port) or gate.poll() is not None, 'the gate', 20) or gate.poll() is not None:
            print('FAILED: the gate does not start:\n' + open(log).read())
            return 1

        def opened(txnr=1):
            """A PC's session opened through the gate, and the inner side of it."""
            sock = session(port, pc)
            sock.sendall(frame(txnr, 'open', 'relp_version=0\ncommands=syslog'))
            conn = inner.accept()
            got = read_frame(conn)
            check(got and got[1:] == ('open', b'relp_version=0\ncommands=syslog'), 'open passed on as %r' % (got,))
            conn.sendall(frame(got[0], 'rsp', '200 OK\nrelp_version=0\ncommands=syslog'))
            check(read_frame(sock) == (txnr, 'rsp', b'200 OK\nrelp_version=0\ncommands=syslog'), 'open answered')
            return sock, conn

        # What the inner input gets: (what, host claimed, what follows the host).
        sock, conn = opened()
        cases = (('another PC', b'PC-B', REST + b'record'),
                 ('the nil host', b'-', REST + b'record'),
                 ('a host of 255 bytes', b'h' * 255, REST + b'record'),
                 ('any byte after the header', b'PC-A', REST + bytes(range(256)) + b'\r\n <13>1 x PC-B '),
                 ('spaces and CR LF in the body', b'PC-B', REST + b'a  b\r\n\r\nc   '))
        for i, (what, claimed, rest) in enumerate(cases):
            sock.sendall(frame(10 + i, 'syslog', HEAD + claimed + rest))
            got = read_frame(conn)
            check(got and got[1:] == ('syslog', HEAD + b'PC-A' + rest), '%s: passed on as %.120r' % (what, got))
            conn.sendall(frame(got[0], 'rsp', '200 OK'))
            check(read_frame(sock) == (10 + i, 'rsp', b'200 OK'), '%s: not answered 200' % what)

        # Answers in the inner input's order, with its status: the PC's
        # first message is answered only after the inner input answered it.
        sent = [read_frame(conn) for _ in (sock.sendall(frame(t, 'syslog', HEAD + b'PC-B' + REST + b'%d' % t))
                                           for t in (70, 71, 72))]
        for inner_index, status, pc_txnr in ((1, '200 OK', 71), (2, '500 not stored', 72), (0, '200 OK', 70)):
            conn.sendall(frame(sent[inner_index][0], 'rsp', status))
            got = read_frame(sock)
            check(got == (pc_txnr, 'rsp', status.encode()), 'want %d answered %s, got %r' % (pc_txnr, status, got))
        sock.sendall(frame(80, 'close', ''))
        got = read_frame(conn)
        check(got and got[1] == 'close', 'close passed on as %r' % (got,))
        conn.sendall(frame(got[0], 'rsp', '200 OK') + b'0 serverclose 0\n')
        check(read_frame(sock) == (80, 'rsp', b'200 OK'), 'close not answered')
        check(read_frame(sock) == (0, 'serverclose', b''), 'serverclose not passed on')
        check(read_frame(sock) is None, 'the session not ended after serverclose')
        sock.close()
        conn.close()

        # An inner input that breaks the session ends the PC's, unanswered.
        for what, act in (('answers what was not asked', lambda c, t: c.sendall(frame(t + 5, 'rsp', '200 OK'))),
                          ('sends what is not RELP', lambda c, t: c.sendall(b'200 OK\n')),
                          ('goes away', lambda c, t: c.close())):
            sock, conn = opened()
            sock.sendall(frame(2, 'syslog', HEAD + b'PC-A' + REST + b'x'))
            got = read_frame(conn)
            act(conn, got[0])
            check(read_frame(sock) is None, 'the inner input %s: the session goes on' % what)
            sock.close()
            conn.close()
    finally:
        gate.send_signal(signal.SIGTERM)
        check(gate.wait(30) == 0, 'the gate did not stop cleanly on SIGTERM')
    return finish(run, [log])


if __name__ == '__main__':
    sys.exit(main())
