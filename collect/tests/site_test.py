#!/usr/bin/env python3
"""scripts/site.sh over a small folder: both lines printed, the records in
the store (and the page answering, where it is built), and after SIGTERM
nothing it started still running. A tool the set-up installs that is
missing, or a site.sh that does not start, fails the test (testenv)."""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import shutil
import urllib.request

import testenv

HERE = os.path.dirname(os.path.abspath(__file__))
SITE_SH = os.path.join(HERE, '..', '..', 'scripts', 'site.sh')
PG_BIN = os.environ.get('VARDEL_PG_BIN', '/usr/lib/postgresql/15/bin')
PSQL = os.path.join(PG_BIN, 'psql')
RECORD = b'Mon Dec 08 02:03:55 PM GMT Standard Time,ERROR,RELEASE,Site test %d,"message %d"\r\n'


def running_in(folder):
    """Processes whose command line or environment names the folder (the
    shippers' gate has it in its environment only)."""
    found = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            cmd = open('/proc/%s/cmdline' % pid, 'rb').read().replace(b'\0', b' ').decode(errors='replace')
            env = open('/proc/%s/environ' % pid, 'rb').read().decode(errors='replace')
        except OSError:
            continue
        if (folder in cmd or 'shipper-gate' in cmd and folder in env) and int(pid) != os.getpid():
            found.append(cmd)
    return found


def relp_opens(port):
    """True when a plain RELP open on 127.0.0.1:port is answered 200."""
    answer = b''
    try:
        with socket.create_connection(('127.0.0.1', port), 5) as s:
            s.settimeout(5)
            s.sendall(b'1 open 46 relp_version=0\nrelp_software=t\ncommands=syslog\n')
            while len(answer) < 20:
                more = s.recv(64)
                if not more:
                    break
                answer += more
    except OSError:
        pass
    return answer.startswith(b'1 rsp ') and b' 200 OK' in answer[:20]


def main():
    testenv.require_tool(shutil.which('rsyslogd') or '/usr/sbin/rsyslogd', 'rsyslogd')
    for tool in ('initdb', 'pg_ctl', 'psql'):
        testenv.require_tool(os.path.join(PG_BIN, tool), 'PostgreSQL\'s ' + tool)
    failures = []
    with tempfile.TemporaryDirectory(prefix='vardel-site.') as work:
        os.chmod(work, 0o755)
        logs = os.path.join(work, 'logs')
        os.mkdir(logs)
        open(os.path.join(logs, 'Log_2026_12_08.log'), 'wb').write(b''.join(RECORD % (i, i) for i in range(5)))
        env = dict(os.environ, VARDEL_SITE_DIR=os.path.join(work, 'site'), VARDEL_SITE_BUILD='0',
                   VARDEL_PC_NAME='SITE-PC')
        site = subprocess.Popen(['bash', SITE_SH, logs], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        lines = {}
        try:
            end = time.monotonic() + 90
            while 'store' not in lines and time.monotonic() < end:
                line = site.stdout.readline()
                if not line:  # site.sh ended: its exit code and stderr say why
                    site.wait(60)
                    break
                m = re.match(r'^(page|store|input: shippers|input: relp|input: syslog|input: syslog-lines):? (\S+)$', line.strip())
                if m:
                    lines[m.group(1)] = m.group(2)
            if 'store' not in lines:
                code = site.poll()
                print('FAILED: site.sh printed no store line%s; stderr:' % (
                    '' if code is None else ' and exited with %d' % code), site.stderr.read() if code is not None else '')
                return 1
            # A line per collector input, each listening where it says.
            for name in ('shippers', 'relp', 'syslog', 'syslog-lines'):
                where = lines.get('input: ' + name, '')
                m = re.match(r'^127\.0\.0\.1:([0-9]+)$', where)
                try:
                    socket.create_connection(('127.0.0.1', int(m.group(1))), 5).close() if m else None
                except OSError as e:
                    m = None
                    where += ' (%s)' % e
                if not m:
                    failures.append('input %s: %r' % (name, where or 'no line'))
            count = ''
            while count != '5' and time.monotonic() < end:
                r = subprocess.run([PSQL, '-X', '-At', lines['store'], '-c',
                                    "select count(*) from vardel.records where host = 'SITE-PC'"],
                                   capture_output=True, text=True)
                count = r.stdout.strip()
                time.sleep(0.2)
            if count != '5':
                failures.append('the store holds %r records of 5 (%s)' % (count, r.stderr.strip()))
            # The plain RELP input opens a session; the shippers' input
            # (TLS, the site's CA) gives none to plain RELP.
            for name, opens in (('input: relp', True), ('input: shippers', False)):
                if name not in lines:
                    failures.append('no "%s" line' % name)
                elif relp_opens(int(lines[name].rsplit(':', 1)[1])) != opens:
                    failures.append('%s: plain RELP %s a session' % (name, 'got no' if opens else 'got'))
            if 'page' in lines:
                with urllib.request.urlopen(lines['page'], timeout=10) as page:
                    if page.status != 200:
                        failures.append('the page answered %d' % page.status)
            else:
                print('note: no page line (the page is not built)')
        finally:
            site.send_signal(signal.SIGTERM)
            try:
                code = site.wait(60)
            except subprocess.TimeoutExpired:
                site.kill()
                code = 'none (killed)'
        if code != 0:
            failures.append('site.sh exited with %s after SIGTERM' % code)
        left = running_in(work)
        if left:
            failures.append('still running after SIGTERM: %s' % left)
            for cmd in left:
                print('left:', cmd)
    for f in failures:
        print('FAILED:', f)
    if not failures:
        print('site.sh started, stored, served and stopped everything')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
