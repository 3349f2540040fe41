#!/usr/bin/python3
"""The collector's way into the store: follows the journal that the
collector writes (collect/store/pgsql.conf) and stores it in order, a batch
of up to BATCH_BYTES in one PostgreSQL transaction (COPY into the session's
vardel_batch, then vardel.take_batch()) that also moves the journal's
position (vardel.journal_advance), so that each line is stored once
whatever fails in between: the loader killed, the store refusing, full,
away or restarting (then it tries again every second, and a loader started
later goes on from the position).

Started by rsyslog's omprog, which writes it a tick a second; it ends when
its standard input closes (the collector stops).

The journal, in $VARDEL_COLLECT_DIR/store-journal/: `journal`, which the
collector appends to, and `journal.N`, files it closed and renamed (N
counting up), each deleted once stored. A line: the receipt time, a tab,
one record's JSON; or, a message's second record, its JSON alone. A file is known by its inode and the start of its first
line, which a later file given the same inode does not share.

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
import datetime
import io
import json
import os
import re
import select
import socket
import sys
import time

import psycopg2

# SQLSTATE classes of a fault in the data of a record rather than of the
# store: data exception, integrity, program limit (an index entry too big).
RECORD_FAULTS = ('22', '23', '54')
BATCH_BYTES = 4 << 20
HEAD_BYTES = 128
NOT_JSON = 'not a JSON record'
RECEIVED = re.compile(r'[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]{1,6})?(Z|[+-][0-9]{2}:[0-9]{2})')
ROTATED = re.compile(r'journal\.([0-9]{1,17})')


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


def rows_of(lines):
    """(received, line, reason, host, file, offset) for each journal line
    (a receipt time, a tab, and a record, or more than one where a line
    came whole from an older journal), each record read here."""
    rows = []
    for msg in lines:
        received, tab, rest = msg.partition(b'\t')
        received = received.decode('ascii', 'replace')
        if not tab:  # a line cut short by a crash: kept as it is
            received, rest = '', msg
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


def with_received(lines):
    """A message's second record is a line of its own, without a receipt
    time: it gets that of the line before."""
    out, received = [], None
    for line in lines:
        if line.startswith(b'{') and received is not None:
            line = received + b'\t' + line
        else:
            received = line.partition(b'\t')[0]
        out.append(line)
    return out


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

    def failed(self, e):
        why = one_line(getattr(e, 'pgerror', None) or e)
        self.drop()
        if why != self.fault:
            log('the store does not take records; they stay in the journal: %s' % why)
        self.fault = why

    def taken(self):
        if self.fault:
            log('the store takes records again')
            self.fault = None

    def position(self, journal):
        """(head, file, offset) where the journal's stored part ends."""
        conn = self.connect()
        with conn.cursor() as cur:
            cur.execute('select head, file_id, pos from vardel.journal_position where journal = %s', (journal,))
            row = cur.fetchone()
        conn.commit()
        return (bytes(row[0]), row[1], row[2]) if row else (b'', 0, 0)

    @staticmethod
    def advance(cur, journal, was, now):
        cur.execute('select vardel.journal_advance(%s, %s, %s, %s, %s, %s, %s)',
                    (journal, psycopg2.Binary(was[0]), was[1], was[2], psycopg2.Binary(now[0]), now[1], now[2]))
        return cur.fetchone()[0]

    def store(self, journal, was, now, chunk):
        """The chunk's lines stored and the position moved from was to now,
        in one transaction; False where the position stood elsewhere."""
        if chunk.startswith(b'{') or b'\n{' in chunk:
            chunk = b'\n'.join(with_received(chunk.split(b'\n')))
        conn = self.connect()
        try:
            with conn.cursor() as cur:
                if not self.advance(cur, journal, was, now):
                    conn.rollback()
                    return False
                if chunk.strip():
                    self.copy_lines(cur, chunk)
            conn.commit()
        except psycopg2.Error as e:
            if conn.closed or not (e.pgcode or '').startswith(RECORD_FAULTS):
                raise
            conn.rollback()
            with conn.cursor() as cur:
                if not self.advance(cur, journal, was, now):
                    conn.rollback()
                    return False
            self.one_by_one(conn, rows_of([line for line in chunk.split(b'\n') if line.strip()]))
        return True

    @staticmethod
    def copy_lines(cur, chunk):
        """The common case: the journal's lines as they are, numbered by
        the batch's table; a line that COPY or the store cannot take (an
        empty one included) fails the statement."""
        cur.execute('select vardel.open_batch()')
        cur.execute('delete from pg_temp.vardel_batch')
        cur.copy_expert('copy pg_temp.vardel_batch (received, line) from stdin',
                        io.BytesIO(chunk.replace(b'\\', b'\\\\')), size=1 << 20)
        cur.execute('select vardel.take_batch()')

    @staticmethod
    def copy_rows(cur, rows):
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

    def one_by_one(self, conn, rows):
        """Each record in its own savepoint; one the store refuses as sent
        is stored whole as raw with the store's reason. Commits."""
        with conn.cursor() as cur:
            for row in rows:
                cur.execute('savepoint one')
                try:
                    self.copy_rows(cur, [row])
                except psycopg2.Error as e:
                    if not (e.pgcode or '').startswith(RECORD_FAULTS):
                        raise
                    cur.execute('rollback to savepoint one')
                    why = 'not stored as sent: ' + one_line(e.diag.message_primary or e)
                    log('%s (%s, %s, offset %s)' % (why, row[3], row[4], row[5]))
                    self.copy_rows(cur, [row[:2] + (why,) + row[3:]])
                cur.execute('release savepoint one')
        conn.commit()


class Journal:
    def __init__(self, folder):
        self.dir = os.path.join(folder, 'store-journal')
        os.makedirs(self.dir, mode=0o700, exist_ok=True)
        # The collector's host and folder: a folder made anew starts anew
        # (its first file's head differs).
        self.id = '%s:%s' % (socket.gethostname(), os.path.realpath(self.dir))
        self.where = None
        self.adopt_spool(folder)

    def adopt_spool(self, folder):
        """What an earlier loader's spool had not stored comes first."""
        spool = os.path.join(folder, 'vardel_store.spool')
        if not os.path.exists(spool):
            return
        try:
            pos = int(open(spool + '.pos').read() or 0)
        except (OSError, ValueError):
            pos = 0
        try:
            with open(spool, 'rb') as f:
                f.seek(pos)
                rest = f.read()
        except FileNotFoundError:  # another loader took it meanwhile
            return
        target = os.path.join(self.dir, 'journal.0')
        if rest.strip() and not os.path.exists(target):
            with open(target + '.new', 'wb') as f:
                f.write(rest)
                os.fsync(f.fileno())
            os.replace(target + '.new', target)
        for path in (spool, spool + '.pos', spool + '.lock', spool + '.drainer'):
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)

    def files(self):
        """The journal's files in order: (path, closed), the closed ones
        first by their number."""
        rotated = sorted((int(m.group(1)), name) for name in os.listdir(self.dir) for m in [ROTATED.fullmatch(name)] if m)
        files = [(os.path.join(self.dir, name), True) for _, name in rotated]
        live = os.path.join(self.dir, 'journal')
        if os.path.exists(live):
            files.append((live, False))
        return files

    @staticmethod
    def head(fd):
        return os.pread(fd, HEAD_BYTES, 0).partition(b'\n')[0]

    def read(self, path, pos, closed):
        """(head, inode, lines) of the file from pos: whole lines only,
        up to about BATCH_BYTES (one longer line whole); a closed file's
        last line even without its line end. None where it is gone."""
        try:
            f = open(path, 'rb')
        except FileNotFoundError:
            return None
        with f:
            st = os.fstat(f.fileno())
            f.seek(pos)
            data = f.read(BATCH_BYTES)
            while data and b'\n' not in data:
                more = f.read(BATCH_BYTES)
                if not more:
                    break
                data += more
            end = len(data) if closed and pos + len(data) >= st.st_size else data.rfind(b'\n') + 1
            return self.head(f.fileno()), st.st_ino, data[:end]

    def locate(self, files):
        """The index of the file the position is in and the offset there;
        (0, 0) where none is (a new journal)."""
        head, inode, pos = self.where
        for i, (path, _) in enumerate(files):
            try:
                with open(path, 'rb') as f:
                    if os.fstat(f.fileno()).st_ino == inode and self.head(f.fileno()) == head:
                        return i, pos
            except FileNotFoundError:
                continue
        return 0, 0

    def step(self, store):
        """Stores one batch; False where there was nothing to store."""
        if self.where is None:
            self.where = store.position(self.id)
        files = self.files()
        if not files:
            return False
        i, pos = self.locate(files)
        for path, closed in files[:i]:  # stored: the position is past them
            if closed:
                os.remove(path)
        while True:
            path, closed = files[i]
            got = self.read(path, pos, closed)
            if got is None:  # renamed meanwhile: look again
                return True
            head, inode, chunk = got
            if chunk:
                break
            if not (closed and i + 1 < len(files)):
                return False
            i, pos = i + 1, 0
        now = (head, inode, pos + len(chunk))
        if store.store(self.id, self.where, now, chunk):
            self.where = now
        else:
            self.where = None  # another loader moved it
        store.taken()
        return True


def main():
    journal = Journal(os.environ.get('VARDEL_COLLECT_DIR') or '.')
    store = Store()
    os.set_blocking(0, False)
    end = None
    while end is None or time.monotonic() < end:
        try:
            busy = journal.step(store)
        except (psycopg2.Error, OSError) as e:
            store.failed(e)
            journal.where = None
            busy = False
            pause = 1
        else:
            pause = 0.2
        # The ticks: read, so that the pipe never fills; its end, the
        # collector's stop, leaves a few seconds to go on (rsyslog waits
        # that long; what is left stays for the next start).
        if end is None and select.select([0], [], [], 0 if busy else pause)[0]:
            try:
                if not os.read(0, 65536):
                    end = time.monotonic() + 3
            except BlockingIOError:
                pass
        elif end is not None and not busy:
            break
    store.drop()
    return 0


if __name__ == '__main__':
    sys.exit(main())
