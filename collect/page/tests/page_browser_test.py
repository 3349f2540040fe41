#!/usr/bin/env python3
"""The page in a real browser: a private store filled through vardel.ingest,
vardel-page over it with the reader role, Debian's chromium headless.
Checks the views' DOM, the export, bad parameters and health, and saves a
screenshot of each view. Exit 77 when PostgreSQL or Chromium cannot start."""

import argparse
import csv
import datetime
import html.parser
import io
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
CLUSTER = os.path.join(HERE, "..", "..", "store", "cluster.sh")
PSQL = "/usr/lib/postgresql/15/bin/psql"
CHROMIUM = "/usr/bin/chromium"
SCRIPT = "<script>alert(1)</script>"
INJECTION = "' OR 1=1 --"
TRICKY_SOURCE = 'Module "Pump", step 3\nline two'

# What is written: host -> (type -> count); errors and warnings are what the
# overview counts.
WRITTEN = {
    "pc-alpha": {"ERROR": 3, "WARNING": 2, "FATAL_ERROR": 1, "INFORMATION": 2},
    "pc-beta": {"ERROR": 1, "WARNING": 4},
    "pc-gamma": {"INFORMATION": 3},
}


def skip(why):
    print("SKIP: " + why)
    sys.exit(77)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Dom(html.parser.HTMLParser):
    """The parts of a view the checks read: overview rows, record rows,
    script elements, all text, links."""

    def __init__(self, text):
        super().__init__()
        self.scripts = 0
        self.hosts = {}       # overview: host -> {warnings, errors, fatal, latest}
        self.records = []     # records: one dict per row, cell class -> text
        self.links = {}
        self.text = []
        self._host = None
        self._row = None
        self._cell = None
        self._link = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        cls = a.get("class", "")
        if tag == "script":
            self.scripts += 1
        if tag == "tr" and "data-host" in a:
            self._host = a["data-host"]
            self.hosts[self._host] = {}
        if tag == "tr" and cls == "record":
            self._row = {}
            self.records.append(self._row)
        if tag == "td":
            self._cell = cls or "td%d" % len(self._row or {})
            target = self._row if self._row is not None else (self.hosts.get(self._host))
            if target is not None:
                target.setdefault(self._cell, "")
        if tag == "a" and "id" in a:
            self._link = a["id"]
            self.links[a["id"]] = a.get("href")

    def handle_endtag(self, tag):
        if tag == "tr":
            self._host = None
            self._row = None
        if tag == "td":
            self._cell = None

    def handle_data(self, data):
        self.text.append(data)
        target = self._row if self._row is not None else self.hosts.get(self._host)
        if target is not None and self._cell is not None:
            target[self._cell] += data


class Run:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="vardel-page-")
        os.chmod(self.work, 0o755)
        self.pg = os.path.join(self.work, "pg")
        self.pages = []
        self.failures = []
        self.browser_profile = 0

    def check(self, ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        if not ok:
            self.failures.append(what)

    # The store.
    def start_store(self):
        out = subprocess.run(["bash", CLUSTER, "start", self.pg], capture_output=True, text=True, timeout=120)
        if out.returncode == 77:
            skip("PostgreSQL cannot start: " + out.stderr.strip())
        if out.returncode != 0:
            raise RuntimeError("cluster start failed: " + out.stderr)
        values = dict(line.split("=", 1) for line in out.stdout.split())
        self.port, self.socket = values["port"], values["socket"]
        subprocess.run(["bash", CLUSTER, "schema", self.pg], check=True, timeout=120)

    def sql(self, text):
        cmd = [PSQL, "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", self.socket, "-p", self.port, "-U", "postgres",
               "-d", "vardel", "-f", "-"]
        if os.getuid() == 0:
            cmd = ["runuser", "-u", "postgres", "--"] + cmd
        out = subprocess.run(cmd, input=text, capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            raise RuntimeError("psql failed: " + out.stderr)
        return out.stdout

    def load(self):
        import json
        now = datetime.datetime.now(datetime.timezone.utc)
        day_file = now.strftime("Log_%Y_%m_%d.log")
        time_text = now.strftime("%a %b %d %I:%M:%S %p Coordinated Universal Time")
        statements = []
        offset = 0

        def ingest(host, type_, source, message, time=time_text, level="RELEASE"):
            nonlocal offset
            record = {"host": host, "file": day_file, "offset": offset, "time": time, "type": type_,
                      "level": level, "source": source, "message": message}
            offset += 100
            statements.append("select vardel.ingest($vardel$%s$vardel$, now());" % json.dumps(record))

        for host, types in WRITTEN.items():
            for type_, count in types.items():
                for i in range(count):
                    ingest(host, type_, "Station %s" % host, "%s number %d" % (type_.lower(), i))
        # Hostile and awkward texts, each replacing one ordinary record above.
        statements.pop()  # pc-gamma's third INFORMATION
        ingest("pc-gamma", "INFORMATION", TRICKY_SOURCE, "plain, with \"quotes\"", level="TRACE")
        beta_error = [i for i, s in enumerate(statements) if '"pc-beta"' in s and '"ERROR"' in s][0]
        del statements[beta_error]
        ingest("pc-beta", "ERROR", INJECTION, SCRIPT)
        alpha_warning = [i for i, s in enumerate(statements) if '"pc-alpha"' in s and '"WARNING"' in s][0]
        del statements[alpha_warning]
        ingest("pc-alpha", "WARNING", "Station pc-alpha", "clock unknown", time=now.strftime("%a %b %d %I:%M:%S %p Olympus Mons Standard Time"))
        self.sql("\n".join(statements))
        # A record at a known instant, for the zones: summer time in both.
        self.sql("""insert into vardel.records (host, file, file_day, file_offset, received, time_text, type, level,
                                               source, message, utc)
                    select 'pc-gamma', '%s', vardel.file_day('%s'), 999999, now(), 'Wed Jul 01 12:00:00 PM UTC',
                           'INFORMATION', 'DEBUG', 'zone check', 'at noon UTC', '2026-07-01T12:00:00Z'""" %
                 (day_file, day_file))

    # The page.
    def start_page(self, store, name):
        port = free_port()
        log = open(os.path.join(self.work, name + ".log"), "w")
        proc = subprocess.Popen([self.args.page, "--port", str(port), "--store", store], stdout=log,
                                stderr=subprocess.STDOUT, start_new_session=True)
        self.pages.append(proc)
        base = "http://127.0.0.1:%d" % port
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                raise RuntimeError("vardel-page ended: " + open(log.name).read())
            # It says so once it listens.
            if "listening on" in open(log.name).read():
                return base, log.name
            time.sleep(0.05)
        raise RuntimeError("vardel-page does not listen")

    def get(self, url):
        try:
            with urllib.request.urlopen(url, timeout=30) as r:
                return r.status, r.read().decode("utf-8")
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode("utf-8")

    # The browser.
    def chromium(self, *args):
        self.browser_profile += 1
        profile = os.path.join(self.work, "chromium-%d" % self.browser_profile)
        os.makedirs(profile)
        cmd = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--user-data-dir=" + profile] + list(args)
        try:
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=90, start_new_session=True)
        except subprocess.TimeoutExpired:
            raise RuntimeError("chromium did not finish within 90 s: " + " ".join(args))
        return out

    def dom(self, url):
        out = self.chromium("--dump-dom", url)
        if out.returncode != 0 or "<html" not in out.stdout:
            raise RuntimeError("chromium could not load %s: %s" % (url, out.stderr[-2000:]))
        return Dom(out.stdout)

    def served(self, url):
        """The DOM of a view as served (the pages run no script, so the
        browser's DOM is the same; the browser checks above prove that)."""
        status, text = self.get(url)
        if status != 200:
            raise RuntimeError("%s: %d" % (url, status))
        return Dom(text)

    def screenshot(self, url, name):
        os.makedirs(self.args.screenshots, exist_ok=True)
        path = os.path.join(self.args.screenshots, name + ".png")
        if os.path.exists(path):
            os.remove(path)
        self.chromium("--screenshot=" + path, "--window-size=1280,900", "--hide-scrollbars", url)
        self.check(os.path.exists(path) and os.path.getsize(path) > 1000, "screenshot %s" % path)

    def close(self):
        for proc in self.pages:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
        subprocess.run(["bash", CLUSTER, "stop", self.pg], timeout=120)
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--page", required=True)
    ap.add_argument("--screenshots", required=True)
    args = ap.parse_args()
    if not os.access(CHROMIUM, os.X_OK):
        skip("Chromium cannot start: %s missing (scripts/setup.sh installs chromium)" % CHROMIUM)
    probe = subprocess.run([CHROMIUM, "--version"], capture_output=True, text=True, timeout=30)
    if probe.returncode != 0:
        skip("Chromium cannot start: " + probe.stderr.strip())

    run = Run(args)
    try:
        run.start_store()
        run.load()
        store = "host=%s port=%s dbname=vardel user=vardel_reader" % (run.socket, run.port)
        base, log = run.start_page(store, "page")
        started = open(log).read()
        run.check(("listening on %s/" % base) in started and "store: " + store in started,
                  "the page says where it listens and its store")

        # Overview: per-host counts as written, hosts without errors too.
        overview = run.dom(base + "/")
        run.check(overview.scripts == 0, "overview has no script element")
        for host, types in WRITTEN.items():
            shown = overview.hosts.get(host, {})
            want = (str(types.get("WARNING", 0)), str(types.get("ERROR", 0)), str(types.get("FATAL_ERROR", 0)))
            got = (shown.get("n warnings"), shown.get("n errors"), shown.get("n fatal"))
            run.check(got == want, "overview %s: warnings, errors, fatal %s == written %s" % (host, got, want))
        run.check("no error" in overview.hosts.get("pc-gamma", {}).get("latest", ""), "host without errors listed")
        run.check(SCRIPT in overview.hosts.get("pc-beta", {}).get("latest", ""),
                  "pc-beta's latest error shows its message as text")

        # Records: all, then narrowed.
        records = run.dom(base + "/records")
        total = sum(sum(t.values()) for t in WRITTEN.values()) + 1
        run.check(len(records.records) == total, "records: %d rows == %d written" % (len(records.records), total))
        run.check(records.scripts == 0, "records page has no script element")
        beta = run.dom(base + "/records?host=pc-beta")
        run.check(len(beta.records) == 5 and all(r["host"] == "pc-beta" for r in beta.records),
                  "host filter narrows to pc-beta's 5 records")
        errors = run.served(base + "/records?type=ERROR&level=RELEASE")
        run.check(len(errors.records) == 4 and all(r["type"] == "ERROR" for r in errors.records),
                  "type and level filter: the 4 errors")
        by_text = run.dom(base + "/records?q=" + urllib.parse.quote("ALERT(1)"))
        run.check([r["host"] for r in by_text.records] == ["pc-beta"] and by_text.scripts == 0 and
                  by_text.records[0].get("td5", "") == SCRIPT,
                  "text filter finds the message holding <script>, shown as text")
        injected = run.dom(base + "/records?host=" + urllib.parse.quote(INJECTION))
        run.check(len(injected.records) == 0, "host ' OR 1=1 -- matches no record (not all)")
        in_source = run.served(base + "/records?q=" + urllib.parse.quote(INJECTION))
        run.check(len(in_source.records) == 1 and in_source.records[0].get("td4") == INJECTION,
                  "text ' OR 1=1 -- finds the one record whose source holds it, shown as written")
        tricky = run.served(base + "/records?host=pc-gamma&level=TRACE")
        run.check(len(tricky.records) == 1 and tricky.records[0].get("td4") == TRICKY_SOURCE,
                  "source shown with its line break")
        unknown = [r for r in records.records if "Olympus Mons" in r.get("time", "")]
        run.check(len(unknown) == 1 and "no instant:" in unknown[0]["time"],
                  "a record without an instant shows its time text and why")
        count = int(run.sql("select count(*) from vardel.records"))
        run.check(count == total, "the store still holds the %d records" % total)

        # Times in a chosen zone (summer: UTC+2 and UTC-4).
        for zone, shown in (("UTC", "2026-07-01 12:00:00"), ("Europe/Berlin", "2026-07-01 14:00:00"),
                            ("America/New_York", "2026-07-01 08:00:00")):
            status, page = run.get(base + "/records?host=pc-gamma&level=DEBUG&zone=" + zone)
            view = Dom(page)
            run.check(status == 200 and [r.get("time") for r in view.records] == [shown] and
                      ("Time (%s)" % zone) in page, "zone %s shows %s" % (zone, shown))

        # Paging by key: two pages of 4 follow on without overlap, newest first.
        status, first = run.get(base + "/records?limit=4")
        first_dom = Dom(first)
        older = first_dom.links.get("older")
        status2, second = run.get(base + older) if older else (0, "")
        rows = [tuple(r.values()) for r in first_dom.records + Dom(second).records]
        run.check(status == 200 and status2 == 200 and len(rows) == 8 and len(set(rows)) == 8,
                  "the older page continues after the first, no row twice")

        # Export: same filters, RFC 4180.
        status, text = run.get(base + "/records.csv?host=pc-gamma")
        table = list(csv.reader(io.StringIO(text, newline="")))
        run.check(status == 200 and table[0] == "host,file,utc,time,type,level,source,message,raw".split(","),
                  "CSV header")
        sources = {row[6]: row for row in table[1:]}
        run.check(len(table) == 5 and TRICKY_SOURCE in sources and
                  sources[TRICKY_SOURCE][7] == 'plain, with "quotes"', "CSV quoting gives back the fields")
        run.check('"Module ""Pump"", step 3\nline two"' in text and text.endswith("\r\n"),
                  "CSV quotes doubled, line ends CR LF")
        run.check(sources.get("zone check", [""] * 3)[2] == "2026-07-01T12:00:00Z", "CSV utc as YYYY-MM-DDTHH:MM:SSZ")
        status, text = run.get(base + "/records.csv?host=" + urllib.parse.quote(INJECTION))
        run.check(status == 200 and text == "host,file,utc,time,type,level,source,message,raw\r\n",
                  "CSV for the injection host: the header alone")

        # A large export goes out page by page: every row once, newest first.
        run.sql("""insert into vardel.records (host, file, file_day, file_offset, received, type, level, source,
                                               message, utc)
                   select 'pc-bulk', '-', (now() at time zone 'UTC')::date, g, now(), 'INFORMATION', 'RELEASE',
                          's', 'bulk ' || g, timestamptz '2026-07-02T00:00:00Z' + g * interval '1 second'
                     from generate_series(1, 12001) g""")
        for limit, want in (("", 12001), ("&limit=7001", 7001)):
            status, text = run.get(base + "/records.csv?host=pc-bulk" + limit)
            rows = list(csv.reader(io.StringIO(text, newline="")))[1:]
            numbers = [int(r[7].split()[1]) for r in rows]
            run.check(status == 200 and numbers == list(range(12001, 12001 - want, -1)),
                      "export of %d rows in pages: each once, newest first (%d)" % (want, len(rows)))

        # Bad parameters: 400 naming which.
        for path, name in (("/?zone=Mars/Olympus", "zone"), ("/?hours=0", "hours"), ("/records?type=oops", "type"),
                           ("/records?level=%27%20OR%201%3D1%20--", "level"), ("/records?from=2026-13-01", "from"),
                           ("/records?before=xyz", "before"), ("/records?limit=100000", "limit"), ("/records.csv?limit=0", "limit"), ("/records?q=%FF", "q"),
                           ("/records.csv?to=noon", "to"), ("/records?host=a&host=b", "host")):
            status, body = run.get(base + path)
            run.check(status == 400 and ("'%s'" % name) in body, "%s -> 400 naming %s" % (path, name))

        # Screenshots of each view.
        run.screenshot(base + "/", "overview")
        run.screenshot(base + "/?zone=Europe/Berlin&hours=6", "overview-berlin-6h")
        run.screenshot(base + "/records", "records")
        run.screenshot(base + "/records?host=pc-beta&type=ERROR", "records-filtered")

        # Health: 200 while the store answers, 503 when it does not.
        status, body = run.get(base + "/health")
        newest = run.sql("select to_char(max(received) at time zone 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') "
                         "from vardel.records where host <> 'pc-bulk' and file_offset <> 999999").strip()
        run.check(status == 200 and body == "ok: the store answers; newest record received %s\n" % newest,
                  "health 200 with the newest record received: " + body.strip())
        dead, _ = run.start_page("host=127.0.0.1 port=%d dbname=vardel user=vardel_reader connect_timeout=5" %
                                 free_port(), "dead")
        status, body = run.get(dead + "/health")
        run.check(status == 503, "health 503 with no store: " + body.strip())
        subprocess.run(["bash", CLUSTER, "stop", run.pg], check=True, timeout=120)
        status, body = run.get(base + "/health")
        run.check(status == 503, "health 503 once the store stopped")
        status, body = run.get(base + "/records")
        run.check(status == 503, "records 503 once the store stopped")
    finally:
        run.close()
    if run.failures:
        print("%d checks failed" % len(run.failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
