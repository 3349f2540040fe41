#!/usr/bin/env python3
"""A site engineer's overnight trial, end to end: five PCs' day files in one
folder of PC folders (London, Berlin, two in New York, Denver), read by
scripts/site.sh, then the page asked which PCs raised errors overnight, in
what order, and what they said.

Run 1, without a site zone: every record is stored; the Denver PC's
summer records have their instant (the cut name is Mexico's zone's too, but
that zone keeps no daylight time), the New York PCs' records of July 2014
have none (Cancun, whose names share New York's cut name, then kept daylight
time at UTC-5).
Run 2, on the same work folder with VARDEL_SITE_ZONE=America/New_York: those
records get theirs, and /records.csv?type=ERROR&type=FATAL_ERROR&from&to
gives every error and fatal error of the night, from every PC, newest
first, each at its true instant; screenshots of that view and of the
overview are checked not blank (build/page-screenshots/trial-*.png).

The day files are written from a model here: each record's true instant
is chosen in UTC and its time text made with zoneinfo, as the PC's Windows
would write it. A missing tool fails under CI=true (testenv)."""
import argparse
import csv
import datetime as dt
import io
import os
import shutil
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from zoneinfo import ZoneInfo

import testenv
from site_folders_test import PG_BIN, Site
from site_test import running_in

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.normpath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, os.path.join(TOP, 'collect', 'page', 'tests'))
import page_fixture  # noqa: E402  (the page tests' browser and screenshot check)

UTC = dt.timezone.utc
# Each PC: its zone, and the standard and daylight names its Windows writes.
PCS = {
    'PC-LONDON': ('Europe/London', 'GMT Standard Time', 'GMT Daylight Time'),
    'PC-BERLIN': ('Europe/Berlin', 'W. Europe Standard Time', 'W. Europe Daylight Time'),
    'PC-NY-1': ('America/New_York', 'Eastern Standard Time', 'Eastern Daylight Time'),
    'PC-NY-2': ('America/New_York', 'Eastern Standard Time', 'Eastern Daylight Time'),
    'PC-DENVER': ('America/Denver', 'Mountain Standard Time', 'Mountain Daylight Time'),
}
DENVER = 'PC-DENVER'
# The other zone whose Windows names share a zone's cut names (New York's
# with Cancun's, Denver's with Mexico's zone's).
SHARES_CUT = {'America/New_York': 'America/Cancun', 'America/Denver': 'America/Mazatlan'}
# A source over three lines, and a byte of code page 1252 (é).
SOURCE_3_LINES = 'Pump 4\nvalve B\nstep 3'
CAFE = 'caf\xe9 machine overheated'


class Rec:
    """One record of the model: its PC, true instant, and fields as written."""

    def __init__(self, pc, utc, type_, message, source='Line control', level='RELEASE', unknown_time=False):
        self.pc, self.utc, self.type, self.message = pc, utc, type_, message
        self.source, self.level, self.unknown_time = source, level, unknown_time
        local = self.local = utc.astimezone(ZoneInfo(PCS[pc][0]))
        self.daylight = bool(local.dst())
        # The writer's text: 12-hour clock, the zone's name cut to 19.
        self.time = ('UNKNOWN_TIME %d' % utc.timestamp() if unknown_time else
                     local.strftime('%a %b %d %I:%M:%S %p ') + PCS[pc][2 if self.daylight else 1][:19])
        self.file = local.strftime('Log_%Y_%m_%d.log')

    def line(self):
        return ('%s,%s,%s,%s,"%s"\r\n' % (self.time, self.type, self.level, self.source.replace('\n', '\r\n'),
                                          self.message)).encode('cp1252')

    def known_without_site_zone(self):
        """Unless the other zone of the cut name could have written it too
        (the same kind of time in force there) with another offset."""
        other = SHARES_CUT.get(PCS[self.pc][0])
        if self.unknown_time or other is None:
            return True
        there = self.local.replace(tzinfo=ZoneInfo(other))
        return bool(there.dst()) != self.daylight or there.utcoffset() == self.local.utcoffset()

    def utc_text(self):
        return self.utc.strftime('%Y-%m-%dT%H:%M:%SZ')


def model(now):
    """(records, night start, night end): a night of 12 hours ending 6 hours
    before the current hour, errors of every PC in it and at its edges,
    a summer day (the last 15 July) on which Denver keeps daylight time, and
    a day of 2014 that only the site zone settles for New York."""
    hour = now.replace(minute=0, second=0, microsecond=0)
    start, end = hour - dt.timedelta(hours=18), hour - dt.timedelta(hours=6)

    def at(minutes, seconds=0):
        return start + dt.timedelta(minutes=minutes, seconds=seconds)

    recs = [
        # Just outside the night on either side: from is inclusive, to is not.
        Rec('PC-BERLIN', at(-1), 'ERROR', 'before the night'),
        Rec('PC-LONDON', end, 'ERROR', 'at the end of the night'),
        Rec('PC-NY-1', at(0), 'ERROR', 'at the start of the night'),
        Rec('PC-DENVER', at(30), 'WARNING', 'disk 85% full'),
        Rec('PC-LONDON', at(75), 'INFORMATION', 'shift change', level='TRACE'),
        Rec('PC-DENVER', at(95, 7), 'ERROR', 'conveyor stalled', source=SOURCE_3_LINES),
        Rec('PC-BERLIN', at(140), 'WARNING', 'retrying the scanner'),
        Rec('PC-BERLIN', at(141, 30), 'ERROR', CAFE),
        # The two New York PCs a second apart, the later one first by name.
        Rec('PC-NY-2', at(200, 0), 'ERROR', 'label printer offline'),
        Rec('PC-NY-1', at(200, 1), 'ERROR', 'label queue full'),
        Rec('PC-LONDON', at(260), 'ERROR', 'the clock could not be read', unknown_time=True),
        Rec('PC-DENVER', at(330), 'FATAL_ERROR', 'controller stopped', level='DEBUG'),
        Rec('PC-NY-2', at(400), 'WARNING', 'slow network'),
        Rec('PC-LONDON', at(540), 'ERROR', 'weigher out of tolerance'),
        Rec('PC-DENVER', at(700), 'ERROR', 'restart failed'),
        Rec('PC-BERLIN', at(719, 59), 'FATAL_ERROR', 'safety stop'),
    ]
    summer = dt.datetime(now.year if now.month > 7 else now.year - 1, 7, 15, tzinfo=ZoneInfo('America/Denver'))
    for n, pc in enumerate(PCS):
        recs.append(Rec(pc, (summer + dt.timedelta(hours=8 + n)).astimezone(UTC), 'ERROR', 'summer error %d' % n))
    recs.append(Rec(DENVER, (summer + dt.timedelta(hours=23, minutes=30)).astimezone(UTC), 'WARNING',
                    'summer warning late'))
    # Day files the New York PCs kept from July 2014.
    old = dt.datetime(2014, 7, 15, 9, tzinfo=ZoneInfo('America/New_York'))
    recs += [Rec('PC-NY-1', old.astimezone(UTC), 'ERROR', 'old error'),
             Rec('PC-NY-2', (old + dt.timedelta(hours=1, seconds=5)).astimezone(UTC), 'WARNING', 'old warning')]
    return recs, start, end


def write_folders(folder, recs):
    """One folder per PC, its records in its day files in the order written."""
    for rec in sorted(recs, key=lambda r: r.utc):
        pc_folder = os.path.join(folder, rec.pc)
        os.makedirs(pc_folder, exist_ok=True)
        with open(os.path.join(pc_folder, rec.file), 'ab') as f:
            f.write(rec.line())


def fetch_csv(page, query=''):
    with urllib.request.urlopen(page.rstrip('/') + '/records.csv' + query, timeout=30) as r:
        rows = list(csv.DictReader(io.StringIO(r.read().decode('utf-8'), newline='')))
    return rows


def wait_stored(page, total, bound=60):
    """The export's rows once it has all `total` of them (bounded)."""
    end, rows = time.monotonic() + bound, []
    while time.monotonic() < end:
        rows = fetch_csv(page)
        if len(rows) >= total:
            break
        time.sleep(0.2)
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--screenshots', default=os.path.join(TOP, 'build', 'page-screenshots'))
    args = ap.parse_args()
    testenv.require_tool(shutil.which('rsyslogd') or '/usr/sbin/rsyslogd', 'rsyslogd')
    for tool in ('initdb', 'pg_ctl', 'psql'):
        testenv.require_tool(os.path.join(PG_BIN, tool), 'PostgreSQL\'s ' + tool)
    testenv.require_tool(page_fixture.CHROMIUM, 'chromium')
    page_bin = os.path.join(TOP, 'build-linux', 'bin', 'vardel-page')
    testenv.require_tool(page_bin, 'the page (VARDEL_PRESET=linux bash scripts/setup.sh builds it)')
    page_fixture.check_chromium()

    recs, start, end = model(dt.datetime.now(UTC))
    by_key = {(r.pc, r.message): r for r in recs}
    failures = []

    def check(ok, what):
        print(('ok    ' if ok else 'FAIL  ') + what, flush=True)
        if not ok:
            failures.append(what)

    def check_rows(site, rows, zone_set, step):
        """Every record once, as written, at its true instant or none."""
        got = {(r['host'], r['message']): r for r in rows}
        check(len(rows) == len(recs) and set(got) == set(by_key),
              'run %d: %d rows, want %d; missing %s, extra %s' % (step, len(rows), len(recs),
                                                                  sorted(set(by_key) - set(got)),
                                                                  sorted(set(got) - set(by_key))))
        wrong = []
        for key, row in got.items():
            rec = by_key.get(key)
            if rec is None:
                continue
            want = dict(utc=rec.utc_text() if zone_set or rec.known_without_site_zone() else '', time=rec.time,
                        type=rec.type, level=rec.level, source=rec.source, file=rec.file)
            have = {k: row[k].replace('\r\n', '\n') for k in want}
            diff = {k: (have[k], want[k]) for k in want if have[k] != want[k]}
            if diff:
                why = site.query('select unknown from vardel.records where host = $q$%s$q$ and message = $q$%s$q$'
                                 % key) if 'utc' in diff else []
                wrong.append('%s %r: (got, want) %s; the store says %s' % (key[0], rec.time, diff, why))
        check(not wrong, 'run %d: every record as written, with the instant %s%s'
              % (step, 'of the site zone' if zone_set else 'where its zone name decides it',
                 ''.join('\n  ' + w for w in wrong)))

    with tempfile.TemporaryDirectory(prefix='vardel-trial.') as work:
        os.chmod(work, 0o755)
        folder = os.path.join(work, 'site-logs')
        write_folders(folder, recs)
        env = dict(os.environ, VARDEL_SITE_DIR=os.path.join(work, 'run'), VARDEL_SITE_BUILD='0',
                   VARDEL_KEEP_DAYS='36500')
        env.pop('VARDEL_SITE_ZONE', None)
        browser = page_fixture.Run(argparse.Namespace(page=page_bin, screenshots=args.screenshots))
        try:
            for step, zone in ((1, None), (2, 'America/New_York')):
                if zone:
                    env['VARDEL_SITE_ZONE'] = zone
                site = Site(folder, env)
                try:
                    if site.store is None or site.page is None:
                        continue
                    check_rows(site, wait_stored(site.page, len(recs)), zone is not None, step)
                    if zone:
                        night(site.page, recs, start, end, check)
                        screenshots(browser, site.page, recs, start, end)
                        overview(browser, site.page, recs, check)
                finally:
                    code, err = site.stop()
                if site.store is None or site.page is None:
                    check(False, 'run %d: site.sh printed no page or store line (exit %s): %s'
                          % (step, code, err.strip()))
                    break
                check(code == 0, 'run %d: site.sh exited %s after SIGTERM' % (step, code))
                if zone:
                    given = sum(1 for r in recs if not r.known_without_site_zone())
                    said = 'site zone %s: %d stored records given an instant' % (zone, given)
                    check(said in err, 'run 2: site.sh says "%s": %s' % (said, err.strip()[-2000:]))
            left = running_in(work)
            check(not left, 'nothing left running after SIGTERM: %s' % left)
        finally:
            shutil.rmtree(browser.work, ignore_errors=True)
    failures += browser.failures
    print('%d failures' % len(failures) if failures else
          'the overnight trial: every error of the night from every PC, in true order, at its true instant')
    return 1 if failures else 0


def night_query(start, end, zone='UTC'):
    return '?' + urllib.parse.urlencode([('type', 'ERROR'), ('type', 'FATAL_ERROR'), ('zone', zone),
                                         ('from', start.strftime('%Y-%m-%dT%H:%M:%S')),
                                         ('to', end.strftime('%Y-%m-%dT%H:%M:%S'))])


def night_errors(recs, start, end):
    """The model's answer: the night's errors and fatal errors, newest first."""
    return sorted((r for r in recs if r.type in ('ERROR', 'FATAL_ERROR') and start <= r.utc < end),
                  key=lambda r: r.utc, reverse=True)


def night(page, recs, start, end, check):
    want = [(r.pc, r.utc_text(), r.type, r.message) for r in night_errors(recs, start, end)]
    # The same night asked in UTC and in Denver's local time.
    for zone in ('UTC', 'America/Denver'):
        z = ZoneInfo(zone)
        if any(t.astimezone(z).replace(fold=0).utcoffset() != t.astimezone(z).replace(fold=1).utcoffset()
               for t in (start, end)):
            print('note: the night\'s edges fall in an hour that %s repeats: asked in UTC only' % zone)
            continue
        rows = fetch_csv(page, night_query(start.astimezone(z), end.astimezone(z), zone))
        got = [(r['host'], r['utc'], r['type'], r['message']) for r in rows]
        check(got == want, 'the night (from/to in %s) in the export: %d rows, want %d, newest first%s'
              % (zone, len(got), len(want), '' if got == want else '\n  got  %s\n  want %s' % (got, want)))
    check({w[0] for w in want} == set(PCS), 'the model puts an error of every PC in the night')


def screenshots(browser, page, recs, start, end):
    errors = night_errors(recs, start, end)
    base = page.rstrip('/')
    browser.screenshot(base + '/records' + night_query(start, end), 'trial-records-night',
                       sorted({r.pc for r in errors}) + ['%d records match' % len(errors), 'controller stopped'])
    browser.screenshot(base + '/?hours=24', 'trial-overview', sorted(PCS) + ['Latest error'])


def overview(browser, page, recs, check):
    """The overview's counts of the last 24 hours (the current one
    included) per host, as the model has them."""
    last = dt.datetime.now(UTC).replace(minute=0, second=0, microsecond=0) + dt.timedelta(hours=1)
    want = {pc: {'n warnings': '0', 'n errors': '0', 'n fatal': '0'} for pc in PCS}
    for kind, type_ in (('n warnings', 'WARNING'), ('n errors', 'ERROR'), ('n fatal', 'FATAL_ERROR')):
        for pc in PCS:
            want[pc][kind] = str(sum(1 for r in recs if r.pc == pc and r.type == type_
                                     and last - dt.timedelta(hours=24) <= r.utc < last))
    hosts = browser.dom(page.rstrip('/') + '/?hours=24').hosts
    got = {pc: {k: hosts.get(pc, {}).get(k, '').strip() for k in want[pc]} for pc in PCS}
    check(got == want, 'the overview counts each PC\'s warnings and errors of the last 24 hours: %s, want %s'
          % (got, want))


if __name__ == '__main__':
    sys.exit(main())
