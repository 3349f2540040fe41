#!/usr/bin/env python3
"""The page over a large store: a private cluster holding generated records
(default 10 million of 100 hosts over 30 days), then the overview and a
filtered search through the running vardel-page over HTTP, each the median
of five after one warm-up. Prints one table with the goal; exit code 0 when
every figure was measured, whether or not the goal is met."""

import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import time
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLUSTER = os.path.join(TOP, "collect", "store", "cluster.sh")
PSQL = "/usr/lib/postgresql/15/bin/psql"
GOAL_MS = 200.0

# One day's records: hosts pc000.. in turn, and independently of the host
# (by g / hosts) the types in the shares of a busy site (1 in 50 an error,
# 1 in 8 a warning, 1 in 200 fatal), the levels and a few message words
# that a search looks for; 1 in 1000 without an instant.
FILL_DAY = """
insert into vardel.records (host, file, file_day, file_offset, received, time_text, type, level, source, message,
                            utc, unknown)
select 'pc' || lpad((g %% %(hosts)d)::text, 3, '0'),
       'Log_' || to_char(d, 'YYYY_MM_DD') || '.log', d, g * 120,
       t, to_char(t, 'Dy Mon DD HH12:MI:SS AM') || ' Coordinated Universal Time',
       case when k %% 200 = 7 then 'FATAL_ERROR' when k %% 50 = 3 then 'ERROR'
            when k %% 8 = 1 then 'WARNING' else 'INFORMATION' end,
       (array['TRACE', 'DEBUG', 'RELEASE', 'RELEASE'])[1 + k %% 4],
       'Station module ' || (k %% 37) || E'\\nstep ' || (k %% 11),
       'event ' || g || case when k %% 13 = 0 then ' pressure drop on line ' || (k %% 5)
                             when k %% 7 = 0 then ' door opened' else ' cycle done' end,
       case when k %% 1000 = 0 then null else t end,
       case when k %% 1000 = 0 then 'no zone rule' end
  from (select date '%(day)s' as d) day,
       generate_series(1, %(rows)d) g,
       lateral (select (d::timestamp + (g::double precision / %(rows)d) * interval '1 day')
                       at time zone 'UTC' as t, g / %(hosts)d + g %% 7 as k) tt;
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Bench:
    def __init__(self, args):
        self.args = args
        self.dir = os.path.abspath(args.work)

    def cluster(self, cmd, env=None):
        out = subprocess.run(["bash", CLUSTER, cmd, self.dir], capture_output=True, text=True, env=env)
        if out.returncode == 77:
            print("SKIP: PostgreSQL cannot start: " + out.stderr.strip())
            sys.exit(77)
        if out.returncode != 0:
            raise RuntimeError("cluster %s failed: %s" % (cmd, out.stderr))
        return out.stdout

    def sql(self, text):
        cmd = [PSQL, "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", self.socket, "-p", self.port, "-U",
               "postgres", "-d", "vardel", "-f", "-"]
        if os.getuid() == 0:
            cmd = ["runuser", "-u", "postgres", "--"] + cmd
        return subprocess.run(cmd, input=text, capture_output=True, text=True, check=True).stdout.strip()

    def start(self):
        env = dict(os.environ)
        # The load needs no durability; the queries run as on any server.
        env["VARDEL_PG_OPTIONS"] = ("-c fsync=off -c synchronous_commit=off -c full_page_writes=off "
                                    "-c max_wal_size=2GB -c shared_buffers=512MB -c maintenance_work_mem=256MB")
        values = dict(line.split("=", 1) for line in self.cluster("start", env).split())
        self.port, self.socket = values["port"], values["socket"]
        self.cluster("schema")

    def load(self):
        args = self.args
        have = int(self.sql("select count(*) from vardel.records"))
        if have == args.records:
            print("store already holds %d records; kept" % have)
            return
        self.sql("truncate vardel.records; truncate vardel.hosts;")
        per_day = args.records // args.days
        started = time.monotonic()
        today = self.sql("select (now() at time zone 'UTC')::date")
        for i in range(args.days):
            day = self.sql("select date '%s' - %d" % (today, args.days - 1 - i))
            rows = per_day + (args.records - per_day * args.days if i == args.days - 1 else 0)
            self.sql("select vardel.day_partition(date '%s');\n" % day +
                     FILL_DAY % {"hosts": args.hosts, "day": day, "rows": rows})
            print("  day %s: %d records (%.0f s)" % (day, rows, time.monotonic() - started), flush=True)
        self.sql("insert into vardel.hosts select host, min(received), max(received) from vardel.records group by 1")
        print("loaded %d records in %.0f s; vacuum analyze..." % (args.records, time.monotonic() - started),
              flush=True)
        self.sql("vacuum (analyze) vardel.records; analyze vardel.hosts;")

    def page(self):
        port = free_port()
        store = "host=%s port=%s dbname=vardel user=vardel_reader" % (self.socket, self.port)
        self.proc = subprocess.Popen([self.args.page, "--port", str(port), "--store", store],
                                     stdout=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return "http://127.0.0.1:%d" % port
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("vardel-page does not listen")

    def measure(self, url):
        def once():
            t0 = time.perf_counter()
            with urllib.request.urlopen(url, timeout=120) as r:
                body = r.read()
                if r.status != 200:
                    raise RuntimeError("%s: %d" % (url, r.status))
            return (time.perf_counter() - t0) * 1000.0, len(body)

        once()  # warm-up
        runs = [once() for _ in range(5)]
        return statistics.median(ms for ms, _ in runs), runs[-1][1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--page", default=os.path.join(TOP, "build-linux", "bin", "vardel-page"))
    ap.add_argument("--work", default=os.path.join(TOP, "build-linux", "page-bench"))
    ap.add_argument("--records", type=int, default=10_000_000)
    ap.add_argument("--hosts", type=int, default=100)
    ap.add_argument("--days", type=int, default=30)
    ap.add_argument("--keep", action="store_true", help="leave the cluster running")
    args = ap.parse_args()
    if not os.access(args.page, os.X_OK):
        print("no %s: build the linux preset first" % args.page)
        return 1

    bench = Bench(args)
    bench.start()
    bench.proc = None
    try:
        bench.load()
        base = bench.page()
        host = "pc%03d" % (42 % args.hosts)
        measures = [
            ("overview, last 24 hours, %d hosts" % args.hosts, base + "/"),
            ("overview, last 24 hours, Europe/Berlin", base + "/?zone=Europe/Berlin"),
            ("records: host %s, ERROR, text 'pressure'" % host, base + "/records?host=%s&type=ERROR&q=pressure" % host),
            ("records: all hosts, text 'door', one day", base + "/records?q=door&from=%s" %
             time.strftime("%Y-%m-%dT00:00", time.gmtime(time.time() - 86400))),
        ]
        results = []
        print("\n%-48s %10s %8s %8s %5s" % ("measure (%d records)" % args.records, "median ms", "bytes", "goal ms",
                                            "met"))
        for name, url in measures:
            ms, size = bench.measure(url)
            met = ms < GOAL_MS
            results.append({"measure": name, "median_ms": round(ms, 1), "bytes": size, "goal_ms": GOAL_MS,
                            "met": met, "records": args.records})
            print("%-48s %10.1f %8d %8.0f %5s" % (name, ms, size, GOAL_MS, "yes" if met else "NO"), flush=True)
        out = os.path.join(os.path.dirname(args.page), "..", "bench")
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, "page-results.json"), "w") as f:
            json.dump(results, f, indent=1)
    finally:
        if bench.proc and bench.proc.poll() is None:
            os.killpg(bench.proc.pid, signal.SIGTERM)
            bench.proc.wait(timeout=10)
        if not args.keep:
            bench.cluster("stop")
    return 0


if __name__ == "__main__":
    sys.exit(main())
