#!/usr/bin/env python3
"""Store intake: records per second from day files through edge -> collector
-> loader -> PostgreSQL, against the same pipeline writing the JSON file
alone, run back to back in the same run, in two rounds that alternate
them; each side keeps its best round. Prints one table.

    python3 bench/store_bench.py [RECORDS]     (default 200000)

Runs in a folder of its own under $TMPDIR (a private cluster, rsyslogd on
free ports of 127.0.0.1), removed at the end. Exit 0 when it measured (goal
met or not), 1 on failure (a cluster that cannot start included), 77 when
rsyslogd is not installed.
"""
import datetime
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import collect_bench  # noqa: E402

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONF = os.path.join(TOP, 'collect')
CLUSTER_SH = os.path.join(CONF, 'store', 'cluster.sh')
PSQL = os.path.join(os.environ.get('VARDEL_PG_BIN', '/usr/lib/postgresql/15/bin'), 'psql')
RSYSLOGD = shutil.which('rsyslogd') or '/usr/sbin/rsyslogd'
GOAL = 0.8
ROUNDS = 2

def day_file(path, start, n):
    """n records of about 120 bytes, as the server writes them."""
    with open(path, 'wb') as f:
        for i in range(start, start + n):
            f.write(b'Tue Dec 08 %02d:%02d:%02d PM GMT Standard Time,INFORMATION,RELEASE,Bench source %d,'
                    b'"Pressure reading %d within limits, nothing to do"\r\n'
                    % (i // 3600 % 12, i // 60 % 60, i % 60, i % 7, i))


def cpu_busy():
    """Seconds of CPU the machine has spent on anything, all cores."""
    fields = [int(f) for f in open('/proc/stat').readline().split()[1:]]
    return (sum(fields) - fields[3] - fields[4]) / os.sysconf('SC_CLK_TCK')


PARTS = (('collector', 'central.conf'), ('edge', 'edge.conf'), ('edge', 'edge-tail'), ('loader', 'store-loader'))


def cpu_by_process(pg):
    """{pid: (part, CPU seconds so far)} of the pipeline's processes (the
    processes of the cluster in pg all count as PostgreSQL)."""
    with open(os.path.join(pg, 'data', 'postmaster.pid')) as f:
        server = f.readline().strip()
    seen = {}
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/cmdline' % pid, 'rb') as f:
                cmd = f.read().replace(b'\0', b' ').decode(errors='replace')
            with open('/proc/%s/stat' % pid) as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        part = 'PostgreSQL' if server in (pid, fields[1]) else next((name for name, key in PARTS if key in cmd), None)
        if part:
            seen[pid] = (part, (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK'))
    return seen


def cpu_by_part(before, after):
    """{part: CPU seconds} spent between the two readings."""
    parts = {}
    for pid, (part, spent) in after.items():
        parts[part] = parts.get(part, 0) + spent - before.get(pid, (part, 0))[1]
    return parts


def shown(parts):
    return ', '.join('%s %.1f' % item for item in sorted(parts.items()))


def main():
    # Stopped (a timeout's SIGTERM): its servers and folder go too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200000
    if not os.access(RSYSLOGD, os.X_OK):
        print('SKIPPED: rsyslogd is not installed (scripts/setup.sh installs it)')
        return 77
    work = tempfile.mkdtemp(prefix='vardel-store-bench.')
    os.chmod(work, 0o755)
    pg = os.path.join(work, 'pg')
    procs = []
    try:
        return run(n, work, pg, procs)
    except RuntimeError as e:
        print('FAILED:', e)
        return 1
    finally:
        for p in procs:
            p.kill()
            p.wait()
        subprocess.run(['bash', CLUSTER_SH, 'stop', pg])
        shutil.rmtree(work, ignore_errors=True)


def run(n, work, pg, procs):
    r = subprocess.run(['bash', CLUSTER_SH, 'start', pg], capture_output=True, text=True)
    if r.returncode != 0:
        print('FAILED: cluster.sh start exited %d: %s' % (r.returncode, r.stderr.strip()))
        return 1
    subprocess.run(['bash', CLUSTER_SH, 'schema', pg], check=True)
    port = open(os.path.join(pg, 'port')).read().strip()

    def sql(text, stdin=None):
        return subprocess.run([PSQL, '-X', '-At', '-v', 'ON_ERROR_STOP=1', '-h', os.path.join(pg, 'socket'),
                               '-p', port, '-U', 'postgres', '-d', 'vardel', '-c', text],
                              input=stdin, capture_output=True, check=True).stdout.strip()

    logs = os.path.join(work, 'logs')
    os.mkdir(logs)
    today = datetime.datetime.now(datetime.timezone.utc).date()
    days = [today - datetime.timedelta(days=1), today]
    for i, d in enumerate(days):
        day_file(os.path.join(logs, d.strftime('Log_%Y_%m_%d.log')), i * (n // 2), n // 2 if i == 0 else n - n // 2)
    relp, tcp, escaped = collect_bench.free_ports(3)
    env = dict(os.environ, VARDEL_CONF_DIR=CONF, VARDEL_LISTEN='127.0.0.1', VARDEL_RELP_PORT=str(relp),
               VARDEL_TCP_PORT=str(tcp), VARDEL_ESCAPED_PORT=str(escaped),
               VARDEL_COLLECT_DIR=os.path.join(work, 'central'), VARDEL_COLLECT_OUT='',
               VARDEL_EDGE_DIR=os.path.join(work, 'edge'), VARDEL_LOG_FOLDER=logs,
               VARDEL_COLLECTOR='127.0.0.1', VARDEL_PC_NAME='BENCH-PC',
               VARDEL_STORE_CONF=os.path.join(CONF, 'store', 'pgsql.conf'),
               VARDEL_STORE_SERVER=os.path.join(pg, 'socket'), VARDEL_STORE_PORT=port,
               VARDEL_STORE_DB='vardel', VARDEL_STORE_USER='vardel_collector')

    def rsyslogd(name, run):
        procs.append(subprocess.Popen([RSYSLOGD, '-n', '-f', os.path.join(CONF, name + '.conf'),
                                       '-i', os.path.join(run, name + '.pid')], env=env,
                                      stdout=open(os.path.join(run, name + '.log'), 'wb'),
                                      stderr=subprocess.STDOUT))

    def pipeline(run, count):
        """Seconds from the start of both rsyslogd until count() reaches n
        (asked every 50 ms; count is cheap, so that the asking takes no
        CPU worth counting from the pipeline it times)."""
        for d in ('central', 'edge'):
            os.makedirs(os.path.join(run, d))
        env.update(VARDEL_COLLECT_DIR=os.path.join(run, 'central'), VARDEL_EDGE_DIR=os.path.join(run, 'edge'))
        begin, busy, before = time.monotonic(), cpu_busy(), cpu_by_process(pg)
        rsyslogd('central', run)
        rsyslogd('edge', run)
        done, deadline = 0, begin + max(120, n / 1000)
        while done < n:
            if time.monotonic() > deadline or any(p.poll() is not None for p in procs):
                raise RuntimeError('%d of %d records after %.0f s' % (done, n, time.monotonic() - begin))
            time.sleep(0.05)
            done = count()
        took = time.monotonic() - begin
        busy = cpu_busy() - busy
        parts.append(cpu_by_part(before, cpu_by_process(pg)))
        for p in procs:
            p.send_signal(signal.SIGTERM)
            p.wait(30)
        procs.clear()
        cpu.append(busy)
        return took

    class Lines:
        """The lines of a growing file, counted from where the last call
        stopped."""
        def __init__(self, path):
            self.path, self.pos, self.lines = path, 0, 0

        def __call__(self):
            if os.path.exists(self.path):
                with open(self.path, 'rb') as f:
                    f.seek(self.pos)
                    data = f.read()
                self.pos += len(data)
                self.lines += data.count(b'\n')
            return self.lines

    class Stored:
        """The rows in vardel.records, asked of one open session: the
        identity's last value (each row inserted takes one) and whether the
        loader's session is inside a transaction; where all n have been
        taken and it is not, the rows are counted (a count of all rows each
        time would cost more CPU than the store itself, and grow with it)."""
        def __init__(self):
            self.psql = subprocess.Popen([PSQL, '-X', '-At', '-q', '-v', 'ON_ERROR_STOP=1', '-h',
                                          os.path.join(pg, 'socket'), '-p', port, '-U', 'postgres',
                                          '-d', 'vardel', '-f', '-'],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            procs.append(self.psql)

        def ask(self, query):
            self.psql.stdin.write(query + ';\n')
            self.psql.stdin.flush()
            return self.psql.stdout.readline().strip()

        def meta(self, command):
            """A psql command that prints nothing, waited for."""
            return self.ask(command + "\nselect 'done'")

        def __call__(self):
            taken = int(self.ask('select case when is_called then last_value else 0 end from vardel.records_id_seq'))
            if taken < n or int(self.ask("select count(*) from pg_stat_activity where usename = 'vardel_collector' "
                                         "and state <> 'idle'")):
                return min(taken, n - 1)
            return int(self.ask('select count(*) from vardel.records'))

    def copy_floor(session):
        """Backend CPU, us a record, to COPY the stored rows as they are back
        into the emptied table: what any intake that keeps this table and its
        indexes pays at least, before reading a record or working out an
        instant."""
        rows, cols = os.path.join(work, 'rows.copy'), ('host, file, file_day, file_offset, piece, pieces, received, '
                                                       'time_text, type, level, source, message, raw, utc, unknown')
        session.meta("\\copy (select %s from vardel.records order by id) to '%s'" % (cols, rows))
        session.ask("truncate vardel.records; select 'done'")
        pid = session.ask('select pg_backend_pid()')
        before = cpu_by_process(pg)[pid][1]
        session.meta("\\copy vardel.records (%s) from '%s'" % (cols, rows))
        spent = cpu_by_process(pg)[pid][1] - before
        session.psql.stdin.close()
        session.psql.wait(30)
        procs.remove(session.psql)
        return spent / n * 1e6

    cpu, parts = [], []
    json_runs, store_runs = [], []
    for r in range(1, ROUNDS + 1):
        # For comparison: the same pipeline into the JSON file alone.
        out = os.path.join(work, 'collect%d.json' % r)
        env.update(VARDEL_STORE_CONF='', VARDEL_COLLECT_OUT=out)
        json_runs.append(pipeline(os.path.join(work, 'json%d' % r), Lines(out)))
        # Ours: into the store alone, until the last row is in.
        sql('truncate vardel.records, vardel.hosts, vardel.journal_position restart identity')
        env.update(VARDEL_STORE_CONF=os.path.join(CONF, 'store', 'pgsql.conf'), VARDEL_COLLECT_OUT='')
        store_runs.append(pipeline(os.path.join(work, 'store%d' % r), Stored()))
        rows = int(sql('select count(*) from vardel.records'))
        distinct = int(sql('select count(distinct (file, message)) from vardel.records'))
        if distinct != n or rows != n:
            print('FAILED: %d of %d records stored, %d rows' % (distinct, n, rows))
            return 1
    floor = copy_floor(Stored())
    # Each side its best round: a busy machine slows one round, not both.
    json_only, ours = min(json_runs), min(store_runs)
    budget = sum(parts[2 * json_runs.index(json_only)].values()) * (1 / GOAL - 1) / n * 1e6
    ratio = json_only / ours
    print('%-44s %10s %10s %7s %7s %4s' % ('measure', 'ours', 'baseline', 'ratio', 'goal', 'met'))
    print('%-44s %10.0f %10.0f %7.3f %7s %4s' % ('store intake, records/s (%d records)' % n, n / ours, n / json_only,
                                                 ratio, '>=%.2f' % GOAL, 'yes' if ratio >= GOAL else 'no'))
    print('(seconds, day files -> edge -> collector -> loader -> rows: %s; the same pipeline into the JSON file: %s)'
          % (', '.join('%.1f' % t for t in store_runs), ', '.join('%.1f' % t for t in json_runs)))
    added = (sum(parts[2 * store_runs.index(ours) + 1].values()) - sum(parts[2 * json_runs.index(json_only)].values()))
    added *= 1e6 / n
    print('%-44s %10.1f %10.1f %7.2f %7s %4s' % ('store CPU, us/record', added, budget, added / budget, 'report', ''))
    print('%-44s %10.1f %10.1f %7.2f %7s %4s' % ('store floor, CPU us/record', floor, budget, floor / budget,
                                                 'report', ''))
    print('(baseline of both: the CPU the goal leaves the store on this machine, the JSON file\'s run\'s CPU a record '
          '(its edge\'s and collector\'s) times %.2f; store CPU: what the store\'s run spent a record more (the '
          'best rounds\' parts); store floor: the store\'s backend copying the stored rows, finished, back into the '
          'emptied table)' % (1 / GOAL - 1))
    for r in range(ROUNDS):
        print('(round %d, CPU of the whole machine of %d cores: store %.1f s (%s); JSON file %.1f s (%s))'
              % (r + 1, os.cpu_count(), cpu[2 * r + 1], shown(parts[2 * r + 1]), cpu[2 * r],
                 shown(parts[2 * r])))
    return 0


if __name__ == '__main__':
    sys.exit(main())
