#!/usr/bin/env python3
"""The store fed through the real rsyslog pipeline: the day files that the
events tests left and one of this test's own go edge -> collector -> loader
-> a private PostgreSQL cluster, with PostgreSQL away, the collector
stopped while the edge holds records for it, and both started again. Checks
every record once with the fields the same run's JSON file has (as
multisets), each instant against Python's zoneinfo, the batch intake's
cases through the loader itself, the roles, who may connect, the schema
applied twice and the retention.

    store_test.py EVENTS_FOLDER ZONE_FOLDER...

Exits 77 only where the events tests left no day files; a cluster script
or a collector that fails is a failure naming the cause.
"""
import collections
import datetime
import json
import os
import subprocess
import sys
import tempfile
import zoneinfo

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import collect_test as ct  # noqa: E402
from collect_test import check, wait_for  # noqa: E402

CONF = ct.CONF
CLUSTER_SH = os.path.join(CONF, 'store', 'cluster.sh')
PGBIN = os.environ.get('VARDEL_PG_BIN', '/usr/lib/postgresql/15/bin')
PC = ct.PC
# 2006-12-08 was a Friday: 14:03:55 UTC (London keeps GMT in December).
TIME = 'Fri Dec 08 02:03:55 PM GMT Standard Time'
OWN_FILE = 'Log_2006_12_08.log'
# The events tests' records are of 2 January and 4 July 2006: day files
# named early in April put both in 2006, so every instant is decidable
# where the zone name decides it.
ZONE_FILE = 'Log_2006_04_%02d.log'
UTC = datetime.timezone.utc
# Sources that SQL quoting, JSON and the line parsing could each get wrong.
AWKWARD = ["it's", 'back\\slash \\\\ \\n', "' OR 1=1 --", "'); drop table vardel.records; --",
           '"quoted", with, commas', 'two\nlines\nand\tab', "caf\u00e9 100% \u20ac", "\\'", '']


class Cluster:
    def __init__(self, folder):
        self.folder = folder

    def run(self, verb):
        """cluster.sh VERB; its failure (PostgreSQL that cannot start
        included) is this test's failure, with the script's reason."""
        r = subprocess.run(['bash', CLUSTER_SH, verb, self.folder], capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError('cluster.sh %s exited %d: %s' % (verb, r.returncode, r.stderr.strip()))
        return dict(line.split('=', 1) for line in r.stdout.split())

    def psql(self, sql, role='postgres', as_user=None, host=None):
        """(ok, output, error) of one statement as the role (from the system
        user as_user, over host: the socket folder unless given)."""
        cmd = [os.path.join(PGBIN, 'psql'), '-X', '-w', '-At', '-v', 'ON_ERROR_STOP=1',
               '-h', host or os.path.join(self.folder, 'socket'), '-p', self.port, '-U', role, '-d', 'vardel', '-c', sql]
        if as_user:
            cmd = ['runuser', '-u', as_user, '--'] + cmd
        r = subprocess.run(cmd, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        return r.returncode == 0, r.stdout.strip(), r.stderr.strip()

    def env(self):
        """The loader's settings for this cluster, as the collector's role."""
        return dict(os.environ, VARDEL_STORE_SERVER=os.path.join(self.folder, 'socket'), VARDEL_STORE_PORT=self.port,
                    VARDEL_STORE_DB='vardel', VARDEL_STORE_USER='vardel_collector')

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


# The Windows zones whose names, as the writer cuts them (19 characters),
# the test's records carry, with the IANA zone of each Windows zone whose
# name begins so and whether the name is the daylight one. Written from
# Windows' zone list, apart from the store's table.
WINDOWS_ZONES = {
    'GMT Standard Time': [('Europe/London', False)],
    'GMT Daylight Time': [('Europe/London', True)],
    'Eastern Standard Ti': [('America/New_York', False), ('America/Cancun', False)],  # and "... (Mexico)"
    'Eastern Daylight Ti': [('America/New_York', True), ('America/Cancun', True)],
}
MONTHS = 'Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec'.split()


def model_instant(text, file_name):
    """The record's UTC instant by zoneinfo, or None where its text does
    not decide it: the year nearest the file's day whose date has the
    text's weekday, and every zone the name may mean agreeing."""
    day = datetime.date(int(file_name[4:8]), int(file_name[9:11]), int(file_name[12:14]))
    month, dom = MONTHS.index(text[4:7]) + 1, int(text[8:10])
    dates = []
    for y in (day.year - 1, day.year, day.year + 1):
        try:
            dates.append(datetime.date(y, month, dom))
        except ValueError:
            pass
    date = min(dates, key=lambda d: abs((d - day).days))
    if date.strftime('%a') != text[:3]:
        return None
    hour = int(text[11:13]) % 12 + (12 if text[20:22] == 'PM' else 0)
    local = datetime.datetime.combine(date, datetime.time(hour, int(text[14:16]), int(text[17:19])))
    found = set()
    for iana, daylight in WINDOWS_ZONES[text[23:]]:
        zone, instant = zoneinfo.ZoneInfo(iana), None
        for fold in (0, 1):
            t = local.replace(tzinfo=zone, fold=fold)
            back = t.astimezone(UTC).astimezone(zone).replace(tzinfo=None)
            if back == local and bool(t.dst()) == daylight:
                instant = t.astimezone(UTC)
        found.add(instant)
    return found.pop() if len(found) == 1 else None


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
    relp, tcp, escaped = ct.free_ports(3)
    env = dict(os.environ, VARDEL_CONF_DIR=CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
               VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped),
               VARDEL_COLLECT_DIR=os.path.join(work, 'central'), VARDEL_COLLECT_OUT=out,
               VARDEL_EDGE_DIR=os.path.join(work, 'edge'), VARDEL_LOG_FOLDER=folder,
               VARDEL_COLLECTOR='127.0.0.1', VARDEL_PC_NAME=PC,
               VARDEL_STORE_CONF=os.path.join(CONF, 'store', 'pgsql.conf'),
               VARDEL_STORE_SERVER=os.path.join(db.folder, 'socket'), VARDEL_STORE_PORT=db.port,
               VARDEL_STORE_DB='vardel', VARDEL_STORE_USER='vardel_collector')
    os.mkdir(env['VARDEL_COLLECT_DIR'])
    os.mkdir(env['VARDEL_EDGE_DIR'])
    # The test waits until the edge holds the records for an absent collector.
    stats = os.path.join(work, 'edge-stats.json')
    edge_conf, enqueued = ct.edge_with_counters(work, stats)
    want = {}
    for i, (data, expected) in enumerate(zones):
        name = ZONE_FILE % (i + 1)
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
    edge = ct.Rsyslogd(edge_conf, env, os.path.join(work, 'edge.log'))
    try:
        wait_for(lambda: missing() == 0, 'the zone files in the store')
        # PostgreSQL goes away: the collector keeps what comes for it in its
        # queue until it is back.
        db.run('stop')
        data, expected = own_file(400)
        half = data.index(b'bulk 200,')
        half = data.rindex(b'\r\n' + TIME.encode(), 0, half) + 2
        name = OWN_FILE
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
        wait_for(lambda: enqueued() >= total(), 'the edge to hold the records while the collector is away')
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
    got = collections.Counter(key(as_wanted(r)) for r in rows)
    need = collections.Counter(key(dict(w, file=f)) for f, ws in want.items() for w in ws)
    lost, extra = need - got, got - need
    check(not lost, 'store: %d records lost: %s' % (sum(lost.values()), list(lost)[:2]))
    check(not extra, 'store: %d records stored twice: %s' % (sum(extra.values()), list(extra)[:2]))
    # Each row's fields are those of a line of the JSON file, and the other
    # way round, as many times each.
    in_store, in_file = collections.Counter(map(key, rows)), collections.Counter(map(key, lines))
    check(in_store == in_file, 'store and JSON file differ: store only %s, file only %s'
          % (list((in_store - in_file).items())[:2], list((in_file - in_store).items())[:2]))
    # Each instant as zoneinfo has it, or none where the text does not
    # decide it, and then the reason.
    for r in db.query('select file, time_text, utc, unknown from vardel.records'):
        want_utc = model_instant(r['time_text'], r['file'])
        got_utc = r['utc'] and datetime.datetime.fromisoformat(r['utc']).astimezone(UTC)
        check(got_utc == want_utc and (r['unknown'] is None) == (want_utc is not None),
              'instant of %r in %s: %s (%s), zoneinfo: %s' % (r['time_text'], r['file'], got_utc, r['unknown'], want_utc))
    hosts = db.query('select host from vardel.hosts')
    check(hosts == [{'host': PC}], 'hosts: %r' % hosts)
    # Each file's records are in its day's partition where the day is
    # kept (90 days, to today by UTC), else in the one for older days.
    first_kept = datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=89)
    day = lambda n: datetime.date(int(n[4:8]), int(n[9:11]), int(n[12:14]))  # noqa: E731
    kept = sorted('records_' + n[4:14].replace('_', '') for n in want if day(n) >= first_kept)
    parts = db.query("select relname from pg_class where relname ~ '^records_[0-9]{8}$' order by 1")
    check([p['relname'] for p in parts] == kept, 'partitions: %r, kept days %r' % (parts, kept))
    homes = {r['file']: r['part'] for r in db.query("select distinct file, tableoid::regclass::text as part from vardel.records")}
    check(homes == {n: 'vardel.' + ('records_' + n[4:14].replace('_', '') if day(n) >= first_kept else 'records_past')
                    for n in want}, 'where the files\' records are: %r' % homes)


def check_roles(db):
    cases = [  # (role, statement, allowed)
        ('vardel_collector', 'select vardel.open_batch(); select vardel.take_batch()', True),
        ('vardel_collector', "select vardel.ingest('', now())", False),
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
        ('vardel_reader', 'select vardel.open_batch(); select vardel.take_batch()', False),
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
    # Days already outside the window are stored, with no partition of
    # their own, until the next run.
    for d in (40, 3):
        db.psql("select vardel.ingest('%s', now())" % json.dumps(dict(host='RET', file=name(d, 'Log_%Y_%m_%d.log'), raw='r')))
    # A host last heard of 40 days ago, with its only record of then.
    db.psql("select vardel.ingest('%s', now() - interval '40 days')"
            % json.dumps(dict(host='GONE', file=name(40, 'Log_%Y_%m_%d.log'), raw='r')))
    apart = db.query("select count(*) as n from vardel.records_past where host in ('RET', 'GONE')")[0]['n']
    check(apart == 3 and not {name(40, 'records_%Y%m%d'), name(3, 'records_%Y%m%d')} & parts(),
          'days outside the window: %d stored apart, partitions %r' % (apart, sorted(parts())))
    # The first record of a day within it runs the retention: today and
    # the two days before stay.
    db.psql("select vardel.ingest('%s', now())" % json.dumps(dict(host='RET', file=name(2, 'Log_%Y_%m_%d.log'), raw='r')))
    kept = parts()
    check(name(2, 'records_%Y%m%d') in kept and min(kept) == name(2, 'records_%Y%m%d'),
          'retention kept %r' % sorted(kept))
    left = db.query("select file from vardel.records")
    check(left == [{'file': name(2, 'Log_%Y_%m_%d.log')}], 'rows kept: %r' % left)
    # The host with no record left is off the overview's list.
    hosts = {h['host'] for h in db.query('select host from vardel.hosts')}
    check('GONE' not in hosts and 'RET' in hosts, 'hosts after the retention: %r' % sorted(hosts))
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
            check_roles(db)
            check_retention(db)
        except RuntimeError as e:
            check(False, str(e))
        finally:
            subprocess.run(['bash', CLUSTER_SH, 'stop', db.folder])
    print('%d checks failed' % len(ct.failures) if ct.failures else 'every record stored, with the fields the JSON file has')
    return 1 if ct.failures else 0


if __name__ == '__main__':
    sys.exit(main())
