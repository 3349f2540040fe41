#!/usr/bin/env python3
"""The x64 package and the shipper, in a fresh Wine prefix of its own (a
copy of the package tests' pristine one): a COLLECTOR that is not HOST:PORT
is refused with nothing installed; COLLECTOR=127.0.0.1:PORT with plain RELP
installs and starts the service VardelShipper, whose records arrive at the
collector (collect/central.conf under Debian's rsyslogd); removal stops the
service and removes it.

    shipper_package_test.py BUILD_DIR PACKAGE.msi
Exit 1 names what failed; 77 when the package is not built.
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shipper_support as t  # noqa: E402


def main():
    build, msi = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not os.path.exists(msi):
        print('SKIPPED: %s is not built (scripts/package.sh builds it)' % msi)
        return 77
    root = os.path.join(build, 'installer', 'prefixes')
    os.makedirs(root, exist_ok=True)
    wine = '/usr/lib/wine/wine64' if os.path.exists('/usr/lib/wine/wine64') else shutil.which('wine64')
    server = '/usr/lib/wine/wineserver64' if os.path.exists('/usr/lib/wine/wineserver64') else shutil.which('wineserver')
    env = dict(os.environ, WINEDEBUG='-all', WINEARCH='win64', TZ='UTC', WINEDLLOVERRIDES='mscoree,mshtml=')
    pristine = os.path.join(root, 'pristine')
    with open(os.path.join(root, '.lock'), 'w') as lock:
        subprocess.run(['flock', '-x', str(lock.fileno())], pass_fds=(lock.fileno(),))
        if not os.path.exists(os.path.join(pristine, 'system.reg')):
            shutil.rmtree(pristine, ignore_errors=True)
            subprocess.run([wine, 'wineboot', '-i'], env=dict(env, WINEPREFIX=pristine), capture_output=True)
            subprocess.run([server, '-w'], env=dict(env, WINEPREFIX=pristine))
    prefix = os.path.join(root, 'x64-shipper')
    shutil.rmtree(prefix, ignore_errors=True)
    shutil.copytree(pristine, prefix, symlinks=True)
    env['WINEPREFIX'] = prefix
    run = tempfile.mkdtemp(prefix='vardel-shipper-msi-')
    port = t.free_port()
    collector = t.Collector(run, port)

    def w(*args):
        return t.run_wine(wine, args, env)

    def state():
        out = w('sc', 'query', 'VardelShipper').stdout
        return out.split('STATE')[1].split()[2] if 'STATE' in out else 'ABSENT'

    package = 'Z:' + msi.replace('/', '\\')
    try:
        for bad in ('127.0.0.1', ':514', '127.0.0.1:', 'host 1:514'):
            r = w('msiexec', '/i', package, 'COLLECTOR=' + bad, '/qn')
            # ERROR_INSTALL_FAILURE (1603), as Wine's loader exits: its low 8 bits.
            t.check(r.returncode == 1603 & 0xff, 'COLLECTOR=%s: msiexec gave %d, not 1603 & 0xff (refused)' % (
                bad, r.returncode))
            t.check(state() == 'ABSENT', 'COLLECTOR=%s: the service is %s' % (bad, state()))
        logs = os.path.join(prefix, 'drive_c', 'Korvane', 'VardelLogs')
        os.makedirs(logs, exist_ok=True)
        model = t.Model()
        model.write(logs, t.day_name(1), 0, 400)
        collector.start()
        r = w('msiexec', '/i', package, 'COLLECTOR=127.0.0.1:%d' % port, 'SHIPPERPLAIN=1', 'SHIPPERHOST=' + t.PC, '/qn')
        t.check(r.returncode == 0, 'install with COLLECTOR: msiexec gave %d' % r.returncode)
        t.wait_for(lambda: state() == 'RUNNING', 'the service running after install', 60)
        t.wait_all(model, collector)
        t.verify(model, collector, exact=True)
        r = w('msiexec', '/x', package, '/qn')
        t.check(r.returncode == 0, 'removal: msiexec gave %d' % r.returncode)
        t.check(state() == 'ABSENT', 'after removal the service is %s' % state())
    finally:
        if collector.proc and collector.proc.poll() is None:
            collector.stop()
        subprocess.run([server, '-k'], env=env)
    if t.failures:
        print('%d failure(s); kept: %s and %s' % (len(t.failures), run, prefix))
        return 1
    shutil.rmtree(run)
    shutil.rmtree(prefix, ignore_errors=True)
    print('passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
