#!/usr/bin/env python3
"""The store's intake: the loader over a journal written here as the
collector writes it, and take_batch spoken to directly: records that
cannot be stored as sent among others, the whole record over a partial
one, re-deliveries, far days, instants around clock changes, the journal's
files in order, two loaders and two sessions at once, each ending with
every record stored once. (Faults of the whole store with records coming
through a real collector: store_faults_test.py.)

    store_intake_test.py

Exits 1 on any failure.
"""
import datetime
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


def stored(db, host):
    """The offsets stored for the host, each as many times as stored."""
    return sorted(r['file_offset'] for r in db.query("select file_offset from vardel.records where host = '%s'" % host))


def run_on_cluster(db, work, checks, passed, cleanup=(), after=()):
    """Starts db's cluster with the schema and runs the checks (a
    RuntimeError counts as a failed check); then the cleanup, the cluster's
    stop and what comes after. The exit code."""
    try:
        db.run('start')
        db.run('schema')
        for c in checks:
            c()
    except RuntimeError as e:
        check(False, str(e))
    finally:
        for c in cleanup:
            c()
        subprocess.run(['bash', st.CLUSTER_SH, 'stop', db.folder])
        for c in after:
            c()
        if ct.failures and os.environ.get('VARDEL_KEEP_WORK'):
            subprocess.run(['cp', '-r', work, os.environ['VARDEL_KEEP_WORK']])
    print('%d checks failed' % len(ct.failures) if ct.failures else passed)
    return 1 if ct.failures else 0


def main():
    with tempfile.TemporaryDirectory(prefix='vardel-intake.') as work:
        os.chmod(work, 0o755)
        db = st.Cluster(os.path.join(work, 'pg'))
        return run_on_cluster(db, work, [lambda: check_cases(db, work), lambda: check_two_sessions(db),
                                         lambda: check_journal_files(db, work), lambda: check_two_loaders(db, work),
                                         lambda: check_clock_changes(db, work)],
                              'the loader stored every record once, in every case')


if __name__ == '__main__':
    sys.exit(main())
