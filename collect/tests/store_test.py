#!/usr/bin/env python3
"""The store fed through the real rsyslog pipeline: the day files that the
events tests left and one of this test's own go edge -> collector ->
ompgsql -> a private PostgreSQL cluster, with PostgreSQL away, the collector
stopped with records still queued for it, and both started again. Checks
every record once with the fields the same run's JSON file has, the roles,
the schema applied twice and the retention.

    store_test.py EVENTS_FOLDER ZONE_FOLDER...

Exits 77 when rsyslogd or PostgreSQL cannot start.
"""
import collections
import datetime
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import collect_test as ct  # noqa: E402
from collect_test import check, wait_for  # noqa: E402

CONF = ct.CONF
CLUSTER_SH = os.path.join(CONF, 'store', 'cluster.sh')
PGBIN = os.environ.get('VARDEL_PG_BIN', '/usr/lib/postgresql/15/bin')
PC = ct.PC
TIME = 'Mon Dec 08 02:03:55 PM GMT Standard Time'
# Sources that SQL quoting, JSON and the line parsing could each get wrong.
AWKWARD = ["it's", 'back\\slash \\\\ \\n', "' OR 1=1 --", "'); drop table vardel.records; --",
           '"quoted", with, commas', 'two\nlines\nand\tab', "caf\u00e9 100% \u20ac", "\\'", '']


class Cluster:
    def __init__(self, folder):
        self.folder = folder

    def run(self, verb):
        r = subprocess.run(['bash', CLUSTER_SH, verb, self.folder], capture_output=True, text=True)
        if r.returncode == 77:
            print('SKIPPED: PostgreSQL cannot start here:', r.stderr)
            sys.exit(77)
        if r.returncode != 0:
            raise RuntimeError('cluster.sh %s: %s' % (verb, r.stderr))
        return dict(line.split('=', 1) for line in r.stdout.split())

    def psql(self, sql, role='postgres'):
        """(ok, output, error) of one statement as the role."""
        r = subprocess.run([os.path.join(PGBIN, 'psql'), '-X', '-At', '-v', 'ON_ERROR_STOP=1',
                            '-h', os.path.join(self.folder, 'socket'), '-p', self.port, '-U', role,
                            '-d', 'vardel', '-c', sql], capture_output=True, text=True)
        return r.returncode == 0, r.stdout.strip(), r.stderr.strip()

    def query(self, sql):
        ok, out, err = self.psql('select coalesce(json_agg(q), \'[]\') from (%s) q' % sql)
        if not ok:
            raise RuntimeError(err)
        return json.loads(out)

    @property
    def port(self):
        return open(os.path.join(self.folder, 'port')).read().strip()


def record(time, source, message, type_='ERROR', level='RELEASE'):
    """A day-file record as the server writes it (cp1252, CR LF) and its fields."""
    line = '%s,%s,%s,%s,"%s"\r\n' % (time, type_, level, source.replace('\n', '\r\n'), message)
    return line.encode('cp1252'), dict(time=time, type=type_, level=level, source=source, message=message)


def own_file(n):
    recs = [record(TIME, s, 'awkward %d' % i) for i, s in enumerate(AWKWARD)]
    recs += [record(TIME, 'bulk %d' % i, 'message %d' % i, 'INFORMATION', 'DEBUG') for i in range(n)]
    return b''.join(r[0] for r in recs), [r[1] for r in recs]


# The row's fields named as the JSON lines name them.
ROW = ("select host, file, time_text as time, type, level, source, message, raw, file_offset as offset,"
       " nullif(piece, 0) as piece, pieces from vardel.records")


def strip(d):
    return {k: v for k, v in d.items() if v is not None}


def json_lines(path):
    return [json.loads(line) for line in open(path, 'rb').read().splitlines()]


def key(d):
    return json.dumps(d, sort_keys=True)


def run_pipeline(work, zones, db):
    folder, out = os.path.join(work, 'logs'), os.path.join(work, 'collect.json')
    os.mkdir(folder)
    relp, tcp, escaped, tail = ct.free_ports(4)
    env = dict(os.environ, VARDEL_CONF_DIR=CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
               VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped), VARDEL_TAIL_PORT=str(tail),
               VARDEL_COLLECT_DIR=os.path.join(work, 'central'), VARDEL_COLLECT_OUT=out,
               VARDEL_EDGE_DIR=os.path.join(work, 'edge'), VARDEL_LOG_FOLDER=folder,
               VARDEL_COLLECTOR='127.0.0.1', VARDEL_PC_NAME=PC,
               VARDEL_STORE_CONF=os.path.join(CONF, 'store', 'pgsql.conf'),
               VARDEL_STORE_SERVER=os.path.join(db.folder, 'socket'), VARDEL_STORE_PORT=db.port,
               VARDEL_STORE_DB='vardel', VARDEL_STORE_USER='vardel_collector', VARDEL_STORE_PASS='')
    os.mkdir(env['VARDEL_COLLECT_DIR'])
    os.mkdir(env['VARDEL_EDGE_DIR'])
    want = {}
    for i, (data, expected) in enumerate(zones):
        name = 'Log_2006_01_%02d.log' % (i + 1)
        open(os.path.join(folder, name), 'wb').write(data)
        want[name] = ct.parsed(expected)

    def missing():
        """How many of the records wanted so far the store lacks (none while it is away)."""
        try:
            rows = db.query(ROW)
        except RuntimeError:
            return -1
        got = collections.Counter(key(as_wanted(strip(r))) for r in rows)
        need = collections.Counter(key(dict(w, file=f)) for f, ws in want.items() for w in ws)
        return sum((need - got).values())
    total = lambda: sum(len(w) for w in want.values())  # noqa: E731
    central = ct.Rsyslogd(os.path.join(CONF, 'central.conf'), env, os.path.join(work, 'central.log'))
    edge = ct.Rsyslogd(os.path.join(CONF, 'edge.conf'), env, os.path.join(work, 'edge.log'))
    try:
        wait_for(lambda: missing() == 0, 'the zone files in the store')
        # PostgreSQL goes away: the collector keeps what comes for it in its
        # queue until it is back.
        db.run('stop')
        data, expected = own_file(400)
        half = data.index(b'bulk 200,')
        half = data.rindex(b'\r\n' + TIME.encode(), 0, half) + 2
        name = 'Log_2006_05_01.log'
        open(os.path.join(folder, name), 'ab').write(data[:half])
        wait_for(lambda: ct.line_count(out) >= total() + len(AWKWARD) + 200,
                 'the collector to take the records while PostgreSQL is away')
        db.run('start')
        want[name] = ct.parsed(expected)[:len(AWKWARD) + 200]
        wait_for(lambda: missing() == 0, 'the records kept while PostgreSQL was away')
        # The collector goes away; the rest comes while it is away (the edge
        # keeps it), and PostgreSQL restarts as it comes back.
        central.stop()
        open(os.path.join(folder, name), 'ab').write(data[half:])
        want[name] = ct.parsed(expected)
        central = ct.Rsyslogd(os.path.join(CONF, 'central.conf'), env, os.path.join(work, 'central2.log'))
        db.run('stop')
        db.run('start')
        wait_for(lambda: missing() == 0, 'every record in the store')
        wait_for(lambda: ct.line_count(out) >= total(), 'every record in the JSON file')
    finally:
        edge.stop()
        central.stop()
    return want, out


def as_wanted(row):
    """A row's record as the day file has it: without its place in the file."""
    return {k: v for k, v in row.items() if k not in ('offset', 'piece', 'pieces')}


def check_records(db, want, out):
    rows = [strip(r) for r in db.query(ROW)]
    lines = json_lines(out)
    # Every record, as the day files hold it; once where the collector
    # gives its offset (a record without one that RELP sent again is
    # stored as it came, and is counted here).
    offsets = any('offset' in r for r in lines)
    got = collections.Counter(key(as_wanted(r)) for r in rows)
    need = collections.Counter(key(dict(w, file=f)) for f, ws in want.items() for w in ws)
    lost, extra = need - got, got - need
    check(not lost, 'store: %d records lost: %s' % (sum(lost.values()), list(lost)[:2]))
    check(not extra or not offsets, 'store: %d records stored twice: %s' % (sum(extra.values()), list(extra)[:2]))
    if extra and not offsets:
        print('note: %d records without an offset came twice and are stored twice' % sum(extra.values()))
    # Each row's fields are those of a line of the JSON file, and the other
    # way round.
    check(set(map(key, rows)) == set(map(key, lines)),
          'store and JSON file differ: %s' % list(set(map(key, rows)) ^ set(map(key, lines)))[:3])
    # An instant, or why there is none.
    odd = db.query('select id, time_text, utc, unknown from vardel.records where (utc is null) = (unknown is null)')
    check(not odd, 'rows with both or neither of utc and unknown: %r' % odd[:3])
    hosts = db.query('select host from vardel.hosts')
    check(hosts == [{'host': PC}], 'hosts: %r' % hosts)
    # The partitions are the file days'.
    parts = db.query("select relname from pg_class where relname ~ '^records_[0-9]{8}$' order by 1")
    check([p['relname'] for p in parts] == ['records_' + n[4:14].replace('_', '') for n in sorted(want)],
          'partitions: %r' % parts)


# A host name past what an index entry holds (random, so that it does not compress).
LONG_HOST_LINE = json.dumps(dict(host='HHH' + os.urandom(4500).hex(), file='-', offset=1, raw='x'))


def check_ingest(db):
    """The key: a record delivered twice is stored once, unless it has no offset."""
    def line(offset=None, piece=None, source='s'):
        d = dict(host='KEYTEST', file='Log_2006_06_01.log', time=TIME, type='ERROR', level='RELEASE',
                 source=source, message='m')
        if offset is not None:
            d['offset'] = offset
        if piece is not None:
            d.update(piece=piece, pieces=2, raw='x')
        return json.dumps(d).replace("'", "''")
    cases = [  # (what, lines sent in turn, rows stored by each)
        ('same offset twice', [line(10), line(10)], [1, 0]),
        ('same offset, other source (a resend wins nothing)', [line(20), line(20, source='t')], [1, 0]),
        ('no offset twice', [line(), line()], [1, 1]),
        ('pieces of one offset', [line(30, 1) + '\n' + line(30, 2), line(30, 2)], [2, 0]),
        ('not JSON', ['{"host": "KEYTEST", broken'], [1]),
        ('offset that is not a number', [line('12')], [1]),
        ('host too long for an index, twice', [LONG_HOST_LINE] * 2, [1, 0]),
    ]
    for what, sent, counts in cases:
        got = [int(db.psql("select vardel.ingest('%s', now())" % s, 'vardel_collector')[1] or -1) for s in sent]
        check(got == counts, 'ingest, %s: stored %r, expected %r' % (what, got, counts))
    raw = db.query("select raw, unknown from vardel.records where host = '-'")
    check(raw == [{'raw': '{"host": "KEYTEST", broken', 'unknown': 'not a JSON record'}], 'not JSON: %r' % raw)
    long_ = db.query("select length(host) as host, length(raw) as raw, unknown like 'not stored as sent: %' as why"
                     " from vardel.records where host like 'HHH%'")
    check(long_ == [{'host': 200, 'raw': len(LONG_HOST_LINE), 'why': True}], 'host too long: %r' % long_)
    db.psql("delete from vardel.records where host in ('KEYTEST', '-') or host like 'HHH%';"
            " delete from vardel.hosts where host in ('KEYTEST', '-') or host like 'HHH%'")


def check_roles(db):
    cases = [  # (role, statement, allowed)
        ('vardel_collector', "select vardel.ingest('', now())", True),
        ('vardel_collector', 'select count(*) from vardel.records', False),
        ('vardel_collector', 'select count(*) from vardel.hosts', False),
        ('vardel_collector', "update vardel.records set message = 'x'", False),
        ('vardel_collector', 'delete from vardel.records', False),
        ('vardel_collector', "insert into vardel.records (host, file, file_day, received) values ('x', 'x', '2006-01-01', now())", False),
        ('vardel_collector', 'select vardel.expire()', False),
        ('vardel_collector', 'truncate vardel.records', False),
        ('vardel_reader', 'select count(*) from vardel.records', True),
        ('vardel_reader', 'select count(*) from vardel.hosts', True),
        ('vardel_reader', "select vardel.ingest('{}', now())", False),
        ('vardel_reader', "insert into vardel.records (host, file, file_day, received) values ('x', 'x', '2006-01-01', now())", False),
        ('vardel_reader', 'delete from vardel.records', False),
        ('vardel_reader', 'select vardel.expire()', False),
    ]
    for role, sql, allowed in cases:
        ok, _, err = db.psql(sql, role)
        check(ok == allowed, '%s: %s %s (%s)' % (role, sql, 'refused' if allowed else 'allowed', err))


def check_retention(db):
    """Keeping N days drops whole partitions; a new day's partition runs it."""
    today = datetime.datetime.now(datetime.timezone.utc).date()
    name = lambda d, f: (today - datetime.timedelta(d)).strftime(f)  # noqa: E731
    parts = lambda: {p['relname'] for p in db.query("select relname from pg_class where relname ~ '^records_[0-9]{8}$'")}  # noqa: E731
    db.psql('update vardel.settings set keep_days = 3')
    # Days already outside the window are stored, until the next run.
    for d in (40, 3):
        db.psql("select vardel.ingest('%s', now())" % json.dumps(dict(host='RET', file=name(d, 'Log_%Y_%m_%d.log'), raw='r')))
    check({name(40, 'records_%Y%m%d'), name(3, 'records_%Y%m%d')} <= parts(), 'days outside the window are stored')
    # The first record of a day within it runs the retention: today and
    # the two days before stay.
    db.psql("select vardel.ingest('%s', now())" % json.dumps(dict(host='RET', file=name(2, 'Log_%Y_%m_%d.log'), raw='r')))
    kept = parts()
    check(name(2, 'records_%Y%m%d') in kept and min(kept) == name(2, 'records_%Y%m%d'),
          'retention kept %r' % sorted(kept))
    left = db.query("select file from vardel.records")
    check(left == [{'file': name(2, 'Log_%Y_%m_%d.log')}], 'rows kept: %r' % left)
    db.psql('update vardel.settings set keep_days = 90')


def main():
    zones = ct.zone_files(sys.argv)
    if zones is None:
        return 77
    # Short (a socket's path is short) and open to the server's own account.
    with tempfile.TemporaryDirectory(prefix='vardel-store.') as work:
        os.chmod(work, 0o755)
        db = Cluster(os.path.join(work, 'pg'))
        try:
            db.run('start')
            db.run('schema')
            want, out = run_pipeline(work, zones, db)
            check_records(db, want, out)
            db.run('schema')  # again, over the rows
            check_records(db, want, out)
            check_ingest(db)
            check_roles(db)
            check_retention(db)
        finally:
            subprocess.run(['bash', CLUSTER_SH, 'stop', db.folder])
    print('%d checks failed' % len(ct.failures) if ct.failures else 'every record stored, with the fields the JSON file has')
    return 1 if ct.failures else 0


if __name__ == '__main__':
    sys.exit(main())
