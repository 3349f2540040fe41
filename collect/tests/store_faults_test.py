#!/usr/bin/env python3
"""Faults of the whole store with records coming through a real collector
(the collector's role refused while the collector is restarted, the loader
killed, the store's disk full), each ending with every record stored once;
floods of far and past days costing no partitions; and who may connect to
the private cluster.

    store_faults_test.py

The disk-full case needs a filesystem of its own (a tmpfs, mounted as
root); elsewhere it is left out with that reason. Exits 1 on any failure.
"""
import datetime
import errno
import os
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import collect_test as ct  # noqa: E402
import store_test as st  # noqa: E402
from collect_test import check, wait_for  # noqa: E402
from store_intake_test import DAY_FILE, FAR, TEXT, TODAY, run_on_cluster, stored  # noqa: E402

PAST = [TODAY - datetime.timedelta(days=400 + i) for i in range(1500)]


class Collector:
    """A collector (central.conf) storing into db, fed on its octet-counted
    syslog input; its journal closed and renamed past 2 KiB rather than 16
    MiB, so that a few records pass through several files."""

    def __init__(self, work, db):
        self.work, self.db = work, db
        relp, tcp, escaped = ct.free_ports(3)
        self.tcp, self.ports = tcp, (relp, tcp, escaped)
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
        if not wait_for(lambda: ct.listening(self.tcp), 'the collector to listen'):
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


def check_collector_private(col):
    """Another PC cannot reach any of the collector's inputs (listening on
    the loopback, none takes the host's own addresses), and another local
    user (nobody) cannot read the store's journal."""
    ct.check_private_inputs(col.ports)
    journal = os.path.join(col.dir, 'store-journal')
    wait_for(lambda: os.path.exists(os.path.join(journal, 'journal')), 'the journal')
    check(os.stat(journal).st_mode & 0o777 == 0o700, 'the journal folder: %o' % os.stat(journal).st_mode)
    if os.geteuid() == 0:
        read = subprocess.run(['runuser', '-u', 'nobody', '--', 'cat', os.path.join(journal, 'journal')],
                              capture_output=True)
        check(read.returncode != 0 and not read.stdout, 'nobody read the journal')


def main():
    with tempfile.TemporaryDirectory(prefix='vardel-faults.') as work:
        os.chmod(work, 0o755)
        fs = os.path.join(work, 'fs')
        os.mkdir(fs)
        mounted = os.geteuid() == 0 and subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=300m,mode=755', 'tmpfs', fs],
                                                       capture_output=True).returncode == 0
        if not mounted:
            print('note: the disk-full case is left out: mounting a tmpfs of its own needs root')
        db = st.Cluster(os.path.join(fs, 'pg'))
        cols = []

        def through_collector():
            cols.append(Collector(work, db))
            col = cols[0]
            check_refused(db, col)
            check_collector_private(col)
            check_loader_killed(db, col)
            if mounted:
                check_disk_full(db, col, fs)
            check_flood(db, col, 'FLOOD', FAR, 'far days')
            check_past_days(db, col)

        return run_on_cluster(db, work, [lambda: check_access(db), through_collector],
                              'the store took every record once, through every fault',
                              cleanup=[lambda: [c.stop() for c in cols]],
                              after=[lambda: mounted and subprocess.run(['umount', '-l', fs])])


if __name__ == '__main__':
    sys.exit(main())
