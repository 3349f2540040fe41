#!/usr/bin/env python3
"""The page against clients and a store that would hold it: slow headers, a
huge body, a body on a GET, headers past the limit, a store whose processes
are stopped (SIGSTOP). Each case has a bound; /health must answer within it
for others. A store that cannot start fails the test."""

import argparse
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request

from page_fixture import Run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from collect_test import outside_addresses  # noqa: E402

BOUND = 10.0  # seconds within which the page answers whatever else goes on
SLOW_CLIENTS = 8


def timed_get(url, bound=BOUND + 5):
    """(status, body, seconds) of a GET, the status None if none came."""
    start = time.monotonic()
    try:
        with urllib.request.urlopen(url, timeout=bound) as r:
            return r.status, r.read().decode("utf-8", "replace"), time.monotonic() - start
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode("utf-8", "replace"), time.monotonic() - start
    except OSError as e:
        return None, str(e), time.monotonic() - start


def rss_kib(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def raw_request(port, head, body_bytes=0, chunk=1 << 20):
    """Sends a request head and then up to body_bytes of body as fast as the
    page takes them; returns (status line or None, body bytes the page took
    before it closed)."""
    sent = 0
    with socket.create_connection(("127.0.0.1", port), timeout=BOUND) as s:
        s.sendall(head)
        block = b"x" * chunk
        try:
            while sent < body_bytes:
                n = s.send(block[:min(chunk, body_bytes - sent)])
                sent += n
        except OSError:
            pass
        try:
            answer = s.recv(4096)
        except OSError:
            answer = b""
    return (answer.split(b"\r\n")[0].decode() if answer else None), sent


def slow_client(port, stop, result, index, hanging):
    """Sends a request head a byte every 0.3 s until the page cuts it off
    (or `stop` is set); records how long the page let it hang on."""
    head = b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 400 + b"\r\n\r\n"
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=BOUND * 2) as s:
            for i, b in enumerate(head):
                if stop.is_set():
                    break
                s.send(bytes([b]))
                if i == 2:
                    hanging.release()  # its request is under way: it holds a connection now
                if stop.wait(0.3):
                    break
            result[index] = ("sent all", time.monotonic() - start)
    except OSError as e:
        result[index] = ("cut off", time.monotonic() - start)


def store_pids(run):
    """The store's processes: the postmaster and its children."""
    first = int(open(os.path.join(run.pg, "data", "postmaster.pid")).readline())
    pids = [first]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = open("/proc/%s/stat" % entry).read()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == first:
                pids.append(int(entry))
    return pids


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--page", required=True)
    ap.add_argument("--screenshots", default="")
    args = ap.parse_args()
    run = Run(args)
    stopped = []
    try:
        run.start_store()
        run.load()
        store = "host=%s port=%s dbname=vardel user=vardel_reader" % (run.socket, run.port)
        base, _ = run.start_page(store, "page")
        port = int(base.rsplit(":", 1)[1])
        page_pid = run.pages[-1].pid

        # The port is the page's alone: a second one cannot take a share of it.
        second = subprocess.Popen([args.page, "--port", str(port), "--store", store], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        try:
            _, err = second.communicate(timeout=BOUND)
        except subprocess.TimeoutExpired:
            second.kill()
            _, err = second.communicate()
            err = "it listens beside the first"
        run.check(second.returncode == 1 and "cannot listen" in err,
                  "a second page on the same port is refused: %s %s" % (second.returncode, err.strip()))

        # Another PC cannot reach it: by default it listens on the loopback
        # alone, not on the host's own addresses.
        for address in outside_addresses():
            try:
                socket.create_connection((address, port), timeout=BOUND).close()
                reached = True
            except OSError:
                reached = False
            run.check(not reached, "the page is reached on %s, the host's address for other machines" % address)

        # Eight clients sending their heads a byte at a time: others are served meanwhile.
        stop, result, hanging = threading.Event(), [None] * SLOW_CLIENTS, threading.Semaphore(0)
        threads = [threading.Thread(target=slow_client, args=(port, stop, result, i, hanging))
                   for i in range(SLOW_CLIENTS)]
        for t in threads:
            t.start()
        # /health is asked once every slow client has a request under way.
        run.check(all(hanging.acquire(timeout=BOUND) for _ in threads),
                  "the %d slow clients each hold a connection" % SLOW_CLIENTS)
        answers = [timed_get(base + "/health") for _ in range(3)]
        run.check(all(a[0] == 200 and a[2] < BOUND for a in answers),
                  "/health answers while %d slow clients hang on: %s" %
                  (SLOW_CLIENTS, [(a[0], round(a[2], 2)) for a in answers]))
        for t in threads:
            t.join(BOUND * 3)
        stop.set()
        run.check(all(r and r[0] == "cut off" and r[1] < BOUND for r in result),
                  "each slow client is cut off within %d s: %s" % (BOUND, [r and (r[0], round(r[1], 1)) for r in result]))

        # A body of 300 MiB: refused before it is read; the page's memory stays bounded.
        before = rss_kib(page_pid)
        for head in (b"POST /records HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (300 << 20),
                     b"GET /records HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (300 << 20),
                     b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"):
            start = time.monotonic()
            status, sent = raw_request(port, head, 300 << 20)
            took = time.monotonic() - start
            grown = rss_kib(page_pid) - before
            run.check(status is not None and status.split()[1] in ("400", "413") and sent < (300 << 20) and
                      took < BOUND and grown < 50 * 1024,
                      "%s: %s after %d MiB of 300 in %.1f s, memory grown %d KiB" %
                      (head.split(b"\r\n")[0].decode(), status, sent >> 20, took, grown))
        status, _ = raw_request(port, b"GET /health HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello")
        run.check(status is not None and " 400 " in status + " ", "a GET with a body is refused: %s" % status)
        status, _ = raw_request(port, b"GET /health HTTP/1.1\r\nHost: x\r\n" + b"X-Big: " + b"b" * 7000 + b"\r\n" * 1
                                + (b"X-More: " + b"c" * 7000 + b"\r\n") * 4 + b"\r\n")
        run.check(status is None or status.split()[1] in ("400", "431"),
                  "a head past the limit is refused: %s" % status)
        run.check(timed_get(base + "/health")[0] == 200, "/health still answers after the hostile requests")

        # The store's processes stopped: each view says so within the bound, naming no socket.
        stopped = store_pids(run)
        for pid in stopped:
            os.kill(pid, signal.SIGSTOP)
        answers = {}
        def ask(path):
            answers[path] = timed_get(base + path)
        askers = [threading.Thread(target=ask, args=(p,)) for p in ("/health", "/", "/records", "/records.csv")]
        for t in askers:
            t.start()
        for t in askers:
            t.join(BOUND * 2)
        for path, (status, body, took) in sorted(answers.items()):
            run.check(status == 503 and took < BOUND and "does not answer" in body and run.pg not in body,
                      "%s with the store stopped: %s in %.1f s: %s" % (path, status, took, body.strip()))
        for pid in stopped:
            os.kill(pid, signal.SIGCONT)
        stopped = []
        deadline = time.monotonic() + BOUND * 2
        status = None
        while time.monotonic() < deadline and status != 200:
            status = timed_get(base + "/health")[0]
        run.check(status == 200, "the page answers from the store again once it runs on")
    finally:
        for pid in stopped:
            os.kill(pid, signal.SIGCONT)
        run.close()
    return run.result()


if __name__ == "__main__":
    sys.exit(main())
