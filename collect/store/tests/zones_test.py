#!/usr/bin/env python3
"""Checks vardel.record_instant, vardel.file_day, the site zone and
vardel.reinstant in a private PostgreSQL cluster (started here, stopped at
the end whatever happens) with the schema files applied twice.

    zones_test.py [--bench] [WINEPREFIX]

The expected instants are worked out here, apart from the table under test:
each Windows zone's names from the prefix's registry (a throw-away prefix
when none is given), its IANA zone from CLDR's windowsZones.xml, and the
offsets from Python's zoneinfo. --bench prints the cost of a record's
instant against a plain insert.
A missing tool that the set-up installs fails under CI=true and is skipped
(exit 77) elsewhere, named either way.
"""
import datetime as dt
import json
import os
import shutil
import sys
import tempfile
import time
from zoneinfo import ZoneInfo

from private_pg import PG_BIN, Cluster, missing
import zones_model
from zones_model import CLDR, make_prefix, model

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(os.path.dirname(HERE), 'schema')
UTC = dt.timezone.utc
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED:', what)


def lit(v):
    return 'NULL' if v is None else "'" + v.replace("'", "''") + "'"


def instants(pg, cases, session_zone='Pacific/Chatham'):
    """(epoch seconds or None, reason) for each (time text, file, host)."""
    if not cases:
        return []
    values = ',\n'.join('(%d, %s, %s, %s)' % (i, lit(t), lit(f), lit(h)) for i, (t, f, h) in enumerate(cases))
    rows = pg.psql('SELECT i, extract(epoch FROM r.utc)::bigint, r.unknown FROM (VALUES %s) v(i, t, f, h), '
                   'LATERAL vardel.record_instant(t, f, h) r ORDER BY i' % values, session_zone=session_zone)
    check(len(rows) == len(cases), '%d results for %d cases' % (len(rows), len(cases)))
    return [(None if r[1] is None else int(r[1]), r[2]) for r in rows]


def epoch(text):
    return int(dt.datetime.fromisoformat(text).timestamp())


def time_text(local, name):
    """The writer's text for an aware local time."""
    return local.strftime('%a %b %d %I:%M:%S %p ') + name[:19]


def day_file(local):
    return local.strftime('Log_%Y_%m_%d.log')


def check_every_zone(pg, zones):
    """Each zone at a January and a July instant, under the name zoneinfo
    says is in force, and zones whose cut name another zone shares in 2014
    too, when New York and Cancun (UTC-6 then) both fit `Eastern Standard
    Ti`; what each gives comes from the model (zones_model.expected)."""
    rows = {(n, k, d == 't') for n, k, _, d in pg.psql('SELECT name, zone_key, iana, daylight FROM vardel.zone_names')}
    want = {(n, k, d) for k, (std, dlt, _) in zones.items() for n, d in ((std, False), (dlt, True)) if n}
    check(rows == want, 'the table\'s names are not the registry\'s: %d missing, %d more'
          % (len(want - rows), len(rows - want)))
    check(len(zones) > 100, 'the model holds %d zones' % len(zones))
    cut_keys = {}
    for key, (std, dlt, _) in zones.items():
        for name in {std[:19], (dlt or std)[:19]}:
            cut_keys.setdefault(name, set()).add(key)
    shared = {k for keys in cut_keys.values() if len(keys) > 1 for k in keys}

    cases, expected = [], []
    for key in sorted(zones):
        std, dlt, iana = zones[key]
        for year in (2026, 2014) if key in shared else (2026,):
            for instant in (dt.datetime(year, 1, 15, 12, tzinfo=UTC), dt.datetime(year, 7, 15, 12, tzinfo=UTC)):
                local = instant.astimezone(ZoneInfo(iana))
                text = time_text(local, dlt if local.dst() and dlt else std)
                cases.append((text, day_file(local), 'PC-1'))
                expected.append((key, zones_model.expected(zones, text[23:], local.replace(tzinfo=None))))
    results = instants(pg, cases)
    decided = settled = 0
    for (text, _, _), (key, (want, why, concerned)), (utc, reason) in zip(cases, expected, results):
        what = '%s (%s): want %s %s %s, got %s %s' % (text, key, want, why, concerned, utc, reason)
        if why is None:
            decided += 1
            check((utc, reason) == (want, None), what)
        elif why == 'different offsets':
            settled += 1
            check(utc is None and (reason or '').endswith('different offsets on that date (%s)' % ', '.join(concerned)),
                  what)
        else:  # the writer's own zone always fits its name
            check(False, what)
    check(decided > 250 and settled >= 4, 'only %d of %d zone readings decided, %d ambiguous'
          % (decided, len(cases), settled))
    # The same under another session zone, to the second.
    check(instants(pg, cases, session_zone='America/St_Johns') == results,
          'the results follow the session time zone')
    print('every zone: %d readings, %d with an instant, %d ambiguous' % (len(cases), decided, settled))


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
    # Cut names. A zone that cannot have written the name then is not one of
    # its zones: Cancun (UTC-5 all year since 2015) has no daylight time, New
    # York keeps daylight time in July, Mexico's zone (UTC-7 all year since
    # 2022) has none either; in January they agree.
    ('Thu Jan 15 07:00:00 AM Eastern Standard Ti', 'Log_2026_01_15.log', 'PC-1', Z('2026-01-15T12:00:00Z'), None),
    ('Wed Jul 15 08:00:00 AM Eastern Daylight Ti', 'Log_2026_07_15.log', 'PC-1', Z('2026-07-15T12:00:00Z'), None),
    ('Wed Jul 15 07:00:00 AM Eastern Standard Ti', 'Log_2026_07_15.log', 'PC-1', Z('2026-07-15T12:00:00Z'), None),
    ('Wed Jul 15 07:00:00 AM Central Daylight Ti', 'Log_2026_07_15.log', 'PC-1', Z('2026-07-15T12:00:00Z'), None),
    ('Thu Jan 15 05:00:00 AM Mountain Standard T', 'Log_2026_01_15.log', 'PC-1', Z('2026-01-15T12:00:00Z'), None),
    ('Wed Jul 15 06:00:00 AM Mountain Daylight T', 'Log_2026_07_15.log', 'PC-1', Z('2026-07-15T12:00:00Z'), None),
    # Before 2015 Cancun kept UTC-6 and daylight time: both fit, and disagree.
    ('Wed Jan 15 07:00:00 AM Eastern Standard Ti', 'Log_2014_01_15.log', 'PC-1', None,
     'cut name "Eastern Standard Ti" matches zones with different offsets on that date '
     '(America/Cancun, America/New_York)'),
    # None of them fits: each one's own reason.
    ('Thu Jan 15 07:00:00 AM Eastern Daylight Ti', 'Log_2026_01_15.log', 'PC-1', None,
     'daylight name, but America/New_York keeps standard time then; '
     'daylight name, but America/Cancun has no daylight time around then'),
    ('Sun Mar 08 02:30:00 AM Eastern Daylight Ti', 'Log_2026_03_08.log', 'PC-1', None,
     'no such local time in America/New_York (clock moved forward); '
     'daylight name, but America/Cancun has no daylight time around then'),
    ('Wed Jul 15 07:00:00 AM Eastern Daylight Time (Mexico)', 'Log_2026_07_15.log', 'PC-1', None,
     'daylight name, but America/Cancun has no daylight time around then'),
    # Kazakhstan's move to UTC+5 in 2024 left Windows' Central Asia zone at UTC+6.
    ('Wed Jul 15 06:00:00 PM Central Asia Standa', 'Log_2026_07_15.log', 'PC-1',
     Z('2026-07-15T12:00:00Z'), None),
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
    check(len(rows) == len(FILE_DAYS), 'file_day: %d rows for %d names' % (len(rows), len(FILE_DAYS)))
    for (name, want), row in zip(FILE_DAYS, rows):
        check(row == [want], 'file_day(%r): want %s, got %s' % (name, want, row))


def check_site_zone(pg, zones):
    """The site zone settles a cut name whose fitting zones disagree where it
    is one of them, and no other; vardel.reinstant gives stored records
    without an instant theirs once the site's or a host's zone is set.
    `Eastern Daylight Ti` in July 2014: New York (UTC-4) and Cancun (UTC-5)."""
    ny, cancun = ZoneInfo('America/New_York'), ZoneInfo('America/Cancun')
    summer = dt.datetime(2014, 7, 15, 8, 0, tzinfo=ny)
    winter = dt.datetime(2014, 1, 15, 7, 0, tzinfo=ny)
    now_summer = dt.datetime(2026, 7, 15, 8, 0, tzinfo=ny)
    std, dlt, _ = zones['Eastern Standard Time']
    cut_dlt, cut_std = time_text(summer, dlt), time_text(winter, std)
    # (site zone, time text, local time, host, the zone the instant must follow or None, reason)
    table = [
        (None, cut_dlt, summer, 'PC-1', None, 'different offsets'),
        ('America/New_York', cut_dlt, summer, 'PC-1', ny, None),
        ('America/New_York', cut_std, winter, 'PC-1', ny, None),
        ('America/Cancun', cut_dlt, summer, 'PC-1', cancun, None),
        ('America/Cancun', cut_dlt, summer, 'PC-NY', ny, None),  # the host's wins
        ('Europe/London', cut_dlt, summer, 'PC-1', None, 'different offsets'),  # not one of them
        # Only New York fits: the site zone is not asked.
        ('America/Cancun', time_text(now_summer, dlt), now_summer, 'PC-1', ny, None),
        ('America/New_York', time_text(winter.replace(year=2026), dlt), winter.replace(year=2026), 'PC-1', None,
         'keeps standard time'),
    ]
    for site, text, local, host, follows, why in table:
        pg.psql('UPDATE vardel.settings SET site_zone = %s' % lit(site))
        got = instants(pg, [(text, day_file(local), host)])[0]
        if follows:
            want = int(local.replace(tzinfo=None).replace(tzinfo=follows).timestamp())
            check(got == (want, None), 'site zone %s, %r of %s: want %s, got %s' % (site, text, host, want, got))
        else:
            check(got[0] is None and why in (got[1] or ''),
                  'site zone %s, %r of %s: want no instant for %r, got %s' % (site, text, host, why, got))
    try:
        pg.psql("UPDATE vardel.settings SET site_zone = 'America/Denvr'")
        check(False, 'a site zone with no such IANA zone was taken')
    except RuntimeError as e:
        check('unknown IANA zone "America/Denvr"' in str(e), 'site zone refused for another reason: %s' % e)

    # Only the owner sets the zone or works instants out again.
    for role in ('vardel_collector', 'vardel_reader'):
        for sql in ("UPDATE vardel.settings SET site_zone = 'America/Denver'", 'SELECT vardel.reinstant()',
                    "INSERT INTO vardel.host_zones VALUES ('PC-R', 'America/Denver')"):
            try:
                pg.psql(sql, role=role)
                check(False, '%s may run %r' % (role, sql))
            except RuntimeError as e:
                check('permission denied' in str(e), '%s: %r refused for another reason: %s' % (role, sql, e))

    # Records stored without an instant, then given one by the settings.
    pg.psql("UPDATE vardel.settings SET site_zone = NULL, keep_days = 36500")
    spanish = dt.datetime(2026, 7, 15, 14, 0, tzinfo=ZoneInfo('Europe/Madrid'))
    later = summer + dt.timedelta(hours=1)
    stored = [  # host, time text, local time, the instant after each step (no zone, site zone, host zone)
        ('NY', cut_dlt, summer, (None, summer, summer)),
        ('NY', time_text(later, dlt), later, (None, later, later)),
        ('NY', time_text(now_summer, dlt), now_summer, (now_summer, now_summer, now_summer)),
        ('ES', time_text(spanish, 'Hora de verano roman'), spanish, (None, None, spanish)),
        ('ES', 'Wed Jul 15 02:00 PM', spanish, (None, None, None)),
        # Filed by the store under a day that is not its file's: keeps its reason.
        ('NY', time_text(later, dlt), later, (None, None, None)),
    ]
    lines = '\n'.join(json.dumps(dict(host=h, file=day_file(local), offset=i, time=t, type='ERROR', level='RELEASE',
                                      source='s', message='m'))
                      for i, (h, t, local, _) in enumerate(stored))
    check(pg.psql('SELECT vardel.ingest(%s, now())' % lit(lines)) == [[str(len(stored))]], 'not all records stored')
    pg.psql("SELECT vardel.day_partition('2026-07-20'); UPDATE vardel.records SET file_day = '2026-07-20', "
            "unknown = 'set apart' WHERE host = 'NY' AND file_offset = %d" % (len(stored) - 1))

    def stored_instants():
        rows = pg.psql("SELECT extract(epoch FROM utc)::bigint FROM vardel.records WHERE host IN ('NY', 'ES') "
                       "ORDER BY file_offset")
        return [None if r[0] is None else int(r[0]) for r in rows]
    steps = [(None, 'no zone set'),
             ("UPDATE vardel.settings SET site_zone = 'America/New_York'; SELECT vardel.reinstant()", 'site zone'),
             ("INSERT INTO vardel.host_zones VALUES ('ES', 'Europe/Madrid'); SELECT vardel.reinstant('ES')",
              'host zone')]
    for n, (sql, what) in enumerate(steps):
        given = pg.psql(sql) if sql else None
        want = [None if w[n] is None else int(w[n].timestamp()) for *_, w in stored]
        if given is not None:
            before = [None if w[n - 1] is None else 1 for *_, w in stored]
            newly = sum(1 for b, w in zip(before, want) if b is None and w is not None)
            check(given == [[str(newly)]], 'reinstant after the %s: said %s, want %d' % (what, given, newly))
        check(stored_instants() == want, 'after the %s: want %s, got %s' % (what, want, stored_instants()))
    check(pg.psql('SELECT vardel.reinstant()') == [['0']], 'reinstant run again changed records')
    reasons = pg.psql("SELECT unknown FROM vardel.records WHERE host = 'ES' AND utc IS NULL")
    check(reasons == [['not a time text']], 'the reason kept: %s' % reasons)
    pg.psql("UPDATE vardel.settings SET site_zone = NULL")


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
    args = [a for a in sys.argv[1:] if a != '--bench']
    for need, what in ((PG_BIN + '/initdb', 'PostgreSQL'), (CLDR, 'CLDR (unicode-cldr-core)')):
        if not os.path.exists(need):
            missing('%s missing: %s' % (what, need))
    if not shutil.which('psql'):
        missing('psql missing')
    temp = None
    prefix = args[0] if args and os.path.isfile(os.path.join(args[0], 'system.reg')) else None
    if not prefix:
        if not shutil.which('wineboot'):
            missing('Wine missing (no wineboot to make a prefix, and no prefix given)')
        temp = tempfile.mkdtemp(prefix='vardel-zones-wine-')
        prefix = os.path.join(temp, 'prefix')
        make_prefix(prefix)
    zones = model(os.path.join(prefix, 'system.reg'))
    if temp:
        shutil.rmtree(temp, ignore_errors=True)
    pg = Cluster()
    try:
        why = pg.start()
        if why:
            print('FAILED: PostgreSQL cannot start:', why)
            return 1
        schema = sorted(f for f in os.listdir(SCHEMA) if f.endswith('.sql'))
        for _ in range(2):  # the schema must take a second run
            for f in schema:
                pg.psql(file=os.path.join(SCHEMA, f))
        check_cases(pg)
        check_every_zone(pg, zones)
        check_site_zone(pg, zones)
        if '--bench' in sys.argv:
            bench(pg)
    finally:
        pg.stop()
    print('%d failures' % len(failures) if failures else 'all passed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
