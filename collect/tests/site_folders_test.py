#!/usr/bin/env python3
"""scripts/site.sh over a folder of PC folders: each folder that holds day
files is a PC named by it, in the store with its records; a folder with
neither day files nor such folders is refused (non-zero, not the skip
code). A New York PC's records of 2014 have no instant (New York and
Cancun, then UTC-6 with daylight time, both fit the cut name and disagree)
until site.sh runs again with VARDEL_SITE_ZONE, which gives the stored
records theirs; a Denver PC's summer records (the cut name is Mexico's
zone's too, which keeps no daylight time) have theirs from the start.
Expectations from zoneinfo.
rsyslogd or PostgreSQL missing fails under CI=true and is skipped (77)
elsewhere; site.sh failing to start them is a failure."""
import datetime as dt
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from zoneinfo import ZoneInfo

HERE = os.path.dirname(os.path.abspath(__file__))
SITE_SH = os.path.join(HERE, '..', '..', 'scripts', 'site.sh')
PG_BIN = os.environ.get('VARDEL_PG_BIN', '/usr/lib/postgresql/15/bin')
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED:', what)


def missing(what):
    if os.environ.get('CI') == 'true':
        print('FAILED: %s (scripts/setup.sh installs it; CI=true)' % what)
        sys.exit(1)
    print('SKIP: %s (scripts/setup.sh installs it)' % what)
    sys.exit(77)


def record(local, zone_name, n):
    """A record as the server writes it, the zone name cut to 19."""
    return (local.strftime('%a %b %d %I:%M:%S %p ') + zone_name[:19]
            + ',ERROR,RELEASE,Folder test %d,"message %d"\r\n' % (n, n)).encode()


def write_pc(folder, records):
    """records: [(aware local time, Windows zone name, ...)], one day file per day."""
    os.makedirs(folder, exist_ok=True)
    for n, (local, name, *_) in enumerate(records):
        with open(os.path.join(folder, local.strftime('Log_%Y_%m_%d.log')), 'ab') as f:
            f.write(record(local, name, n))


def run_refused(work, folder, **env):
    r = subprocess.run(['bash', SITE_SH, folder], capture_output=True, text=True, timeout=120,
                       env=dict(os.environ, VARDEL_SITE_DIR=os.path.join(work, 'refused'), VARDEL_SITE_BUILD='0', **env))
    return r.returncode, r.stderr


class Site:
    """site.sh in the background until stop(); store is the reader's URL,
    page the page's (None where it is not built)."""

    def __init__(self, folder, env):
        self.proc = subprocess.Popen(['bash', SITE_SH, folder], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.store = self.page = None
        end = time.monotonic() + 90
        while self.store is None and time.monotonic() < end:
            line = self.proc.stdout.readline()
            if not line:
                break
            m = re.match(r'^(page|store): (\S+)$', line.strip())
            if m:
                setattr(self, m.group(1), m.group(2))

    def query(self, sql):
        r = subprocess.run([os.path.join(PG_BIN, 'psql'), '-X', '-At', '-F', '\t', '-P', 'null=\\N',
                            self.store, '-c', sql], capture_output=True, text=True, timeout=30)
        return [[None if f == '\\N' else f for f in line.split('\t')] for line in r.stdout.splitlines()]

    def wait_count(self, want, bound=60):
        end, got = time.monotonic() + bound, None
        while time.monotonic() < end:
            got = self.query('select host, count(*) from vardel.records group by 1 order by 1')
            if got == want:
                return got
            time.sleep(0.2)
        return got

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = 'none (killed)'
        return code, self.proc.stderr.read()


def main():
    for tool, what in ((shutil.which('rsyslogd') or '/usr/sbin/rsyslogd', 'rsyslogd'),
                       (os.path.join(PG_BIN, 'initdb'), 'PostgreSQL')):
        if not os.path.exists(tool):
            missing('%s missing: %s' % (what, tool))
    london, denver, ny = ZoneInfo('Europe/London'), ZoneInfo('America/Denver'), ZoneInfo('America/New_York')
    # (local time, zone name, whether only the site zone gives it an instant)
    pcs = {
        'PC-LON': [(dt.datetime(2026, 12, 8, 2, 3, 55, tzinfo=london), 'GMT Standard Time', False),
                   (dt.datetime(2026, 12, 8, 3, 0, 0, tzinfo=london), 'GMT Standard Time', False)],
        # Winter: Denver and Mexico's zone agree; summer: only Denver keeps daylight time.
        'PC-DEN': [(dt.datetime(2026, 1, 15, 5, 0, 0, tzinfo=denver), 'Mountain Standard Time', False),
                   (dt.datetime(2026, 7, 15, 8, 0, 0, tzinfo=denver), 'Mountain Daylight Time', False),
                   (dt.datetime(2026, 7, 15, 23, 30, 0, tzinfo=denver), 'Mountain Daylight Time', False)],
        # Old day files: Cancun kept UTC-6 and daylight time until 2015.
        'PC-NY': [(dt.datetime(2014, 1, 15, 7, 0, 0, tzinfo=ny), 'Eastern Standard Time', True),
                  (dt.datetime(2014, 7, 15, 8, 0, 0, tzinfo=ny), 'Eastern Daylight Time', True),
                  (dt.datetime(2026, 7, 15, 8, 0, 0, tzinfo=ny), 'Eastern Daylight Time', False)],
    }
    with tempfile.TemporaryDirectory(prefix='vardel-sitefolders.') as work:
        os.chmod(work, 0o755)
        # Refused, each saying why: (folder contents, what stderr must say)
        refused = [({}, 'and no folder that does'),
                   ({'notes': None}, 'and no folder that does'),
                   ({'PC ONE': pcs['PC-LON']}, 'cannot be a PC\'s name')]
        for n, (subs, why) in enumerate(refused):
            folder = os.path.join(work, 'refused%d' % n)
            os.makedirs(folder)
            for name, records in subs.items():
                write_pc(os.path.join(folder, name), records or [])
            code, err = run_refused(work, folder)
            check(code not in (0, 77) and why in err, 'folder %s: want refused for %r, got %d %s'
                  % (sorted(subs), why, code, err.strip()))

        site_folder = os.path.join(work, 'site')
        for name, records in pcs.items():
            write_pc(os.path.join(site_folder, name), records)
        os.makedirs(os.path.join(site_folder, 'notes'))
        env = dict(os.environ, VARDEL_SITE_DIR=os.path.join(work, 'run'), VARDEL_SITE_BUILD='0',
                   VARDEL_KEEP_DAYS='36500', VARDEL_PC_NAME='IGNORED')
        env.pop('VARDEL_SITE_ZONE', None)
        instants = ("select host, extract(epoch from utc)::bigint from vardel.records where host in ('PC-DEN', 'PC-NY') "
                    "order by host, file_day, file_offset")

        def want(zone_known):
            return [[pc, None if needs_zone and not zone_known else str(int(local.timestamp()))]
                    for pc in ('PC-DEN', 'PC-NY')
                    for local, _, needs_zone in sorted(pcs[pc], key=lambda r: r[0].replace(tzinfo=None))]
        wanted_counts = [[h, str(len(r))] for h, r in sorted(pcs.items())]
        for step, zone in ((1, None), (2, 'America/New_York')):
            if zone:
                env['VARDEL_SITE_ZONE'] = zone
            site = Site(site_folder, env)
            try:
                if site.store is None:
                    code, err = site.stop()
                    check(False, 'run %d: no store line (exit %s): %s' % (step, code, err.strip()))
                    break
                counts = site.wait_count(wanted_counts)
                check(counts == wanted_counts, 'run %d: records per host %s, want %s' % (step, counts, wanted_counts))
                got = site.query(instants)
                check(got == want(zone is not None), 'run %d: instants %s, want %s'
                      % (step, got, want(zone is not None)))
            finally:
                code, err = site.stop()
            check(code == 0, 'run %d: site.sh exited %s after SIGTERM: %s' % (step, code, err.strip()))
            check('notes holds no day files: left out' in err and 'VARDEL_PC_NAME left unused' in err,
                  'run %d: the left-out folder or the unused name not said: %s' % (step, err.strip()))
            if zone:
                given = sum(1 for r in pcs['PC-NY'] if r[2])
                check('site zone America/New_York: %d stored records given an instant' % given in err,
                      'run 2: the reinstant not said: %s' % err.strip())
        # A zone that is not one, quotes and all, is refused before anything reads the folder.
        bad = "America/Denver'; update vardel.settings set keep_days = 1; --"
        code, err = run_refused(work, site_folder, VARDEL_SITE_ZONE=bad)
        check(code not in (0, 77) and 'VARDEL_SITE_ZONE is not an IANA zone' in err,
              'site zone %r: want refused, got %s %s' % (bad, code, err.strip()))
        left = [p for p in os.listdir('/proc') if p.isdigit() and work.encode() in _cmdline(p)]
        check(not left, 'still running after SIGTERM: %s' % [_cmdline(p) for p in left])
    print('%d failures' % len(failures) if failures else 'site.sh read a folder of PC folders, refused the others, '
          'and the site zone gave the stored records their instant')
    return 1 if failures else 0


def _cmdline(pid):
    try:
        with open('/proc/%s/cmdline' % pid, 'rb') as f:
            return f.read().replace(b'\0', b' ')
    except OSError:
        return b''


if __name__ == '__main__':
    sys.exit(main())
