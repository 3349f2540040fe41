#!/usr/bin/env python3
"""Checks vardel.record_instant and vardel.file_day in a private PostgreSQL
cluster (started here, stopped at the end whatever happens) with the schema
files applied twice.

    zones_test.py [--bench]

The instants every zone of the table should give are worked out here with
Python's zoneinfo from CLDR's map, not from the table's own IANA column.
--bench prints the cost of a record's instant against a plain insert.
Exits 77 when PostgreSQL cannot start.
"""
import datetime as dt
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from zoneinfo import ZoneInfo

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(os.path.dirname(HERE), 'schema')
PG_BIN = '/usr/lib/postgresql/15/bin'
CLDR = '/usr/share/unicode/cldr/common/supplemental/windowsZones.xml'
UTC = dt.timezone.utc
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED:', what)


class Cluster:
    """A throw-away cluster on a Unix socket in its own folder, no TCP."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='vardel-zones-')
        self.data = os.path.join(self.dir, 'data')
        self.user = None
        if os.geteuid() == 0:  # initdb refuses root
            self.user = 'postgres'
            pw = pwd.getpwnam(self.user)
            os.chown(self.dir, pw.pw_uid, pw.pw_gid)
        self.started = False

    def run(self, args, **kw):
        if self.user:
            args = ['runuser', '-u', self.user, '--'] + args
        return subprocess.run(args, capture_output=True, text=True, **kw)

    def start(self):
        r = self.run([PG_BIN + '/initdb', '-D', self.data, '-A', 'trust', '-U', 'postgres',
                      '-E', 'UTF8', '--locale=C', '--no-sync'], timeout=120)
        if r.returncode != 0:
            return 'initdb failed: ' + r.stderr.strip()
        opts = "-c listen_addresses='' -k %s -p 5432 -c fsync=off" % self.dir
        r = self.run([PG_BIN + '/pg_ctl', '-D', self.data, '-o', opts, '-l',
                      os.path.join(self.dir, 'log'), '-w', '-t', '60', 'start'], timeout=90)
        if r.returncode != 0:
            return 'the server did not start: ' + r.stdout.strip() + r.stderr.strip()
        self.started = True
        return None

    def stop(self):
        if self.started:
            self.run([PG_BIN + '/pg_ctl', '-D', self.data, '-m', 'immediate', '-w', 'stop'], timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)

    def psql(self, sql=None, file=None, session_zone='Pacific/Chatham'):
        """Rows as lists of fields; an odd session zone, which nothing may follow."""
        args = ['psql', '-X', '-q', '-A', '-t', '-F', '\t', '-v', 'ON_ERROR_STOP=1',
                '-h', self.dir, '-p', '5432', '-U', 'postgres', '-d', 'postgres']
        args += ['-f', file] if file else ['-c', sql]
        r = subprocess.run(args, capture_output=True, text=True, timeout=300,
                           env=dict(os.environ, PGTZ=session_zone))
        if r.returncode != 0:
            raise RuntimeError('psql: %s' % r.stderr.strip())
        return [line.split('\t') for line in r.stdout.splitlines() if line]


def lit(v):
    return 'NULL' if v is None else "'" + v.replace("'", "''") + "'"


def instants(pg, cases, session_zone='Pacific/Chatham'):
    """(epoch seconds or None, reason) for each (time text, file, host)."""
    if not cases:
        return []
    values = ',\n'.join('(%d, %s, %s, %s)' % (i, lit(t), lit(f), lit(h)) for i, (t, f, h) in enumerate(cases))
    rows = pg.psql('SELECT i, extract(epoch FROM r.utc)::bigint, r.unknown FROM (VALUES %s) v(i, t, f, h), '
                   'LATERAL vardel.record_instant(t, f, h) r ORDER BY i' % values, session_zone=session_zone)
    return [(int(r[1]) if r[1] else None, r[2] or None) for r in rows]


def epoch(text):
    return int(dt.datetime.fromisoformat(text).timestamp())


def time_text(local, name):
    """The writer's text for an aware local time."""
    return local.strftime('%a %b %d %I:%M:%S %p ') + name[:19]


def day_file(local):
    return local.strftime('Log_%Y_%m_%d.log')


def check_every_zone(pg):
    """Each zone of the table, at a January and a July instant, under the name
    zoneinfo says is in force; a cut name must give the one instant that all
    the zones it matches agree on, or no instant."""
    cldr = {z.get('other'): z.get('type').split()[0]
            for z in ET.parse(CLDR).getroot().iter('mapZone') if z.get('territory') == '001'}
    names = {}
    for name, key, daylight in pg.psql('SELECT name, zone_key, daylight FROM vardel.zone_names'):
        names.setdefault(key, {})[daylight == 't'] = name
    check(len(names) > 100, 'the table holds %d zones' % len(names))

    def readings(text_name, local_naive):
        """Instants of a naive local time under every zone whose name begins
        with (or is) text_name, honouring standard/daylight."""
        found = set()
        for key, pair in names.items():
            for daylight, name in pair.items():
                if not (name == text_name or (len(text_name) == 19 and name.startswith(text_name))):
                    continue
                zone = ZoneInfo(cldr[key])
                ok = set()
                for fold in (0, 1):
                    aware = local_naive.replace(tzinfo=zone, fold=fold)
                    u = aware.astimezone(UTC)
                    back = u.astimezone(zone)
                    same_name = pair[True] == pair[False]
                    if back.replace(tzinfo=None) == local_naive and (same_name or bool(back.dst()) == daylight):
                        ok.add(int(u.timestamp()))
                found.add(frozenset(ok))
        return found

    cases, expected = [], []
    for key in sorted(names):
        for instant in (dt.datetime(2026, 1, 15, 12, tzinfo=UTC), dt.datetime(2026, 7, 15, 12, tzinfo=UTC)):
            local = instant.astimezone(ZoneInfo(cldr[key]))
            name = names[key][bool(local.dst())] if len(names[key]) == 2 else next(iter(names[key].values()))
            text = time_text(local, name)
            got = readings(text[23:], local.replace(tzinfo=None))
            agreed = len(got) == 1 and len(next(iter(got))) == 1
            cases.append((text, day_file(local), 'PC-1'))
            expected.append((key, int(instant.timestamp()) if agreed else None))
    results = instants(pg, cases)
    decided = 0
    for (text, _, _), (key, want), (utc, why) in zip(cases, expected, results):
        if want is None:
            check(utc is None and 'different offsets' in (why or ''),
                  '%s (%s): no instant for a cut name whose zones disagree, got %s %s' % (text, key, utc, why))
        else:
            decided += 1
            check((utc, why) == (want, None), '%s (%s): want %s, got %s %s' % (text, key, want, utc, why))
    check(decided > 250, 'only %d of %d zone readings decided' % (decided, len(cases)))
    # The same under another session zone, to the second.
    check(instants(pg, cases, session_zone='America/St_Johns') == results,
          'the results follow the session time zone')
    print('every zone: %d readings, %d with an instant' % (len(cases), decided))


Z = lambda s: epoch(s.replace('Z', '+00:00'))  # noqa: E731

# (time text, day file, host, the instant or None, what the reason must contain)
CASES = [
    # London's hour that 25 Oct 2026 repeats: the name tells which.
    ('Sun Oct 25 01:30:00 AM GMT Daylight Time', 'Log_2026_10_25.log', 'PC-1', Z('2026-10-25T00:30:00Z'), None),
    ('Sun Oct 25 01:30:00 AM GMT Standard Time', 'Log_2026_10_25.log', 'PC-1', Z('2026-10-25T01:30:00Z'), None),
    ('Sun Oct 25 12:59:59 AM GMT Daylight Time', 'Log_2026_10_25.log', 'PC-1', Z('2026-10-24T23:59:59Z'), None),
    ('Sun Oct 25 02:00:00 AM GMT Standard Time', 'Log_2026_10_25.log', 'PC-1', Z('2026-10-25T02:00:00Z'), None),
    # Southern hemisphere: January is daylight time.
    ('Thu Jan 15 11:00:00 PM AUS Eastern Dayligh', 'Log_2026_01_15.log', 'PC-1', Z('2026-01-15T12:00:00Z'), None),
    ('Wed Jul 15 10:00:00 PM AUS Eastern Standar', 'Log_2026_07_15.log', 'PC-1', Z('2026-07-15T12:00:00Z'), None),
    # New Year across the file's day, both ways; 12 AM is midnight, 12 PM noon.
    ('Thu Dec 31 11:59:00 PM GMT Standard Time', 'Log_2027_01_01.log', 'PC-1', Z('2026-12-31T23:59:00Z'), None),
    ('Fri Jan 01 12:30:00 AM GMT Standard Time', 'Log_2026_12_31.log', 'PC-1', Z('2027-01-01T00:30:00Z'), None),
    ('Mon Jan 05 12:03:55 PM GMT Standard Time', 'Log_2026_01_05.log', 'PC-1', Z('2026-01-05T12:03:55Z'), None),
    ('Tue Feb 29 10:00:00 AM GMT Standard Time', 'Log_2028_03_01.log', 'PC-1', Z('2028-02-29T10:00:00Z'), None),
    # Cut names: New York and Cancun agree in January; Denver and Chihuahua never do.
    ('Thu Jan 15 07:00:00 AM Eastern Standard Ti', 'Log_2026_01_15.log', 'PC-1', Z('2026-01-15T12:00:00Z'), None),
    ('Thu Jan 15 05:00:00 AM Mountain Standard T', 'Log_2026_01_15.log', 'PC-1', None,
     'cut name "Mountain Standard T" matches zones with different offsets on that date'),
    ('Wed Jul 15 07:00:00 AM Eastern Standard Ti', 'Log_2026_07_15.log', 'PC-1', None, 'different offsets'),
    # A name not cut by the writer counts only as itself.
    ('Thu Jan 15 12:00:00 PM Coordinated Universal Time', 'Log_2026_01_15.log', 'PC-1', Z('2026-01-15T12:00:00Z'), None),
    ('Thu Jan 15 12:00:00 PM Eastern Standard Time (Mexico)', 'Log_2026_01_15.log', 'PC-1',
     Z('2026-01-15T17:00:00Z'), None),
    # Host settings: a Spanish Windows, and one whose setting overrides the table.
    ('Thu Jan 15 01:00:00 PM Hora estándar roman', 'Log_2026_01_15.log', 'PC-ES', Z('2026-01-15T12:00:00Z'), None),
    ('Wed Jul 15 02:00:00 PM Hora de verano roman', 'Log_2026_07_15.log', 'PC-ES', Z('2026-07-15T12:00:00Z'), None),
    ('Sun Oct 25 02:30:00 AM Hora de verano roman', 'Log_2026_10_25.log', 'PC-ES', None, 'repeats (clock moved back)'),
    ('Sun Mar 29 02:30:00 AM Hora estándar roman', 'Log_2026_03_29.log', 'PC-ES', None, 'clock moved forward'),
    ('Sun Oct 25 02:30:00 AM Romance Daylight Time', 'Log_2026_10_25.log', 'PC-ES', Z('2026-10-25T00:30:00Z'), None),
    ('Thu Jan 15 07:00:00 AM GMT Standard Time', 'Log_2026_01_15.log', 'PC-NY', Z('2026-01-15T12:00:00Z'), None),
    ('Thu Jan 15 01:00:00 PM Hora estándar roman', 'Log_2026_01_15.log', 'PC-1', None,
     'unknown zone name "Hora estándar roman"'),
    # The seconds themselves.
    ('UNKNOWN_TIME 0', 'Log_2026_01_15.log', 'PC-1', 0, None),
    ('UNKNOWN_TIME 4294967295', 'not a day file', None, 4294967295, None),
    ('UNKNOWN_TIME 4294967296', 'Log_2026_01_15.log', 'PC-1', None, 'past 32 bits'),
    # No instant, and why.
    ('Tue Jan 05 02:03:55 PM GMT Standard Time', 'Log_2026_01_06.log', 'PC-1', None,
     "weekday Tue does not fit Jan 05 near the file's day 2026-01-06"),
    ('Mon Feb 30 10:00:00 AM GMT Standard Time', 'Log_2026_02_28.log', 'PC-1', None, 'no date Feb 30'),
    ('Sun Feb 29 10:00:00 AM GMT Standard Time', 'Log_2026_03_01.log', 'PC-1', None, 'no date Feb 29'),
    ('Sun Mar 29 01:30:00 AM GMT Standard Time', 'Log_2026_03_29.log', 'PC-1', None, 'clock moved forward'),
    ('Sun Mar 29 01:30:00 AM GMT Daylight Time', 'Log_2026_03_29.log', 'PC-1', None, 'clock moved forward'),
    ('Wed Jul 15 01:00:00 PM GMT Standard Time', 'Log_2026_07_15.log', 'PC-1', None, 'keeps daylight time'),
    ('Thu Jan 15 01:00:00 PM GMT Daylight Time', 'Log_2026_01_15.log', 'PC-1', None, 'keeps standard time'),
    ('Thu Jan 15 04:00:00 PM Arabian Daylight Time', 'Log_2026_01_15.log', 'PC-1', None, 'no daylight time'),
    ('Mon Jan 05 02:03:55 PM GMT Standard Time', 'Log_2026_13_05.log', 'PC-1', None, 'file name gives no day'),
    ('Mon Jan 05 02:03:55 PM GMT Standard Time', None, 'PC-1', None, 'file name gives no day'),
    ('Mon Jan 05 00:03:55 AM GMT Standard Time', 'Log_2026_01_05.log', 'PC-1', None, 'no such time of day'),
    ('Mon Jan 05 02:60:55 PM GMT Standard Time', 'Log_2026_01_05.log', 'PC-1', None, 'no such time of day'),
    ('Mon Jan 05 02:03:55 PM ', 'Log_2026_01_05.log', 'PC-1', None, 'not a time text'),
    ('Mon Jan 5 02:03:55 PM GMT Standard Time', 'Log_2026_01_05.log', 'PC-1', None, 'not a time text'),
    ('Mun Jan 05 02:03:55 PM GMT Standard Time', 'Log_2026_01_05.log', 'PC-1', None, 'not a time text'),
    ('UNKNOWN_TIME -1', 'Log_2026_01_05.log', 'PC-1', None, 'not a time text'),
    ('', 'Log_2026_01_05.log', 'PC-1', None, 'not a time text'),
    (None, 'Log_2026_01_05.log', 'PC-1', None, 'no time text'),
]

FILE_DAYS = [
    ('Log_2026_12_08.log', '2026-12-08'), ('Log_2028_02_29.log', '2028-02-29'), ('Log_2027_02_29.log', None),
    ('Log_2026_04_31.log', None), ('Log_2026_00_10.log', None), ('Log_0000_01_01.log', None),
    ('Log_2026_1_08.log', None), ('log_2026_12_08.log', None), ('Log_2026_12_08.log.1', None),
    ('Log_2026_12_0x.log', None), ('', None), (None, None),
]


def check_cases(pg):
    pg.psql("INSERT INTO vardel.host_zones VALUES ('PC-ES', 'Europe/Madrid'), ('PC-NY', 'America/New_York')")
    for (text, file, host, want, why), got in zip(CASES, instants(pg, [c[:3] for c in CASES])):
        if why is None:
            check(got == (want, None), '%r in %s: want %s, got %s' % (text, file, want, got))
        else:
            check(got[0] is None and why in (got[1] or ''), '%r in %s: want no instant for %r, got %s'
                  % (text, file, why, got))
    try:
        pg.psql("INSERT INTO vardel.host_zones VALUES ('PC-X', 'Europe/Londn')")
        check(False, 'a host setting with no such IANA zone was taken')
    except RuntimeError as e:
        check('unknown IANA zone "Europe/Londn"' in str(e), 'host setting refused for another reason: %s' % e)

    values = ','.join('(%d, %s)' % (i, lit(f)) for i, (f, _) in enumerate(FILE_DAYS))
    rows = pg.psql('SELECT vardel.file_day(f) FROM (VALUES %s) v(i, f) ORDER BY i' % values)
    for (name, want), row in zip(FILE_DAYS, rows):
        check((row[0] if row else None) == want, 'file_day(%r): want %s, got %s' % (name, want, row))


def bench(pg):
    """The cost of the instant per record against a plain insert of it."""
    n = 20000
    rows = ("SELECT 'PC-' || mod(i, 7) AS host, 'Log_2026_01_05.log' AS file, "
            "'Mon Jan 05 02:03:55 PM ' || CASE mod(i, 3) WHEN 0 THEN 'GMT Standard Time' WHEN 1 "
            "THEN 'Eastern Standard Ti' ELSE 'W. Europe Standard ' END AS t, 'message ' || i AS m "
            "FROM generate_series(1, %d) i" % n)
    pg.psql('CREATE TABLE bench_plain (host text, file text, t text, m text); '
            'CREATE TABLE bench_instant (host text, file text, t text, m text, utc timestamptz, unknown text)')
    figures = {}
    for round_ in range(2):
        for name, sql in (('plain', 'INSERT INTO bench_plain SELECT * FROM (%s) s' % rows),
                          ('instant', 'INSERT INTO bench_instant SELECT s.*, r.* FROM (%s) s, '
                                      'LATERAL vardel.record_instant(s.t, s.file, s.host) r' % rows)):
            start = time.perf_counter()
            pg.psql(sql)
            figures[name] = min(figures.get(name, 1e9), time.perf_counter() - start)
    print('bench: %d records; plain insert %.1f us/record, with the instant %.1f us/record '
          '(the instant alone %.1f us, %.1fx the plain insert)'
          % (n, figures['plain'] / n * 1e6, figures['instant'] / n * 1e6,
             (figures['instant'] - figures['plain']) / n * 1e6, figures['instant'] / figures['plain']))


def main():
    for need in (PG_BIN + '/initdb', CLDR):
        if not os.path.exists(need):
            print('SKIP: %s missing' % need)
            return 77
    if not shutil.which('psql'):
        print('SKIP: psql missing')
        return 77
    pg = Cluster()
    try:
        why = pg.start()
        if why:
            print('SKIP: PostgreSQL cannot start:', why)
            return 77
        for _ in range(2):  # the schema must take a second run
            for f in ('010_zones.sql', '011_zone_names.sql'):
                pg.psql(file=os.path.join(SCHEMA, f))
        check_cases(pg)
        check_every_zone(pg)
        if '--bench' in sys.argv:
            bench(pg)
    finally:
        pg.stop()
    print('%d failures' % len(failures) if failures else 'all passed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
