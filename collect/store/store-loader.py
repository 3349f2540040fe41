#!/usr/bin/python3
"""The collector's way into the store: run by rsyslog's omprog
(collect/store/pgsql.conf) with confirmMessages and useTransactions.

Protocol on standard input and output, one line each way:
  BEGIN TRANSACTION              -> OK
  RECEIVED<TAB>LINE[<TAB>LINE]   -> DEFER_COMMIT   (a message: its receipt
                                    time and its one or two JSON lines)
  COMMIT TRANSACTION             -> OK once the batch is in the journal

The journal, $VARDEL_COLLECT_DIR/vardel_store.spool, is written and synced
before a commit is answered; the loader's drainer, a process of its own,
stores it in order, a batch of up to 1024 messages in one PostgreSQL
transaction (COPY into the session's
vardel_batch, then vardel.take_batch()), while the next batch comes. A
fault of the store as a whole (refused, full, away, restarting) leaves the
journal as it is, tried again every second, and a loader started later
(the collector sends a message without records every few seconds, so that
one runs) stores it first. Not rsyslog's own retry: rsyslog counts a
batch handed to a transaction as done, so a collector stopped while it
retries one would drop that batch. Past VARDEL_STORE_SPOOL_MAX bytes not
yet stored (1 GiB) a commit is answered "Error: ...", and rsyslog keeps
the batch in its own queue and hands it in again.

A record that the store cannot take as sent (any value of any field) does
not fail its batch: the batch is then stored record by record, and such a
record whole as raw with the reason.

Settings from the environment (as rsyslogd has them): VARDEL_STORE_SERVER
(address or socket folder), VARDEL_STORE_PORT, VARDEL_STORE_DB,
VARDEL_STORE_USER. A password, where the server asks for one, comes from
the collector's user's ~/.pgpass or the file PGPASSFILE names (libpq reads
no such file that others may read).
"""
import contextlib
import fcntl
import io
import datetime
import json
import os
import re
import select
import sys
import time

import psycopg2

# SQLSTATE classes of a fault in the data of a record rather than of the
# store: data exception, integrity, program limit (an index entry too big).
RECORD_FAULTS = ('22', '23', '54')
SPOOL_BATCH = 1024
NOT_JSON = 'not a JSON record'
RECEIVED = re.compile(r'[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]{1,6})?(Z|[+-][0-9]{2}:[0-9]{2})')


def log(text):
    sys.stderr.write('%s store-loader: %s\n' % (time.strftime('%Y-%m-%dT%H:%M:%S'), text))
    sys.stderr.flush()


def one_line(text):
    return ' '.join(str(text).split())[:400]


def copy_text(value):
    """A value as COPY's text format writes it."""
    if value is None:
        return '\\N'
    return value.replace('\\', '\\\\').replace('\t', '\\t').replace('\n', '\\n').replace('\r', '\\r')


def no_constant(name):
    raise ValueError('not JSON: ' + name)


def rows_of(messages, look=False):
    """(received, line, reason, host, file, offset) for each record of the
    messages. Only where look is set are the lines read here (the store
    reads them; the loader looks only when the store refused one)."""
    rows = []
    for msg in messages:
        received, _, rest = msg.partition(b'\t')
        received = received.decode('ascii', 'replace')
        if not RECEIVED.fullmatch(received):
            received = datetime.datetime.now(datetime.timezone.utc).isoformat()
        for raw in rest.split(b'\t'):
            if not raw.strip():
                continue
            try:
                line = raw.decode('utf-8')
            except UnicodeDecodeError:
                rows.append((received, raw.decode('utf-8', 'replace'), NOT_JSON, None, None, None))
                continue
            if '\0' in line:  # a text holds none: kept without them
                rows.append((received, line.replace('\0', ''), NOT_JSON, None, None, None))
                continue
            if not look:
                rows.append((received, line, None, None, None, None))
                continue
            try:
                rec = json.loads(line, parse_constant=no_constant)
            except ValueError:
                rec = None
            if not isinstance(rec, dict):
                rows.append((received, line, NOT_JSON, None, None, None))
                continue
            offset = rec.get('offset')
            if not (type(offset) is int and 0 <= offset < 2 ** 63):
                offset = None
            rows.append((received, line, None, hint(rec.get('host')), hint(rec.get('file')), offset))
    return rows


def hint(value):
    """A host or file name fit to stand beside a record stored as raw."""
    if not isinstance(value, str):
        return None
    return value.replace('\0', '')[:200].encode('utf-8', 'replace').decode('utf-8')


class Store:
    def __init__(self):
        self.conn = None
        self.fault = None

    def connect(self):
        if self.conn is None or self.conn.closed:
            self.conn = psycopg2.connect(
                host=os.environ.get('VARDEL_STORE_SERVER') or None, port=os.environ.get('VARDEL_STORE_PORT') or None,
                dbname=os.environ.get('VARDEL_STORE_DB') or 'vardel', user=os.environ.get('VARDEL_STORE_USER') or None,
                connect_timeout=10, application_name='vardel-store-loader')
        return self.conn

    def drop(self):
        if self.conn is not None:
            try:
                self.conn.close()
            except psycopg2.Error:
                pass
        self.conn = None

    def copy(self, cur, rows):
        buf = io.StringIO()
        for n, (received, line, reason, host, file_, offset) in enumerate(rows, 1):
            buf.write('%d\t%s\t%s\t%s\t%s\t%s\t%s\n' % (n, copy_text(received), copy_text(line), copy_text(reason),
                                                        copy_text(host), copy_text(file_),
                                                        '\\N' if offset is None else offset))
        buf.seek(0)
        cur.execute('select vardel.open_batch()')
        cur.execute('delete from pg_temp.vardel_batch')
        cur.copy_expert('copy pg_temp.vardel_batch (n, received, line, reason, host, file, file_offset) from stdin', buf)
        cur.execute('select vardel.take_batch()')

    def store(self, messages):
        """None when stored, else the store's fault (one line)."""
        rows = rows_of(messages)
        if not rows:
            return None
        try:
            conn = self.connect()
            try:
                with conn.cursor() as cur:
                    self.copy(cur, rows)
                conn.commit()
            except psycopg2.Error as e:
                if conn.closed or not (e.pgcode or '').startswith(RECORD_FAULTS):
                    raise
                conn.rollback()
                self.one_by_one(conn, rows_of(messages, look=True))
        except psycopg2.Error as e:
            why = one_line(e.pgerror or e)
            self.drop()
            if why != self.fault:
                log('the store did not take a batch of %d records; they stay queued: %s' % (len(rows), why))
            self.fault = why
            return why
        if self.fault:
            log('the store takes records again')
            self.fault = None
        return None

    def one_by_one(self, conn, rows):
        """Each record in its own savepoint; one the store refuses as sent
        is stored whole as raw with the store's reason."""
        with conn.cursor() as cur:
            for row in rows:
                cur.execute('savepoint one')
                try:
                    self.copy(cur, [row])
                except psycopg2.Error as e:
                    if not (e.pgcode or '').startswith(RECORD_FAULTS):
                        raise
                    cur.execute('rollback to savepoint one')
                    why = 'not stored as sent: ' + one_line(e.diag.message_primary or e)
                    log('%s (%s, %s, offset %s)' % (why, row[3], row[4], row[5]))
                    self.copy(cur, [row[:2] + (why,) + row[3:]])
                cur.execute('release savepoint one')
        conn.commit()


class Spool:
    """The journal: messages not yet stored, one a line, in order; .pos
    holds the offset of the first not yet stored. The loader appends, its
    drainer (a process of its own, so that storing never holds up the
    answers rsyslog waits for) stores; a lock on the journal's folder keeps
    an append and the emptying apart."""

    def __init__(self, folder):
        self.path = os.path.join(folder, 'vardel_store.spool')
        self.pos_path = self.path + '.pos'
        self.limit = int(os.environ.get('VARDEL_STORE_SPOOL_MAX') or 1 << 30)
        self.lock_fd = None

    @contextlib.contextmanager
    def locked(self):
        # Opened by each process itself: a lock taken through a descriptor
        # that the fork shared would not keep the other out.
        if self.lock_fd is None:
            self.lock_fd = os.open(self.path + '.lock', os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        fcntl.flock(self.lock_fd, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(self.lock_fd, fcntl.LOCK_UN)

    def pos(self):
        try:
            with open(self.pos_path) as f:
                return int(f.read() or 0)
        except (OSError, ValueError):
            return 0

    def size(self):
        try:
            return os.path.getsize(self.path)
        except OSError:
            return 0

    def pending(self):
        return self.size() > self.pos()

    def add(self, messages):
        """Appended and synced; False where the journal is full."""
        data = b''.join(m + b'\n' for m in messages)
        with self.locked():
            if self.size() - self.pos() + len(data) > self.limit:
                return False
            with open(self.path, 'ab') as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
        return True

    def set_pos(self, pos):
        tmp = self.pos_path + '.new'
        with open(tmp, 'w') as f:
            f.write(str(pos))
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, self.pos_path)

    def drain(self, store, stop):
        """Stores the journal in order, a batch at a time, until it is empty
        (then emptied), the store refuses (False) or stop is set."""
        while not stop():
            with self.locked():
                pos, size = self.pos(), self.size()
                if pos >= size:
                    if size:
                        for path in (self.path, self.pos_path):
                            if os.path.exists(path):
                                os.remove(path)
                    return True
            with open(self.path, 'rb') as f:
                f.seek(pos)
                chunk = [m for m in (f.readline() for _ in range(SPOOL_BATCH)) if m]
            if chunk and not chunk[-1].endswith(b'\n'):
                chunk.pop()  # an append under way
            if not chunk:
                return True
            if store.store([m.rstrip(b'\n') for m in chunk]) is not None:
                return False
            self.set_pos(pos + sum(map(len, chunk)))
        return False


def drainer(spool, wake):
    """The drainer's process: stores what the journal holds whenever the
    loader says it grew (and every second); while the store refuses, tries
    again every second. Once the loader has closed its end of wake (it was
    stopped), a few seconds more to store the journal, then it ends after
    the batch in hand (rsyslog waits that long for its loader; what is left
    stays for the next start). One drainer at a time: one of a loader that
    was killed finishes its batch before the next begins."""
    fd = os.open(spool.path + '.drainer', os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    store = Store()
    end = None

    def wait(seconds, for_more):
        """Up to seconds, or until the loader says the journal grew (where
        for_more); notes the loader's end."""
        nonlocal end
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            if end is not None:  # the pipe is closed: only time to wait for
                if not for_more:
                    time.sleep(max(0, until - time.monotonic()))
                return
            ready, _, _ = select.select([wake], [], [], max(0, until - time.monotonic()))
            if not ready:
                return
            if not os.read(wake, 65536):
                end = time.monotonic() + 3
            elif for_more:
                return

    stop = lambda: end is not None and time.monotonic() > end
    while not (end is not None and (stop() or not spool.pending())):
        done = True
        if spool.pending():
            try:
                done = spool.drain(store, stop)
            except Exception as e:  # noqa: BLE001 -- the journal stays; tried again
                log('storing the journal failed: %s' % one_line(e))
                store.drop()
                done = False
            if done:
                continue
        # The store refused: again in a second. Else until more comes.
        wait(1, for_more=done)
    store.drop()


def main():
    spool = Spool(os.environ.get('VARDEL_COLLECT_DIR') or '.')
    # The drainer is a process of its own: storing must not hold up the
    # answers that rsyslog waits for, one message at a time.
    wake, told = os.pipe()
    child = os.fork()
    if child == 0:
        # Not the collector's pipes: a loader that died must be seen to
        # have died while its drainer finishes.
        os.close(told)
        null = os.open(os.devnull, os.O_RDWR)
        os.dup2(null, 0)
        os.dup2(null, 1)
        try:
            drainer(spool, wake)
        finally:
            os._exit(0)
    os.close(wake)
    os.set_blocking(told, False)

    def tell():
        try:
            os.write(told, b'.')
        except BlockingIOError:
            pass  # it has enough to wake for

    os.write(1, b'OK\n')
    batch, open_, rest = [], False, b''
    while True:
        data = os.read(0, 65536)
        if not data:
            break
        *lines, rest = (rest + data).split(b'\n')
        replies = []
        for msg in lines:
            if msg == b'BEGIN TRANSACTION':
                batch, open_, reply = [], True, b'OK'
            elif msg == b'COMMIT TRANSACTION' or not open_:
                if not open_:
                    batch = [msg]
                # A message without records is the collector's tick.
                batch = [m for m in batch if m.partition(b'\t')[2].strip()]
                try:
                    if not batch:
                        reply = b'OK'
                    elif spool.add(batch):
                        reply = b'OK'
                        tell()
                    else:
                        reply = b'Error: the journal is full and the store does not take records (see store-loader.log)'
                except OSError as e:
                    # rsyslog keeps the batch and hands it in again.
                    reply = ('Error: the journal cannot be written: %s' % one_line(e)).encode()
                    log(reply.decode())
                batch, open_ = [], False
            else:
                batch.append(msg)
                reply = b'DEFER_COMMIT'
            replies.append(reply + b'\n')
        out = b''.join(replies)
        while out:
            out = out[os.write(1, out):]
    # Stopped: the drainer has a few seconds more (see drainer).
    os.close(told)
    os.waitpid(child, 0)
    return 0


if __name__ == '__main__':
    sys.exit(main())
