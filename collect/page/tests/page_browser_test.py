#!/usr/bin/env python3
"""The page in a real browser: each view's DOM as chromium builds it, the
export, bad parameters and health, and a screenshot of each view that must
show the page itself. A missing tool or a store that cannot start fails."""

import argparse
import csv
import io
import re
import subprocess
import sys
import urllib.parse

from page_fixture import (CLUSTER, FORMULAS, INJECTION, OLD_KNOWN, OLD_UNKNOWN, SCRIPT, TRICKY_SOURCE,
                          UNKNOWN_TYPES, WRITTEN, Dom, Run, check_chromium, free_port)

HEADER = "host,file,utc,time,type,level,source,message,raw"


def keys(dom):
    """Each listed record's own-page link: its key, for comparing pages."""
    return [href for cls, href, _ in dom.anchors if href and href.startswith("/record?")]


def check_paging(run, base, query, limit, total):
    """Older from the newest page, then Newer back: pages follow on without
    a gap or an overlap (compared with one page holding them all), and every
    link keeps the filters and the limit."""
    whole = keys(run.served(base + "/records?%s&limit=1000" % query))
    seen, url, pages = [], "/records?%s&limit=%d" % (query, limit), []
    for _ in range(total // limit + 2):
        dom = run.dom(base + url)
        pages.append((url, dom))
        seen += keys(dom)
        links = dict((cls, href) for cls, href, _ in dom.anchors)
        hrefs = [dom.links.get(i) for i in ("older", "newer", "newest") if dom.links.get(i)]
        run.check(all(("limit=%d" % limit) in h and query.split("&")[0] in h for h in hrefs),
                  "paging links keep the filters and limit=%d: %s" % (limit, hrefs))
        if "older" not in dom.links:
            break
        url = dom.links["older"]
    run.check(seen == whole and len(whole) == total,
              "%s: Older pages of %d follow on without gap or overlap (%d of %d)" % (query, limit, len(seen), total))
    # Back from the oldest page: Newer gives the page before it again.
    if len(pages) >= 2:
        newer = pages[-1][1].links.get("newer")
        back = run.dom(base + newer) if newer else Dom("")
        run.check(keys(back) == keys(pages[-2][1]), "%s: Newer from the last page gives the page before it" % query)
        run.check("newest" in pages[-1][1].links and "newer" not in pages[0][1].links,
                  "Newest and Newer on later pages, not on the first")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--page", required=True)
    ap.add_argument("--screenshots", required=True)
    args = ap.parse_args()
    check_chromium()

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
            want = (str(types.get("WARNING", 0) - (host == "pc-alpha")), str(types.get("ERROR", 0)),
                    str(types.get("FATAL_ERROR", 0)))
            got = (shown.get("n warnings"), shown.get("n errors"), shown.get("n fatal"))
            run.check(got == want, "overview %s: warnings, errors, fatal %s == written with an instant %s" %
                      (host, got, want))
        run.check("no error" in overview.hosts.get("pc-gamma", {}).get("latest", ""), "host without errors listed")
        unknown = dict((h, v.get("n unknown")) for h, v in overview.hosts.items())
        run.check(unknown.get("pc-denver") == "2" and unknown.get("pc-alpha") == "1" and unknown.get("pc-beta") == "0",
                  "warnings and errors without an instant counted apart per host: %s" % unknown)
        apart = [h for _, h, t in overview.anchors if h and "instant=unknown" in h and "host=pc-denver" in h]
        listed = run.dom(base + apart[0]) if apart else Dom("")
        run.check(sorted(r["type"] for r in listed.records) == ["ERROR", "WARNING"],
                  "their count links to pc-denver's warning and error without an instant")
        run.check(SCRIPT in overview.hosts.get("pc-beta", {}).get("latest", ""),
                  "pc-beta's latest error shows its message as text")
        # The chart: an hour axis, counts written on the bars, each bar a link to its hour's records.
        axis = [t for t in overview.text if re.fullmatch(r"\d\d|\d\d-\d\d", t)]
        run.check(len(axis) >= 24, "overview: an hour axis under each chart (%d labels)" % len(axis))
        bars = [(href, text) for cls, href, text in overview.anchors if cls == "bar"]
        alpha = [(h, t) for h, t in bars if "host=pc-alpha" in h]
        run.check(len(alpha) == 1 and alpha[0][1].endswith("5"),
                  "pc-alpha's bar is a link and reads 5 (1 warning, 3 errors, 1 fatal; the one without an instant "
                  "left out): %s" % alpha)
        if alpha:
            hour = run.dom(base + alpha[0][0] + "&type=WARNING&type=ERROR&type=FATAL_ERROR")
            run.check(len(hour.records) == 5 and {r["host"] for r in hour.records} == {"pc-alpha"},
                      "the bar's link lists that host's 5 records of that hour")
        month = run.dom(base + "/?hours=744")
        days = [t for t in month.text if re.fullmatch(r"\d\d-\d\d", t)]
        run.check(8 <= len(set(days)) <= 32 and not [t for t in month.text if re.fullmatch(r"\d\d", t)],
                  "hours=744 draws a bar per day, dated (%d date labels, no hour labels)" % len(set(days)))
        latest = [h for c, h, _ in overview.anchors if c == "record-link" and "host=pc-beta" in h]
        record = run.dom(base + latest[0]) if latest else Dom("")
        run.check(SCRIPT in " ".join(record.text) and INJECTION in " ".join(record.text),
                  "the overview's latest error leads to that record's own page")

        # Records: those with an instant; the others apart, per host, with a link.
        records = run.dom(base + "/records")
        known = sum(sum(t.values()) for t in WRITTEN.values()) + 1 - 1 + len(FORMULAS) + OLD_KNOWN
        run.check(len(records.records) == known, "records: %d rows == %d written with an instant" %
                  (len(records.records), known))
        run.check(records.scripts == 0, "records page has no script element")
        run.check("%d records match" % known in " ".join(records.text), "records: the count of matches shown")
        apart = dict((text, href) for cls, href, text in records.anchors if href and "instant=unknown" in href)
        run.check(set(apart) == {"pc-alpha", "pc-denver", "pc-old"} and
                  re.search(r"pc-denver\s+%d" % len(UNKNOWN_TYPES), " ".join(records.text)),
                  "records without an instant counted apart per host, with links: %s" % sorted(apart))
        denver = run.dom(base + apart.get("pc-denver", "/records?instant=unknown&host=pc-denver"))
        run.check([r["type"] for r in denver.records] == list(reversed(UNKNOWN_TYPES)) and
                  all("no instant (file day" in r["time"] for r in denver.records),
                  "pc-denver's records listed apart by file day, newest first, saying why")
        yesterday = [r for r in denver.records]
        day = re.search(r"file day (\d{4}-\d\d-\d\d)", yesterday[0]["time"]).group(1) if yesterday else "2000-01-01"
        by_day = run.dom(base + "/records?from=%sT00:00&to=%sT23:59" % (day, day))
        run.check("by file day for the time filter" in " ".join(by_day.text) and
                  any("pc-denver" in (t or "") for _, _, t in by_day.anchors),
                  "a time filter over their file day takes the records without an instant, saying so")

        # Filters: repeatable type, level and host; host in any case; the form offers them.
        serious = run.dom(base + "/records?type=ERROR&type=FATAL_ERROR")
        want = sum(t.get("ERROR", 0) + t.get("FATAL_ERROR", 0) for t in WRITTEN.values())
        run.check(len(serious.records) == want and {r["type"] for r in serious.records} == {"ERROR", "FATAL_ERROR"},
                  "type=ERROR&type=FATAL_ERROR: the %d errors and fatal errors (%d)" % (want, len(serious.records)))
        checked = [a.get("value") for tag, a in serious.elements if tag == "input" and "checked" in a]
        run.check(checked == ["ERROR", "FATAL_ERROR"], "the form shows both types ticked: %s" % checked)
        options = [a for tag, a in serious.elements if tag == "option"]
        run.check(any(tag == "select" and a.get("name") == "host" and "multiple" in a for tag, a in serious.elements),
                  "the form offers the site's hosts to choose several")
        two = run.dom(base + "/records?host=PC-ALPHA&host=pc-Beta&level=RELEASE&level=TRACE")
        run.check({r["host"] for r in two.records} == {"pc-alpha", "pc-beta"} and len(two.records) == 7 + 5,
                  "host=PC-ALPHA&host=pc-Beta matches both hosts without regard to case (%d)" % len(two.records))
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
        formulas = run.dom(base + "/records?host=pc-formula")
        run.check(sorted(r["td4"] for r in formulas.records) == sorted(f[0] for f in FORMULAS),
                  "the page shows formula-like sources unchanged")

        # A record's own page: every field and the records around it in its file.
        alpha_rows = run.dom(base + "/records?host=pc-alpha&limit=1000")
        links = keys(alpha_rows)
        middle = links[len(links) // 2] if links else "/record?id=0"
        one = run.dom(base + middle)
        fields = one.hosts  # not used: the fields are read from the DOM text below
        text = " ".join(one.text)
        offset = re.search(r"offset=(\d+)", middle)
        run.check(all(w in text for w in ("Coordinated Universal Time", "Log_", "Received (UTC)", "Instant (UTC)",
                                           "Time as written", "In UTC")) and offset and offset.group(1) in text,
                  "a record's page shows the time text as written, file, offset, received, instant and zone")
        around = [int(re.search(r"offset=(\d+)", k).group(1)) for k in keys(one)]
        run.check(len(around) >= 3 and around == sorted(around) and int(offset.group(1)) in around,
                  "the records around it in the same file, in file order: offsets %s" % around)
        status, _ = run.get(base + "/record?host=pc-alpha&file=x&day=2026-01-01&id=1")
        run.check(status == 404, "a record that is not there: 404")

        # Paging by key: Older, Newer and Newest follow on, filters and limit kept.
        check_paging(run, base, "host=pc-alpha&host=pc-beta", 4, 7 + 5)
        check_paging(run, base, "instant=unknown", 2, 1 + len(UNKNOWN_TYPES) + OLD_UNKNOWN)
        # Before 1970: the Older link of a 1900 record is taken back.
        check_paging(run, base, "host=pc-old", 1, OLD_KNOWN)
        check_paging(run, base, "host=pc-old&instant=unknown", 1, OLD_UNKNOWN)

        # A view that follows new records: reloaded by the browser, filters kept.
        follow = run.dom(base + "/records?host=pc-beta&type=ERROR&refresh=10")
        metas = [a for tag, a in follow.elements if tag == "meta" and a.get("http-equiv") == "refresh"]
        run.check([m.get("content") for m in metas] == ["10"] and len(follow.records) == 1,
                  "refresh=10: the page reloads itself every 10 s at the same address, without script")
        export = [h for _, h, _ in run.served(base + "/records?host=pc-alpha&limit=2&refresh=10").anchors
                  if h and h.startswith("/records.csv")]
        status, text = run.get(base + export[0]) if export else (0, "")
        run.check(status == 200 and text.count("\r\n") == 1 + 8,
                  "the view's export link gives all of the filter's rows, not the screen's: %s" % export)

        # Times in a chosen zone (summer: UTC+2 and UTC-4).
        for zone, shown in (("UTC", "2026-07-01 12:00:00"), ("Europe/Berlin", "2026-07-01 14:00:00"),
                            ("America/New_York", "2026-07-01 08:00:00")):
            status, page = run.get(base + "/records?host=pc-gamma&level=DEBUG&zone=" + zone)
            view = Dom(page)
            run.check(status == 200 and [r.get("time") for r in view.records] == [shown] and
                      ("Time (%s)" % zone) in page, "zone %s shows %s" % (zone, shown))

        # Export: same filters, RFC 4180, formula cells as text.
        status, text = run.get(base + "/records.csv?host=pc-gamma")
        table = list(csv.reader(io.StringIO(text, newline="")))
        run.check(status == 200 and table[0] == HEADER.split(","), "CSV header")
        sources = {row[6]: row for row in table[1:]}
        run.check(len(table) == 5 and TRICKY_SOURCE in sources and
                  sources[TRICKY_SOURCE][7] == 'plain, with "quotes"', "CSV quoting gives back the fields")
        run.check('"Module ""Pump"", step 3\nline two"' in text and text.endswith("\r\n"),
                  "CSV quotes doubled, line ends CR LF")
        run.check(sources.get("zone check", [""] * 3)[2] == "2026-07-01T12:00:00Z", "CSV utc as YYYY-MM-DDTHH:MM:SSZ")
        status, text = run.get(base + "/records.csv?host=pc-formula")
        cells = sorted((r[6], r[7]) for r in list(csv.reader(io.StringIO(text, newline="")))[1:])
        run.check(cells == sorted(("'" + s, "'" + m) for s, m in FORMULAS),
                  "CSV cells starting with = + - @ tab CR begin with ': %s" % cells)
        status, text = run.get(base + "/records.csv?host=pc-alpha")
        rows = list(csv.reader(io.StringIO(text, newline="")))[1:]
        run.check(len(rows) == 8 and rows[-1][2] == "" and all(r[2] for r in rows[:-1]),
                  "the export holds the records with an instant, then those without")
        status, text = run.get(base + "/records.csv?host=" + urllib.parse.quote(INJECTION))
        run.check(status == 200 and text == HEADER + "\r\n", "CSV for the injection host: the header alone")

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
        bulk = run.dom(base + "/records?host=pc-bulk&limit=5")
        run.check("More than 1000 records match" in " ".join(bulk.text), "past 1000 the count says more than")

        # Bad parameters, unknown ones too: 400 naming which.
        for path, name in (("/?zone=Mars/Olympus", "zone"), ("/?hours=0", "hours"), ("/records?type=oops", "type"),
                           ("/records?level=%27%20OR%201%3D1%20--", "level"), ("/records?from=2026-13-01", "from"),
                           ("/records?before=xyz", "before"), ("/records?limit=100000", "limit"),
                           ("/records.csv?limit=0", "limit"), ("/records?q=%FF", "q"), ("/records.csv?to=noon", "to"),
                           ("/records?tz=Europe/Berlin", "tz"), ("/?hour=3", "hour"), ("/records.csv?refresh=10", "refresh"),
                           ("/records?type=ERROR&type=nope", "type"), ("/records?refresh=5", "refresh"),
                           ("/record?host=a&file=b&day=2026-02-30&id=1", "day"), ("/record?host=a", "file")):
            status, body = run.get(base + path)
            run.check(status == 400 and ("'%s'" % name) in body, "%s -> 400 naming %s" % (path, name))

        # Screenshots of each view, each checked to show the page and its data.
        run.screenshot(base + "/", "overview", ["pc-alpha", "Latest error", "fatal error"])
        run.screenshot(base + "/?zone=Europe/Berlin&hours=6", "overview-berlin-6h", ["Europe/Berlin", "pc-beta"])
        run.screenshot(base + "/?hours=744", "overview-31-days", ["Per day", "pc-alpha"])
        run.screenshot(base + "/records", "records", ["Listed apart", "pc-denver", "records match"])
        run.screenshot(base + "/records?type=ERROR&type=FATAL_ERROR&refresh=30", "records-errors",
                       ["reloading every 30 s", "FATAL_ERROR"])
        run.screenshot(base + "/records?instant=unknown", "records-without-instant", ["by file day", "pc-denver"])
        run.screenshot(base + middle, "record", ["Time as written", "Around it in"])
        # The check itself: an error page or a blank one is refused.
        run.screenshot(base + "/records?tz=x", "error-page", ["records match"], expect=False)
        run.screenshot("about:blank", "blank", [], expect=False)

        # Health: 200 while the store answers, 503 when it does not, naming no path.
        status, body = run.get(base + "/health")
        newest = run.sql("select to_char(max(received) at time zone 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') "
                         "from vardel.records where host not in ('pc-bulk', 'pc-old') and file_offset <> 999999").strip()
        run.check(status == 200 and body == "ok: the store answers; newest record received %s\n" % newest,
                  "health 200 with the newest record received: " + body.strip())
        dead, _ = run.start_page("host=127.0.0.1 port=%d dbname=vardel user=vardel_reader" % free_port(), "dead")
        status, body = run.get(dead + "/health")
        run.check(status == 503 and "does not answer" in body and "127.0.0.1" not in body,
                  "health 503 with no store, naming no address: " + body.strip())
        subprocess.run(["bash", CLUSTER, "stop", run.pg], check=True, timeout=120)
        for path in ("/health", "/records", "/"):
            status, body = run.get(base + path)
            run.check(status == 503 and "does not answer" in body and run.socket not in body,
                      "%s 503 once the store stopped, naming no socket: %s" % (path, body.strip()))
    finally:
        run.close()
    return run.result()


if __name__ == "__main__":
    sys.exit(main())
