#!/usr/bin/env python3
"""scripts/shipper-certs.sh's PC keys against Wine's PFX import, which
leaves a private number shorter than its fixed width unset (the shipper's
TLS then fails to sign): the script makes the key again until each number
has its width, and gives up after 20 keys. Its openssl's genrsa hands out
the keys of keys/ in the order a case gives, so each outcome is reached:
short-exponent.key (the private exponent a byte short: the PC key with which
shipper.relp.tls failed), short-exponent1.key (the first CRT exponent a byte
short), full.key.

    pc_keys_test.py
Exit 1 names what failed (a missing openssl included: set-up installs it).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from shipper_support import CERTS, HERE, check, finish  # noqa: E402

KEYS = os.path.join(HERE, 'keys')
FAKE = '''#!/bin/sh
# genrsa -out FILE BITS: the next key of the order file (its last one again
# once the list is used up), each call counted.
if [ "$1" = genrsa ]; then
  echo >>"$FAKE_DIR/calls"
  n=$(wc -l <"$FAKE_DIR/calls")
  key=$(sed -n "${n}p" "$FAKE_DIR/order"); [ -n "$key" ] || key=$(tail -n 1 "$FAKE_DIR/order")
  exec cp "$key" "$3"
fi
exec %s "$@"
'''


def widths(key):
    """The byte widths of a key's numbers, as openssl reads them (the test's
    own reading, not the script's)."""
    text = subprocess.run(['openssl', 'rsa', '-in', key, '-noout', '-text'], capture_output=True, text=True,
                          check=True).stdout
    return {name: len(bytes.fromhex(re.sub('[^0-9a-f]', '', body)).lstrip(b'\0'))
            for name, body in re.findall(r'^(\w+):\s*\n((?:[ \t]+[0-9a-f:]+\n)+)', text, re.M)}


def modulus(kind, path):
    """The modulus of the key in a key, certificate or PFX file."""
    if kind == 'pkcs12':
        pem = subprocess.run(['openssl', 'pkcs12', '-in', path, '-passin', 'pass:', '-nocerts', '-nodes'],
                             capture_output=True).stdout
        return subprocess.run(['openssl', 'rsa', '-noout', '-modulus'], input=pem, capture_output=True).stdout
    return subprocess.run(['openssl', kind, '-in', path, '-noout', '-modulus'], capture_output=True).stdout


def main():
    if not shutil.which('openssl'):
        print('FAILED: openssl is not installed (scripts/setup.sh installs it)')
        return 1
    run = tempfile.mkdtemp(prefix='vardel-pc-keys-')
    key = lambda name: os.path.join(KEYS, name + '.key')
    for name, short in (('full', None), ('short-exponent', 'privateExponent'), ('short-exponent1', 'exponent1')):
        w = widths(key(name))
        check([k for k in ('privateExponent', 'prime1', 'prime2', 'exponent1', 'exponent2', 'coefficient')
               if w[k] != w['modulus'] // (1 if k == 'privateExponent' else 2)] == ([short] if short else []),
              'keys/%s.key holds what its name says: %s' % (name, w))
    fake = os.path.join(run, 'bin')
    os.makedirs(fake)
    with open(os.path.join(fake, 'openssl'), 'w') as f:
        f.write(FAKE % shutil.which('openssl'))
    os.chmod(os.path.join(fake, 'openssl'), 0o755)
    subprocess.run(['bash', CERTS, os.path.join(run, 'ca'), 'ca'], check=True, stdout=subprocess.DEVNULL)
    # (keys handed out in order, keys made, the key the PC gets: None for none)
    for order, made, kept in ((['full'], 1, 'full'),
                              (['short-exponent', 'short-exponent1', 'full'], 3, 'full'),
                              (['short-exponent1', 'short-exponent'], 20, None)):
        case = os.path.join(run, '-'.join(order))
        shutil.copytree(os.path.join(run, 'ca'), case)
        with open(os.path.join(case, 'order'), 'w') as f:
            f.writelines(key(k) + '\n' for k in order)
        env = dict(os.environ, PATH=fake + os.pathsep + os.environ['PATH'], FAKE_DIR=case)
        out = subprocess.run(['bash', CERTS, case, 'pc', 'PC-A'], env=env, capture_output=True, text=True)
        calls = open(os.path.join(case, 'calls')).read().count('\n') if os.path.exists(os.path.join(case, 'calls')) else 0
        what = '%s: %d keys made, exit %d %s' % (order, calls, out.returncode, out.stderr.strip())
        check(calls == made and out.returncode == (0 if kept else 1), what)
        files = sorted(n for n in os.listdir(case) if n.startswith('pc-'))
        if kept:
            pc = os.path.join(case, 'pc-PC-A')
            check(open(pc + '.key').read() == open(key(kept)).read(), what + ': the PC got keys/%s.key' % kept)
            check(modulus('rsa', key(kept)).startswith(b'Modulus=') and
                  modulus('rsa', key(kept)) == modulus('x509', pc + '.pem') == modulus('pkcs12', pc + '.pfx'),
                  what + ': its certificate and PFX carry that key')
        else:
            check(files == [] and 'in 20 tries' in out.stderr, what + ': nothing left for the PC: %s' % files)
    return finish(run)


if __name__ == '__main__':
    sys.exit(main())
