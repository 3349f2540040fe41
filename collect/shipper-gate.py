#!/usr/bin/env python3
"""The shippers' gate: RELP over TLS from the PCs' VardelShipper services,
relayed to the collector's inner RELP input (collect/shippers.conf) with
each message's host name replaced by the name in the PC's certificate.
rsyslog gives a ruleset no property with the peer certificate's name, so
without this a PC of the site could write as any other.

Only a PC with a certificate of the site's CA whose name is a plain host
name gets a session. Each session gets its own inner session; a message is
answered 200 only when the collector has answered 200 for it. A message
that is not RFC 5424 gets 500 and goes nowhere; bytes that are not RELP, a
frame over the collector's limit, or a peer silent in the middle of a frame
end the session.

Settings come from the environment, as the collector's do:
  VARDEL_LISTEN, VARDEL_SHIPPERS_PORT   where the PCs connect
  VARDEL_TLS_CA                         the site CA's certificate
  VARDEL_TLS_CERT, VARDEL_TLS_KEY       the collector's certificate, key
  VARDEL_GATE_PORT                      the inner input's port (127.0.0.1)
  VARDEL_GATE_DIR                       the gate's own CA and certificates
                                        (scripts/shipper-certs.sh FOLDER gate)
  VARDEL_GATE_TIMEOUT                   seconds a peer may stay silent in a
                                        frame or before its open (default 30)
Exit codes: 0 stopped (SIGTERM), 1 cannot start (the cause on stderr).
"""
import asyncio
import os
import re
import resource
import signal
import ssl
import sys

# The collector's maxMessageSize (central.conf): a record of 8 MiB and its
# header. A frame claiming more ends its session.
MAX_DATA = 8454144
# The shipper's own window: messages unanswered at once per session.
WINDOW = 1024
# Bytes queued to a peer before the gate waits for it to take them.
DRAIN_ABOVE = 1 << 20
# Between frames of an open session a shipper with nothing to send is quiet.
IDLE_TIMEOUT = 3600
HOST_NAME = re.compile(r'[A-Za-z0-9][A-Za-z0-9.-]{0,62}\Z')
HEADER = re.compile(rb'([0-9]{1,9}) ([a-z]{1,32}) ([0-9]{1,9})([ \n])')
# What may still become a header: a frame's first bytes as they come.
HEADER_START = re.compile(rb'[0-9]{0,9}\Z|[0-9]{1,9} [a-z]{0,32}\Z|[0-9]{1,9} [a-z]{1,32} [0-9]{0,9}\Z')
# <PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID SD: the host name is
# group 2; the lengths are RFC 5424's, so the match reads a bounded prefix.
RFC5424 = re.compile(rb'(<(?:[0-9]|[1-9][0-9]|1[0-8][0-9]|19[01])>1 [!-~]{1,64} )[!-~]{1,255}'
                     rb'( [!-~]{1,48} [!-~]{1,128} [!-~]{1,32} [-\[])')


class Broken(Exception):
    """The peer broke the protocol: the session ends, said why."""


def log(text):
    print('gate: ' + text, file=sys.stderr, flush=True)


def frame(txnr, command, data=b''):
    return b'%d %s %d%s\n' % (txnr, command, len(data), b' ' + data if data else b'')


def rewrite(message, host):
    """The message with its RFC 5424 host name replaced, or None."""
    m = RFC5424.match(message)
    if not m:
        return None
    return m.group(1) + host + message[m.start(2):]


def certificate_name(cert):
    """The PC's name: its certificate's one DNS name, else its CN; None when
    that is no plain host name."""
    dns = [v for k, v in cert.get('subjectAltName', ()) if k == 'DNS']
    cns = [v for rdn in cert.get('subject', ()) for k, v in rdn if k == 'commonName']
    names = dns if dns else cns
    if len(names) != 1 or not HOST_NAME.match(names[0]):
        return None
    return names[0]


class FrameReader:
    """RELP frames from a stream, bounded in size and in silence."""

    def __init__(self, reader, timeout):
        self.reader, self.timeout, self.buf = reader, timeout, bytearray()
        self.before_read = None  # awaited before each wait for bytes

    async def more(self, timeout):
        if self.before_read:
            await self.before_read()
        try:
            data = await asyncio.wait_for(self.reader.read(1 << 18), timeout)
        except asyncio.TimeoutError:
            raise Broken('silent for %d s' % timeout) from None
        if not data:
            raise EOFError('in the middle of a frame' if self.buf else 'between frames')
        self.buf += data

    async def next(self, idle):
        """(txnr, command, data); EOFError when the peer closes."""
        while True:
            m = HEADER.match(self.buf)
            if m:
                break
            if not HEADER_START.match(self.buf):
                raise Broken('not RELP: %r' % bytes(self.buf[:40]))
            await self.more(idle if not self.buf else self.timeout)
        # Taken out now: the match reads the buffer, which changes below.
        txnr, command, length, start = int(m.group(1)), m.group(2), int(m.group(3)), m.end()
        if length > MAX_DATA:
            raise Broken('a frame of %d data bytes' % length)
        if self.buf[start - 1] == 0x0A:
            if length:
                raise Broken('a frame without its data')
            del self.buf[:start]
            return txnr, command, b''
        while len(self.buf) < start + length + 1:
            await self.more(self.timeout)
        if self.buf[start + length] != 0x0A:
            raise Broken('a frame whose data does not end in LF')
        data = bytes(self.buf[start:start + length])
        del self.buf[:start + length + 1]
        return txnr, command, data


class Gate:
    def __init__(self, env):
        self.timeout = float(env.get('VARDEL_GATE_TIMEOUT') or 30)
        self.inner_port = int(env['VARDEL_GATE_PORT'])
        own = env['VARDEL_GATE_DIR']
        self.outer = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.outer.minimum_version = ssl.TLSVersion.TLSv1_2
        self.outer.verify_mode = ssl.CERT_REQUIRED
        self.inner = ssl.create_default_context(ssl.Purpose.SERVER_AUTH)
        self.inner.minimum_version = ssl.TLSVersion.TLSv1_2
        for load, paths in ((self.outer.load_verify_locations, [env['VARDEL_TLS_CA']]),
                            (self.outer.load_cert_chain, [env['VARDEL_TLS_CERT'], env['VARDEL_TLS_KEY']]),
                            (self.inner.load_verify_locations, [os.path.join(own, 'ca.pem')]),
                            (self.inner.load_cert_chain, [os.path.join(own, 'pc-gate.pem'),
                                                          os.path.join(own, 'pc-gate.key')])):
            try:
                load(*paths)
            except (OSError, ssl.SSLError) as e:
                raise OSError('%s: %s' % (' and '.join(paths), e)) from None
        # Two descriptors a session; the rest for listening and logs.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
            soft = hard
        except (ValueError, OSError):
            pass
        self.free = max(1, (min(soft, 1 << 16) - 32) // 2)

    async def drain(self, writer):
        """Waits (bounded) only where a peer reads slower than it is sent
        to: a wait for each frame would cost more than the frame."""
        if writer.transport.get_write_buffer_size() > DRAIN_ABOVE:
            await asyncio.wait_for(writer.drain(), self.timeout)

    async def serve(self, reader, writer):
        peer = '%s:%s' % writer.get_extra_info('peername')[:2]
        if self.free == 0:
            log('%s: refused, too many sessions' % peer)
            writer.transport.abort()
            return
        self.free -= 1
        try:
            # The handshake here, not in the server: counted as a session,
            # and a refused PC (another CA, no certificate) said.
            try:
                await writer.start_tls(self.outer, ssl_handshake_timeout=self.timeout)
            except (OSError, ssl.SSLError, asyncio.TimeoutError) as e:
                log('%s: refused in the TLS handshake: %s' % (peer, str(e) or 'it closed'))
                return
            await self.session(peer, reader, writer)
        except Exception as e:  # noqa: BLE001 - a session never ends the gate
            log('%s: ended: %s' % (peer, e))
        finally:
            self.free += 1
            await self.close(writer)

    async def close(self, writer):
        """Closed after what is queued for the peer, or at once when it does
        not take that in time."""
        writer.close()
        try:
            await asyncio.wait_for(writer.wait_closed(), self.timeout)
        except Exception:  # noqa: BLE001 - gone either way
            writer.transport.abort()

    async def session(self, peer, reader, writer):
        host = certificate_name(writer.get_extra_info('peercert') or {})
        if host is None:
            log('%s: refused, its certificate names no plain host name' % peer)
            return
        shipper = FrameReader(reader, self.timeout)
        try:
            txnr, command, data = await shipper.next(self.timeout)
        except (EOFError, Broken) as e:
            log('%s (%s): no session: %s' % (peer, host, e))
            return
        if command != b'open':
            log('%s (%s): no session: "%s" before open' % (peer, host, command.decode()))
            return
        inner_reader, inner_writer = await asyncio.wait_for(
            asyncio.open_connection('127.0.0.1', self.inner_port, ssl=self.inner, server_hostname='127.0.0.1'),
            self.timeout)
        try:
            await Relay(self, peer, host.encode(), shipper, writer, inner_reader, inner_writer).run(txnr, data)
        finally:
            inner_writer.transport.abort()


class Relay:
    """One shipper session and its inner session. Transaction numbers are
    the inner session's own, mapped back to the shipper's in each answer."""

    def __init__(self, gate, peer, host, shipper, writer, inner_reader, inner_writer):
        self.gate, self.peer, self.host, self.shipper, self.writer = gate, peer, host, shipper, writer
        self.collector = FrameReader(inner_reader, IDLE_TIMEOUT)
        self.inner = inner_writer
        self.next_txnr = 0
        self.waiting = {}  # inner txnr -> (shipper's txnr, in the window)
        self.window = asyncio.Semaphore(WINDOW)
        # Frames go out together, when the frames that came are all taken:
        # a write for each costs more than the relaying.
        self.to_inner, self.to_shipper = bytearray(), bytearray()
        self.shipper.before_read = self.flush
        self.collector.before_read = self.flush

    def forward(self, txnr, command, data):
        self.next_txnr = self.next_txnr % 999999999 + 1
        self.waiting[self.next_txnr] = (txnr, command == b'syslog')
        self.to_inner += frame(self.next_txnr, command, data)

    def answer(self, txnr, data):
        self.to_shipper += frame(txnr, b'rsp', data)

    async def flush(self):
        for out, writer in ((self.to_inner, self.inner), (self.to_shipper, self.writer)):
            if out:
                writer.write(bytes(out))
                out.clear()
                await self.gate.drain(writer)

    async def run(self, open_txnr, offers):
        self.forward(open_txnr, b'open', offers)
        log('%s: session as %s' % (self.peer, self.host.decode()))
        tasks = [asyncio.ensure_future(self.from_shipper()), asyncio.ensure_future(self.from_collector())]
        done, pending = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        for t in pending:
            t.cancel()
        for t in done:
            e = t.exception()
            if e:
                log('%s (%s): ended: %s' % (self.peer, self.host.decode(), e))
        # The answers already taken still reach the shipper.
        self.to_inner.clear()
        try:
            await self.flush()
        except Exception:  # noqa: BLE001 - the shipper is gone
            pass

    async def from_shipper(self):
        while True:
            txnr, command, data = await self.shipper.next(IDLE_TIMEOUT)
            if command == b'syslog':
                message = rewrite(data, self.host)
                if message is None or len(message) > MAX_DATA:
                    self.answer(txnr, b'500 not an RFC 5424 message')
                    continue
                if self.window.locked():
                    await self.flush()
                await self.window.acquire()
                self.forward(txnr, b'syslog', message)
            elif command == b'close':
                self.forward(txnr, b'close', b'')
            else:
                self.answer(txnr, b'500 command not supported')

    async def from_collector(self):
        while True:
            txnr, command, data = await self.collector.next(IDLE_TIMEOUT)
            if command == b'serverclose':
                self.to_shipper += frame(0, b'serverclose')
                await self.flush()
                return
            if command != b'rsp' or txnr not in self.waiting:
                raise Broken('the collector sent %s for transaction %d' % (command.decode(), txnr))
            txnr, counted = self.waiting.pop(txnr)
            self.answer(txnr, data)
            if counted:
                self.window.release()


async def main():
    env = os.environ
    try:
        gate = Gate(env)
        server = await asyncio.start_server(gate.serve, env.get('VARDEL_LISTEN') or '127.0.0.1',
                                            int(env['VARDEL_SHIPPERS_PORT']), limit=1 << 18)
    except (KeyError, ValueError, OSError, ssl.SSLError) as e:
        log('cannot start: %s' % (('%s is not set' % e) if isinstance(e, KeyError) else e))
        return 1
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    log('listening on %s' % ', '.join('%s:%d' % s.getsockname()[:2] for s in server.sockets))
    async with server:
        await stop.wait()
    return 0


if __name__ == '__main__':
    sys.exit(asyncio.run(main()))
