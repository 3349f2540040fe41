#!/usr/bin/env python3
"""The store's intake: the loader's batch cases spoken to it directly (a
record that cannot be stored as sent among others, the whole record over a
partial one, re-deliveries, far days) and its journal's bound, then faults of the whole store with
records coming through a real collector (the collector's role refused, the
collector restarted while its queue holds them, the store's disk full),
each ending with every record stored once; a flood of far days costing no
partitions; and who may connect to the private cluster.

    store_intake_test.py

The disk-full case needs a filesystem of its own (a tmpfs, mounted as
root); elsewhere it is left out with that reason. Exits 1 on any failure.
"""
import datetime
import errno
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading

import psycopg2

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import collect_test as ct  # noqa: E402
import store_test as st  # noqa: E402
from collect_test import check, wait_for  # noqa: E402

LOADER = os.path.join(ct.CONF, 'store', 'store-loader.py')
TODAY = datetime.datetime.now(datetime.timezone.utc).date()
DAY_FILE = TODAY.strftime('Log_%Y_%m_%d.log')
TEXT = TODAY.strftime('%a %b %d 10:00:00 AM GMT Standard Time')
FAR = [TODAY + datetime.timedelta(days=400 + i) for i in range(1500)]
PAST = [TODAY - datetime.timedelta(days=400 + i) for i in range(1500)]


class Loader:
    """store-loader.py run as rsyslog's omprog runs it, over a journal
    written here as the collector's omfile writes it."""

    def __init__(self, db, folder):
        self.db = db
        self.dir = os.path.join(folder, 'store-journal')
        self.journal = os.path.join(self.dir, 'journal')
        self.proc = subprocess.Popen(['/usr/bin/python3', LOADER], env=dict(db.env(), VARDEL_COLLECT_DIR=folder),
                                     stdin=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_for(lambda: os.path.isdir(self.dir), 'the loader to make its journal folder')

    def write(self, messages, name='journal'):
        """Each message a list of records (dicts, or text written as it
        is), a journal line each, the first with the receipt time."""
        received = datetime.datetime.now(datetime.timezone.utc).isoformat().encode()
        with open(os.path.join(self.dir, name), 'ab') as f:
            for m in messages:
                for k, r in enumerate(m):
                    f.write((b'' if k else received + b'\t') + (r if isinstance(r, bytes) else
                            (r if isinstance(r, str) else json.dumps(r)).encode()) + b'\n')

    def position(self):
        rows = self.db.query("select pos from vardel.journal_position where journal = '%s:%s'"
                             % (socket.gethostname(), os.path.realpath(self.dir)))
        return rows[0]['pos'] if rows else None

    def stored_all(self):
        """The position at the live journal's end, no closed file left."""
        names = os.listdir(self.dir)
        return names == ['journal'] and self.position() == os.path.getsize(self.journal)

    def batch(self, messages, wait=True):
        """True once the journal is stored (if wait)."""
        self.write(messages)
        return not wait or wait_for(self.stored_all, 'the loader to store its journal')

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(10)


def whole(host, offset, source='s', file=DAY_FILE):
    return dict(host=host, file=file, offset=offset, time=TEXT, type='ERROR', level='RELEASE', source=source,
                message='m %d' % offset)


def partial(host, offset, raw):
    return dict(host=host, file=DAY_FILE, offset=offset, raw=raw)


LONG_HOST = 'HHH' + os.urandom(4500).hex()  # random, so that it does not compress into an index entry
# (what, batches of messages of records, check of the host's rows in offset order)
CASES = [
    ('a piece number out of range among 20 in one batch',
     [[[whole('C1', i)] if i != 9 else [dict(partial('C1', 9, 'x'), piece=9999999999, pieces=9999999999)]
       for i in range(20)]],
     lambda rows: len(rows) == 20 and all(r['time_text'] for r in rows if r['file_offset'] != 9)
     and rows[9]['unknown'].startswith('not stored as sent: piece 9999999999') and '"piece": 9999999999' in rows[9]['raw']),
    ('a \\u0000, which a text cannot hold, among others',
     [[[whole('C2', 0)], [dict(whole('C2', 1), source='a\0b')], [whole('C2', 2)]]],
     lambda rows: [r['file_offset'] for r in rows] == [0, 1, 2] and rows[1]['unknown'].startswith('not stored as sent:')
     and rows[0]['time_text'] and rows[2]['time_text'] and '\\u0000' in rows[1]['raw']),
    ('a host name too long for an index',
     [[[dict(whole('C3', 0), host=LONG_HOST)]]],
     lambda rows: len(rows) == 1 and rows[0]['time_text'] is None and LONG_HOST in rows[0]['raw']
     and rows[0]['unknown'] == 'not stored as sent: host or file name longer than 200 characters'),
    ('not JSON', [[['{"host": "C4", broken'], [b'\xff\xfe{"host": "C4"}'], [b'{"host": "C4"}\0']]],
     lambda rows: len(rows) == 3 and all(r['unknown'] == 'not a JSON record' and r['raw'] for r in rows)),
    ('the same offset twice', [[[whole('C5', 0)]], [[whole('C5', 0)]]], lambda rows: len(rows) == 1),
    ('the same offset with another source: the first stays', [[[whole('C6', 0)]], [[whole('C6', 0, source='t')]]],
     lambda rows: [r['source'] for r in rows] == ['s']),
    ('no offset twice: both stay', [[[dict(whole('C7', 0), offset=None)]], [[dict(whole('C7', 0), offset=None)]]],
     lambda rows: len(rows) == 2),
    ('an offset that is not a number', [[[dict(whole('C8', 0), offset='12')]]],
     lambda rows: len(rows) == 1 and rows[0]['file_offset'] is None and rows[0]['time_text']),
    ('pieces of one offset, the second again',
     [[[dict(partial('C9', 5, 'a'), piece=1, pieces=2), dict(partial('C9', 5, 'b'), piece=2, pieces=2)]],
      [[dict(partial('C9', 5, 'b'), piece=2, pieces=2)]]],
     lambda rows: [r['piece'] for r in rows] == [1, 2]),
    ('the whole record after its partial one replaces it; a partial one after does not',
     [[[partial('C10', 7, TEXT[:9])]], [[whole('C10', 7)]], [[partial('C10', 7, TEXT[:9])]]],
     lambda rows: len(rows) == 1 and rows[0]['time_text'] == TEXT and rows[0]['unknown'] is None and rows[0]['utc']),
    ('the whole record and its partial one in one batch',
     [[[partial('C11', 7, TEXT[:9])], [whole('C11', 7)], [partial('C11', 7, TEXT[:5])]]],
     lambda rows: len(rows) == 1 and rows[0]['time_text'] == TEXT),
    ('a partial raw record, then the longer text it began',
     [[[partial('C12', 3, 'abc')]], [[partial('C12', 3, 'abcdef')]], [[partial('C12', 3, 'abc')]]],
     lambda rows: [r['raw'] for r in rows] == ['abcdef']),
    ('a day 400 days ahead: no partition of its own, no instant, the reason',
     [[[whole('C13', 0, file=FAR[0].strftime('Log_%Y_%m_%d.log'))]]],
     lambda rows: len(rows) == 1 and rows[0]['file_day'] == 'infinity' and rows[0]['utc'] is None
     and rows[0]['unknown'] == "the file's day %s is more than 2 days past the collector's clock" % FAR[0]),
    # (A batch of keys new to the store and to the batch takes a plain
    # insert; the unique violation of any other sends it the ON CONFLICT way.)
    ('a key twice among 20 new ones in one batch: all stored, that key once',
     [[[whole('C14', i)] for i in range(20)] + [[whole('C14', 7, source='t')]]],
     lambda rows: [r['file_offset'] for r in rows] == list(range(20)) and rows[7]['source'] == 's'
     and all(r['utc'] for r in rows)),
    ('a batch over stored keys and new ones',
     [[[whole('C15', i)] for i in range(5)], [[whole('C15', i, source='t')] for i in range(2, 9)]],
     lambda rows: [(r['file_offset'], r['source']) for r in rows] == [(i, 's' if i < 5 else 't') for i in range(9)]),
    ('time texts that are not of the form, among others',
     [[[dict(whole('C16', i), time=t)] for i, t in enumerate(['x', '', TEXT[:19] + 'Z', 'UNKNOWN_TIME 1000000000', TEXT])]],
     lambda rows: len(rows) == 5 and [r['utc'] is None for r in rows] == [True, True, True, False, False]
     and rows[0]['unknown'] == 'not a time text'
     and datetime.datetime.fromisoformat(rows[3]['utc']).timestamp() == 1000000000),
]


def check_cases(db, work):
    loader = Loader(db, work)
    try:
        for i, (what, batches, ok) in enumerate(CASES):
            check(all([loader.batch(b) for b in batches]), '%s: not stored' % what)
            host = LONG_HOST[:200] if 'too long' in what else '-' if what == 'not JSON' else 'C%d' % (i + 1)
            rows = db.query("select file_offset, piece, time_text, source, raw, utc, unknown, file_day::text"
                            " from vardel.records where host = '%s' order by file_offset nulls last, piece, id" % host)
            check(ok(rows), '%s: stored %s' % (what, json.dumps(rows)[:600]))
    finally:
        loader.close()
    parts = db.query("select relname from pg_class where relname ~ '^records_[0-9]{8}$' and relname >= 'records_%s'"
                     % FAR[0].strftime('%Y'))
    check(not parts, 'partitions of far days: %r' % parts)


# Time texts around London's clock changes of 2006 (26 March, 29 October),
# one batch: the store works instants out per hour where no change falls in
# it, so each is held against zoneinfo.
CLOCK_CHANGES = [('Log_2006_03_26.log', 'Sun Mar 26 %s GMT %s Time' % (t, n))
                 for t in ('12:59:59 AM', '01:00:00 AM', '01:30:00 AM', '01:59:59 AM', '02:00:00 AM', '02:30:00 AM')
                 for n in ('Standard', 'Daylight')] + \
                [('Log_2006_10_29.log', 'Sun Oct 29 %s GMT %s Time' % (t, n))
                 for t in ('12:59:59 AM', '01:00:00 AM', '01:30:00 AM', '01:59:59 AM', '02:00:00 AM')
                 for n in ('Standard', 'Daylight')]


def check_clock_changes(db, work):
    loader = Loader(db, work)
    try:
        check(loader.batch([[dict(whole('CLOCK', i, file=f), time=t)] for i, (f, t) in enumerate(CLOCK_CHANGES)]),
              'clock changes: not stored')
    finally:
        loader.close()
    rows = db.query("select file, time_text, utc, unknown from vardel.records where host = 'CLOCK' order by file_offset")
    check(len(rows) == len(CLOCK_CHANGES), 'clock changes: %d rows' % len(rows))
    for r in rows:
        want = st.model_instant(r['time_text'], r['file'])
        got = r['utc'] and datetime.datetime.fromisoformat(r['utc']).astimezone(datetime.timezone.utc)
        check(got == want and (r['unknown'] is None) == (want is not None),
              'instant of %r: %s (%s), zoneinfo: %s' % (r['time_text'], got, r['unknown'], want))


def check_journal_files(db, work):
    """The spool an earlier loader left, from its stored position on, then
    the journal's closed files in their numbers' order (10 after 9), each
    deleted once stored, a line cut short at a closed file's end kept as
    raw; and the live file written anew over the same inode (a later file
    given the stored position's inode): stored from its start."""
    folder = os.path.join(work, 'journal-files')
    os.mkdir(folder)
    spool = os.path.join(folder, 'vardel_store.spool')
    with open(spool, 'wb') as f:
        for i in range(4):
            f.write(b'2026-12-09T00:00:00Z\t' + json.dumps(whole('JFILES', i)).encode() + b'\n')
    with open(spool + '.pos', 'w') as f:
        f.write(str(os.path.getsize(spool) // 2))
    cut = b'2026-12-09T00:00:00Z\t{"host": "JFILES", "file": "cut'
    loader = Loader(db, folder)
    try:
        for n, offsets in ((10, [6]), (9, [4, 5]), (11, [7])):
            loader.write([[whole('JFILES', i)] for i in offsets], 'journal.%d' % n)
        with open(os.path.join(loader.dir, 'journal.11'), 'ab') as f:
            f.write(cut)
        loader.batch([[whole('JFILES', 8)]])
        rows = db.query("select file_offset from vardel.records where host = 'JFILES' order by id")
        check([r['file_offset'] for r in rows] == [2, 3, 4, 5, 6, 7, 8] and not os.path.exists(spool),
              'journal files: stored %r' % rows)
        rows = db.query("select unknown from vardel.records where raw = '%s'" % cut.partition(b'\t')[2].decode())
        check(rows == [{'unknown': 'not a JSON record'}], 'the cut line: %r' % rows)
        inode, size = os.stat(loader.journal).st_ino, os.path.getsize(loader.journal)
        open(loader.journal, 'wb').close()
        loader.batch([[whole('JNEW', i)] for i in range(3)])
        check(os.stat(loader.journal).st_ino == inode and os.path.getsize(loader.journal) > size
              and stored(db, 'JNEW') == [0, 1, 2], 'the journal anew on its inode: stored %r' % stored(db, 'JNEW'))
    finally:
        loader.close()


def check_two_loaders(db, work):
    """Two loaders of one journal at once (rsyslog starts one while the
    last still runs), their batches waiting on the store; then the first
    of two killed while its batch waits. Each batch starts where the one
    before it ended, so that records without an offset (which nothing but
    the position keeps from coming twice) are stored once."""
    folder = os.path.join(work, 'two-loaders')
    os.mkdir(folder)
    no_offset = lambda i: dict(whole('TWICE', 0), offset=None, source='k%d' % i)
    waiting = lambda n: lambda: db.query("select count(*) as n from pg_stat_activity where application_name = "
                                         "'vardel-store-loader' and wait_event_type = 'Lock'")[0]['n'] == n
    # The owner holds the hosts' table: the loaders' batches wait there.
    lock = subprocess.Popen([os.path.join(st.PGBIN, 'psql'), '-X', '-q', '-h', os.path.join(db.folder, 'socket'),
                             '-p', db.port, '-U', 'postgres', '-d', 'vardel'], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    loaders = []
    try:
        for kill, sources in ((False, [range(0, 3), range(3, 5)]), (True, [range(5, 8), range(8, 10)])):
            lock.stdin.write('begin; lock table vardel.hosts in exclusive mode; select pg_sleep(0);\n')
            lock.stdin.flush()
            wait_for(lambda: db.query("select 1 from pg_locks l join pg_class c on c.oid = l.relation "
                                      "where c.relname = 'hosts' and l.granted and l.mode = 'ExclusiveLock'"),
                     'the owner to hold the hosts table')
            for n, batch in enumerate(sources, 1):
                loaders.append(Loader(db, folder))
                loaders[-1].batch([[no_offset(i)] for i in batch], wait=False)
                wait_for(waiting(n), 'batch %d to wait on the store' % n)
                if kill and n == 1:
                    loaders[-1].proc.kill()
                    loaders[-1].proc.wait(10)
            lock.stdin.write('commit;\n')
            lock.stdin.flush()
            wait_for(loaders[-1].stored_all, 'the journal of both batches to be stored')
            got = [r['source'] for r in db.query("select source from vardel.records where host = 'TWICE' order by source")]
            want = ['k%d' % i for i in range(sources[-1][-1] + 1)]
            check(got == want, 'two loaders%s: stored %r' % (', the first killed' if kill else '', got))
            for loader in loaders:
                if loader.proc.poll() is None:
                    loader.close()
    finally:
        lock.stdin.close()
        lock.wait(10)
        for loader in loaders:
            if loader.proc.poll() is None:
                loader.close()


def check_two_sessions(db):
    """Two sessions storing keys in common at once: the second waits for
    the first and, as it ends, stores the keys it did not store (a unique
    violation of its plain insert never reaches the loader)."""
    def session():
        conn = psycopg2.connect(host=os.path.join(db.folder, 'socket'), port=db.port, dbname='vardel',
                                user='vardel_collector')
        return conn

    def take(conn, host, offsets, out):
        try:
            with conn.cursor() as cur:
                cur.execute('select vardel.open_batch()')
                cur.executemany('insert into pg_temp.vardel_batch (n, received, line) values (%s, now(), %s)',
                                [(n, json.dumps(whole(host, i))) for n, i in enumerate(offsets, 1)])
                cur.execute('select vardel.take_batch()')
                out.append(cur.fetchone()[0])
        except psycopg2.Error as e:
            out.append('%s %s' % (e.pgcode, e.pgerror))

    # (the first session's end, the offsets stored and the count the second returns)
    for end, want, count in (('commit', list(range(15)), 5), ('rollback', list(range(5, 15)), 10)):
        host = 'TWO-' + end
        first, second = session(), session()
        try:
            done = []
            take(first, host, range(10), done)
            waiting = threading.Thread(target=take, args=(second, host, range(5, 15), done))
            waiting.start()
            wait_for(lambda: db.query("select 1 from pg_stat_activity where pid = %d and wait_event_type = 'Lock'"
                                      % second.get_backend_pid()), 'the second session to wait for the first')
            getattr(first, end)()
            waiting.join(30)
            second.commit()
            check(done == [10, count] and stored(db, host) == want,
                  'two sessions, the first a %s: returned %r, stored %r' % (end, done, stored(db, host)))
        finally:
            first.close()
            second.close()


class Collector:
    """A collector (central.conf) storing into db, fed on its octet-counted
    syslog input; its journal closed and renamed past 2 KiB rather than 16
    MiB, so that a few records pass through several files."""

    def __init__(self, work, db):
        self.work, self.db = work, db
        relp, tcp, escaped = ct.free_ports(3)
        self.tcp = tcp
        self.dir = os.path.join(work, 'central')
        os.makedirs(self.dir, exist_ok=True)
        conf = os.path.join(work, 'pgsql.conf')
        with open(os.path.join(ct.CONF, 'store', 'pgsql.conf')) as f:
            text = f.read()
        check('rotation.sizeLimit="16m"' in text, "the store's journal limit is not where the test sets it")
        with open(conf, 'w') as f:
            f.write(text.replace('rotation.sizeLimit="16m"', 'rotation.sizeLimit="2k"'))
        self.env = dict(db.env(), VARDEL_CONF_DIR=ct.CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
                        VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped), VARDEL_COLLECT_DIR=self.dir,
                        VARDEL_COLLECT_OUT='', VARDEL_STORE_CONF=conf)
        self.runs = 0
        self.start()

    def start(self):
        self.runs += 1
        self.proc = ct.Rsyslogd(os.path.join(ct.CONF, 'central.conf'), self.env,
                                os.path.join(self.work, 'central%d.log' % self.runs))
        if not wait_for(lambda: ct_listening(self.tcp), 'the collector to listen'):
            raise RuntimeError('the collector does not start: %s' % open(os.path.join(
                self.work, 'central%d.log' % self.runs), errors='replace').read()[-2000:])

    def stop(self):
        self.proc.stop()

    def send(self, host, files):
        """One record per (file, offset) on one connection."""
        with socket.create_connection(('127.0.0.1', self.tcp)) as s:
            for file_, offset in files:
                m = ('<14>1 2026-12-09T00:00:00Z %s vardel - %s [vardel@32473 offset="%d"] %s,ERROR,RELEASE,'
                     'Intake,"record %d"' % (host, file_, offset, TEXT, offset)).encode()
                s.sendall(b'%d %s' % (len(m), m))

    def loader_log(self):
        path = os.path.join(self.dir, 'store-loader.log')
        return open(path, errors='replace').read() if os.path.exists(path) else ''


def ct_listening(port):
    try:
        socket.create_connection(('127.0.0.1', port), 1).close()
        return True
    except OSError:
        return False


def stored(db, host):
    """The offsets stored for the host, each as many times as stored."""
    return sorted(r['file_offset'] for r in db.query("select file_offset from vardel.records where host = '%s'" % host))


def check_refused(db, col):
    """The collector's role refused by the store for a while, and the
    collector restarted meanwhile: its journal keeps the records, over
    several closed files, in order."""
    db.psql('revoke execute on function vardel.take_batch() from vardel_collector')
    seen = len(col.loader_log())
    journal = os.path.join(col.dir, 'store-journal')

    def lines():
        total = 0
        for name in os.listdir(journal) if os.path.isdir(journal) else []:
            try:
                total += open(os.path.join(journal, name), 'rb').read().count(b'\n')
            except FileNotFoundError:  # renamed meanwhile: counted again
                return 0
        return total

    for k in range(3):  # three batches: the journal is closed between batches only
        col.send('REFUSED', [(DAY_FILE, i) for i in range(10 * k, 10 * k + 10)])
        wait_for(lambda: lines() >= 10 * k + 10, 'the collector to write the journal')
    wait_for(lambda: 'permission denied' in col.loader_log()[seen:], 'the loader to meet the refusal', 60)
    col.stop()
    files = sorted(os.listdir(journal))
    check(len(files) >= 3 and lines() == 30, "the journal after the collector's stop: %r, %d lines" % (files, lines()))
    col.start()
    check(stored(db, 'REFUSED') == [], 'stored while refused: %r' % stored(db, 'REFUSED'))
    db.psql('grant execute on function vardel.take_batch() to vardel_collector')
    wait_for(lambda: len(stored(db, 'REFUSED')) >= 30, 'the refused records to be stored', 60)
    check(stored(db, 'REFUSED') == list(range(30)), 'refused records: %r' % stored(db, 'REFUSED'))
    rows = db.query("select file_offset from vardel.records where host = 'REFUSED' order by id")
    check([r['file_offset'] for r in rows] == list(range(30)), 'refused records out of order: %r' % rows)
    wait_for(lambda: os.listdir(journal) == ['journal'], 'the closed journal files to go')


def loaders(col):
    """The pids of the collector's loaders."""
    out = subprocess.run(['pgrep', '-P', str(col.proc.proc.pid), '-f', 'store-loader'], capture_output=True, text=True)
    return out.stdout.split()


def check_loader_killed(db, col):
    """The loader killed while the collector runs: the collector starts
    another, which stores what came meanwhile."""
    wait_for(lambda: len(loaders(col)) == 1, "the collector's loader")
    first = loaders(col)
    subprocess.run(['kill', '-KILL'] + first)
    col.send('RESTARTED', [(DAY_FILE, i) for i in range(5)])
    wait_for(lambda: stored(db, 'RESTARTED') == list(range(5)), 'the records after the loader was killed', 60)
    check(loaders(col) not in ([], first), 'the loader after a kill: %r (killed %r)' % (loaders(col), first))


def check_disk_full(db, col, fs):
    """The store's disk full while records come, then space freed."""
    filler = os.path.join(fs, 'filler')
    seen = len(col.loader_log())
    with open(filler, 'wb') as f:
        try:
            while True:
                f.write(b'\0' * (1 << 20))
                f.flush()
        except OSError as e:
            check(e.errno == errno.ENOSPC, 'filling the disk: %s' % e)
    yesterday = (TODAY - datetime.timedelta(days=1)).strftime('Log_%Y_%m_%d.log')
    col.send('FULL', [(yesterday, i) for i in range(40)])
    wait_for(lambda: 'No space left' in col.loader_log()[seen:], 'the loader to meet the full disk', 60)
    check(stored(db, 'FULL') == [], 'stored while full: %r' % stored(db, 'FULL'))
    os.remove(filler)
    if not wait_for(lambda: len(stored(db, 'FULL')) >= 40, 'the records of the full disk to be stored', 60):
        print(col.loader_log()[seen:][-2000:])
    check(stored(db, 'FULL') == list(range(40)), 'records of the full disk: %r' % stored(db, 'FULL'))


def check_flood(db, col, host, days, what):
    """A record for each of the days (1,500), stored, costing no partition."""
    count = "select count(*) as n from pg_inherits where inhparent = 'vardel.records'::regclass"
    before = db.query(count)[0]['n']
    col.send(host, [(d.strftime('Log_%Y_%m_%d.log'), 0) for d in days])
    wait_for(lambda: len(stored(db, host)) >= len(days), 'the %s to be stored' % what, 120)
    check(len(stored(db, host)) == len(days), '%s stored: %d' % (what, len(stored(db, host))))
    check(db.query(count)[0]['n'] == before, 'partitions: %d before the %s, %d after' % (before, what, db.query(count)[0]['n']))


def check_past_days(db, col):
    """1,500 records, one per day older than the kept days, cost no
    partition and go with the next retention run; a day's records kept
    apart so move into its partition once raised kept days cover it."""
    check_flood(db, col, 'PAST', PAST, 'past days')
    check(db.query("select distinct file_day from vardel.records where host = 'PAST' and file_day = '%s'" % PAST[7])
          == [{'file_day': str(PAST[7])}], 'a past record keeps its own file day')
    day = TODAY - datetime.timedelta(days=120)
    name = day.strftime('Log_%Y_%m_%d.log')
    col.send('RAISED', [(name, 0)])
    wait_for(lambda: stored(db, 'RAISED') == [0], 'a record of a day past the kept days', 60)
    first = db.query("select id from vardel.records where host = 'RAISED'")
    db.psql('update vardel.settings set keep_days = 200')
    try:
        col.send('RAISED', [(name, 1)])
        wait_for(lambda: stored(db, 'RAISED') == [0, 1], "a second record of that day, now kept", 60)
        rows = db.query("select tableoid::regclass::text as part, id, file_offset from vardel.records "
                        "where host = 'RAISED' order by file_offset")
        check([r['part'] for r in rows] == ['vardel.records_' + day.strftime('%Y%m%d')] * 2
              and rows[0]['id'] == first[0]['id'], 'raised kept days: %r (first id %r)' % (rows, first))
    finally:
        db.psql('update vardel.settings set keep_days = 90')
    ok, out, err = db.psql('select vardel.expire()')
    check(ok, 'expire: %s' % err)
    left = db.query("select host, count(*) as n from vardel.records where host in ('PAST', 'RAISED') group by host")
    check(left == [], 'left after the retention run: %r' % left)


def check_access(db):
    """Only the store's own users connect: another local user (nobody)
    cannot, as any role, over the socket (with its folder opened to all,
    too) or over TCP."""
    socket_dir = os.path.join(db.folder, 'socket')
    for role in ('postgres', 'vardel_collector', 'vardel_reader'):
        ok, out, err = db.psql('select current_user', role)
        check(ok and out == role, 'the operator as %s: %s' % (role, err))
        for where in (None, '127.0.0.1'):
            ok, _, err = db.psql('select 1', role, as_user='nobody', host=where)
            check(not ok, 'nobody connected as %s over %s' % (role, where or 'the socket'))
    mode = os.stat(socket_dir).st_mode & 0o777
    os.chmod(socket_dir, 0o755)
    try:
        for role in ('postgres', 'vardel_collector', 'vardel_reader'):
            ok, _, err = db.psql('select 1', role, as_user='nobody')
            check(not ok and 'authentication failed' in err,
                  'nobody as %s with the socket folder open: %s' % (role, err or 'connected'))
    finally:
        os.chmod(socket_dir, mode)


def main():
    with tempfile.TemporaryDirectory(prefix='vardel-intake.') as work:
        os.chmod(work, 0o755)
        fs = os.path.join(work, 'fs')
        os.mkdir(fs)
        mounted = os.geteuid() == 0 and subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=300m,mode=755', 'tmpfs', fs],
                                                       capture_output=True).returncode == 0
        if not mounted:
            print('note: the disk-full case is left out: mounting a tmpfs of its own needs root')
        db = st.Cluster(os.path.join(fs, 'pg'))
        col = None
        try:
            db.run('start')
            db.run('schema')
            check_access(db)
            check_cases(db, work)
            check_two_sessions(db)
            check_journal_files(db, work)
            check_two_loaders(db, work)
            check_clock_changes(db, work)
            col = Collector(work, db)
            check_refused(db, col)
            check_loader_killed(db, col)
            if mounted:
                check_disk_full(db, col, fs)
            check_flood(db, col, 'FLOOD', FAR, 'far days')
            check_past_days(db, col)
        except RuntimeError as e:
            check(False, str(e))
        finally:
            if col:
                col.stop()
            subprocess.run(['bash', st.CLUSTER_SH, 'stop', db.folder])
            if mounted:
                subprocess.run(['umount', '-l', fs])
            if ct.failures and os.environ.get('VARDEL_KEEP_WORK'):
                subprocess.run(['cp', '-r', work, os.environ['VARDEL_KEEP_WORK']])
    print('%d checks failed' % len(ct.failures) if ct.failures else 'the store took every record once, through every fault')
    return 1 if ct.failures else 0


if __name__ == '__main__':
    sys.exit(main())
