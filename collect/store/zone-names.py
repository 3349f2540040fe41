#!/usr/bin/env python3
"""Writes the rows of vardel.zone_names (schema/011_zone_names.sql) from
their two sources:

- the standard and daylight names (`Std`, `Dlt`) of every zone under
  HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones, read
  from a Wine prefix's system.reg (the names Windows' C run-time writes);
- CLDR's windowsZones.xml, whose territory "001" entry maps each Windows
  zone to the IANA zone whose history gives its offsets.

    zone-names.py [--prefix WINEPREFIX] [--cldr windowsZones.xml] [--out FILE]

The CLDR the system carries may be older than the Windows zones the PCs
run: CHANGED below corrects its map where a zone's IANA history no longer
gives what Windows' zone keeps today, and the output names each change.

Without --prefix a throw-away prefix is made with `wineboot -i` and removed.
Writes to standard output without --out. Exits 1 when Wine or CLDR is
missing or the prefix holds no registry, saying which.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import xml.etree.ElementTree as ET

CLDR = '/usr/share/unicode/cldr/common/supplemental/windowsZones.xml'
ZONES_KEY = r'Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\'

# Windows zone: (IANA zone it maps to now, what CLDR 41 said, why). Found by
# comparing each mapped IANA zone's offsets this year (Python's zoneinfo)
# with the offsets Windows' zone keeps; current CLDR maps both the same way.
# Zones whose IANA zone is right but whose Wine registry data is older than
# the law (Egypt's daylight time from 2023, Greenland's UTC-2 from 2023,
# Paraguay's all-year UTC-3 from 2024; the shown offset of Jordan, Syria
# and Volgograd, all-year UTC+3 from 2022 and 2020) need no change here:
# the instant follows the IANA zone's history.
CHANGED = {
    'Mountain Standard Time (Mexico)': (
        'America/Mazatlan', 'America/Chihuahua',
        'Mexico ended daylight time in October 2022 and Chihuahua moved to UTC-6 all year; '
        "Windows' zone stays UTC-7 all year (La Paz, Mazatlan), as Mazatlan is"),
    'Central Asia Standard Time': (
        'Asia/Bishkek', 'Asia/Almaty',
        'Kazakhstan moved to UTC+5 in March 2024 (Almaty with it); '
        "Windows' zone stays UTC+6 all year, as Bishkek is"),
}


def reg_string(text):
    """A system.reg string value's text: backslash escapes and \\xHHHH."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == '\\' and i + 1 < len(text):
            n = text[i + 1]
            if n == 'x':
                m = re.match(r'[0-9a-fA-F]{1,4}', text[i + 2:])
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
                continue
            out.append({'n': '\n', 'r': '\r', 't': '\t', '0': '\0'}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return ''.join(out)


def registry_zones(system_reg):
    """{zone key: (Std, Dlt)} for the direct subkeys of Time Zones."""
    zones, key = {}, None
    with open(system_reg, encoding='utf-8', errors='strict') as f:
        for line in f:
            line = line.rstrip('\n')
            if line.startswith('['):
                m = re.match(r'\[(.*)\](?: \d+)?$', line)
                path = m.group(1) if m else ''
                key = None
                if path.startswith(ZONES_KEY):
                    sub = path[len(ZONES_KEY):]
                    if '\\\\' not in sub:
                        key = reg_string(sub)
                        zones[key] = {}
                continue
            if key is not None:
                m = re.match(r'"(Std|Dlt)"="(.*)"$', line)
                if m:
                    zones[key][m.group(1)] = reg_string(m.group(2))
    return {k: (v.get('Std'), v.get('Dlt')) for k, v in zones.items()}


def cldr_map(path):
    """{Windows zone: IANA zone} from the territory "001" entries, and the
    CLDR data's type version."""
    root = ET.parse(path).getroot()
    found = {}
    version = next((t.get('typeVersion', '') for t in root.iter('mapTimezones')), '')
    for z in root.iter('mapZone'):
        if z.get('territory') == '001':
            found[z.get('other')] = z.get('type').split()[0]
    return found, version


def apply_changes(iana):
    """The CLDR map with CHANGED applied where this CLDR still has the old
    zone; each change's note for the output. A CLDR that maps the zone to
    a third one is newer than CHANGED: it is kept, and said on stderr."""
    notes = []
    for key, (now, was, why) in sorted(CHANGED.items()):
        if iana.get(key) == now:
            continue
        if iana.get(key) != was:
            print('zone-names: CLDR maps %s to %s, neither %s nor %s: kept; check CHANGED'
                  % (key, iana.get(key), was, now), file=sys.stderr)
            continue
        notes.append('%s: %s, not %s as CLDR had it: %s.' % (key, now, was, why))
        iana[key] = now
    return notes


def sql_text(s):
    return "'" + s.replace("'", "''") + "'"


def render(zones, iana, cldr_version, notes):
    mapped = sorted(k for k in zones if k in iana)
    unmapped = sorted(k for k in zones if k not in iana)
    lines = [
        '-- Generated by collect/store/zone-names.py: do not edit; run it again instead.',
        '-- Sources: the Std and Dlt names under HKLM\\SOFTWARE\\Microsoft\\Windows NT\\',
        '-- CurrentVersion\\Time Zones of a Wine prefix, and the territory "001" entries of',
        '-- CLDR\'s windowsZones.xml (type version %s).' % cldr_version,
        '-- Changed from that CLDR (zone-names.py\'s CHANGED says why):',
    ]
    lines += [l for n in notes for l in textwrap.wrap(n, 88, initial_indent='--   ', subsequent_indent='--     ')] \
        or ['--   (none)']
    lines += ['-- Left out, as CLDR maps them to no IANA zone:']
    lines += ['--   %s' % k for k in unmapped] or ['--   (none)']
    lines += ['BEGIN;', 'DELETE FROM vardel.zone_names;',
              'INSERT INTO vardel.zone_names (name, zone_key, iana, daylight) VALUES']
    rows = []
    for k in mapped:
        std, dlt = zones[k]
        for name, daylight in ((std, 'false'), (dlt, 'true')):
            if name:
                rows.append('(%s, %s, %s, %s)' % (sql_text(name), sql_text(k), sql_text(iana[k]), daylight))
    lines.append(',\n'.join(rows) + ';')
    lines.append('COMMIT;')
    return '\n'.join(lines) + '\n'


def make_prefix(folder):
    env = dict(os.environ, WINEPREFIX=folder, WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=')
    subprocess.run(['wineboot', '-i'], env=env, check=True, timeout=600,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # wineboot returns before wineserver has saved the registry.
    subprocess.run(['wineserver', '-w'], env=env, check=True, timeout=600)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--prefix')
    ap.add_argument('--cldr', default=CLDR)
    ap.add_argument('--out')
    a = ap.parse_args()
    if not os.path.isfile(a.cldr):
        print('CLDR windowsZones.xml missing: %s (package unicode-cldr-core)' % a.cldr, file=sys.stderr)
        return 1
    temp = None
    try:
        prefix = a.prefix
        if not prefix:
            if not shutil.which('wineboot'):
                print('Wine missing: no wineboot to make a prefix', file=sys.stderr)
                return 1
            temp = tempfile.mkdtemp(prefix='zone-names-')
            prefix = os.path.join(temp, 'prefix')
            make_prefix(prefix)
        system_reg = os.path.join(prefix, 'system.reg')
        if not os.path.isfile(system_reg):
            print('no registry in the prefix: %s' % system_reg, file=sys.stderr)
            return 1
        zones = registry_zones(system_reg)
        iana, version = cldr_map(a.cldr)
        notes = apply_changes(iana)
        text = render(zones, iana, version, notes)
    finally:
        if temp:
            shutil.rmtree(temp, ignore_errors=True)
    if a.out:
        with open(a.out, 'w', encoding='utf-8', newline='\n') as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == '__main__':
    sys.exit(main())
