"""A throw-away PostgreSQL cluster for the store's own tests, and the rule
for a tool that is missing.

    Cluster(): start() -> None or why not; psql(sql) -> rows; stop()
"""
import os
import pwd
import shutil
import subprocess
import sys
import tempfile

PG_BIN = '/usr/lib/postgresql/15/bin'
NULL = '\\N'  # what psql prints here for NULL


def missing(what):
    """A tool the set-up installs is missing: a failure under CI, else a skip.
    (The same rule as collect/tests/testenv.py.)"""
    if os.environ.get('CI') == 'true':
        print('FAILED: %s (scripts/setup.sh installs it; CI=true)' % what)
        sys.exit(1)
    print('SKIP: %s (scripts/setup.sh installs it)' % what)
    sys.exit(77)


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

    def psql(self, sql=None, file=None, session_zone='Pacific/Chatham', role='postgres'):
        """Rows as lists of fields, None for NULL, every row kept; an odd
        session zone, which nothing may follow. RuntimeError on failure."""
        args = ['psql', '-X', '-q', '-A', '-t', '-F', '\t', '-P', 'null=' + NULL, '-v', 'ON_ERROR_STOP=1',
                '-h', self.dir, '-p', '5432', '-U', role, '-d', 'postgres']
        args += ['-f', file] if file else ['-c', sql]
        r = subprocess.run(args, capture_output=True, text=True, timeout=300,
                           env=dict(os.environ, PGTZ=session_zone))
        if r.returncode != 0:
            raise RuntimeError('psql: %s' % r.stderr.strip())
        return [[None if f == NULL else f for f in line.split('\t')] for line in r.stdout.splitlines()]
