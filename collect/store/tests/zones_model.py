"""The model the zone tests expect from, written apart from the store's
table and from zone-names.py: each Windows zone's names from a Wine
prefix's registry, its IANA zone from CLDR's windowsZones.xml, the offsets
from Python's zoneinfo.

    model(system_reg) -> {zone key: (standard name, daylight name, IANA zone)}
    expected(zones, name, local, site) -> (instant or None, why or None, zones)
"""
import datetime as dt
import os
import re
import subprocess
import xml.etree.ElementTree as ET
from zoneinfo import ZoneInfo

CLDR = '/usr/share/unicode/cldr/common/supplemental/windowsZones.xml'
UTC = dt.timezone.utc


def registry(system_reg):
    """{zone key: {'Std': .., 'Dlt': .., 'Display': ..}} of the direct subkeys
    of HKLM\\...\\Time Zones in a Wine prefix's system.reg."""
    head = '[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\Time Zones\\\\'

    def unescape(t):
        return re.sub(r'\\x([0-9a-fA-F]{1,4})|\\(.)',
                      lambda m: chr(int(m.group(1), 16)) if m.group(1) else m.group(2), t)
    zones, cur = {}, None
    with open(system_reg, encoding='utf-8') as f:
        for line in f:
            if line.startswith('['):
                path = line[:line.rfind(']')]
                sub = path[len(head):]
                cur = zones.setdefault(unescape(sub), {}) if path.startswith(head) and '\\\\' not in sub else None
            elif cur is not None:
                m = re.match(r'"(Std|Dlt|Display)"="(.*)"$', line.rstrip('\n'))
                if m:
                    cur[m.group(1)] = unescape(m.group(2))
    return zones


def std_offset(iana, year=2026):
    z = ZoneInfo(iana)
    return min(dt.datetime(year, m, 1, tzinfo=UTC).astimezone(z).utcoffset() for m in range(1, 13))


def display_offset(display):
    """`(UTC-07:00) ...` -> -7 hours; `(UTC) ...` -> 0; None without one."""
    m = re.match(r'\(UTC(?:([+-])(\d\d):(\d\d))?\)', display or '')
    if not m:
        return None
    if not m.group(1):
        return dt.timedelta(0)
    d = dt.timedelta(hours=int(m.group(2)), minutes=int(m.group(3)))
    return d if m.group(1) == '+' else -d


def model(system_reg):
    """{zone key: (standard name, daylight name, IANA zone)}: CLDR's territory
    001 zone, unless its standard offset this year is not the one Windows'
    zone shows, where CLDR's first other zone for it that has that offset
    (laws change; Windows keeps its zone's offset)."""
    first, others = {}, {}
    for z in ET.parse(CLDR).getroot().iter('mapZone'):
        if z.get('territory') == '001':
            first[z.get('other')] = z.get('type')
        else:
            others.setdefault(z.get('other'), []).extend(z.get('type').split())
    zones = {}
    for key, v in registry(system_reg).items():
        if key not in first:
            continue
        iana = first[key]
        want = display_offset(v.get('Display'))
        if std_offset(iana) != want:
            iana = next((z for z in others.get(key, []) if std_offset(z) == want), iana)
        zones[key] = (v['Std'], v['Dlt'], iana)
    return zones


def fitting(zones, name, local):
    """{IANA zone: the instants naive local time `local` can be there} for
    each zone that has the name `name` (or, `name` being 19 long as the
    writer cuts it, a name that begins with it) and could have written it
    then: `local` exists there and the name is the one in force (either of
    a zone whose two names are the same). Two instants in the hour a clock
    change repeats. Also the number of zones that have the name."""
    found, having = {}, 0
    for std, dlt, iana in zones.values():
        for daylight, zone_name in ((False, std), (True, dlt)):
            if not zone_name or not (zone_name == name or (len(name) == 19 and zone_name.startswith(name))):
                continue
            having += 1
            z, ok = ZoneInfo(iana), set()
            for fold in (0, 1):
                u = local.replace(tzinfo=z, fold=fold).astimezone(UTC)
                back = u.astimezone(z)
                if back.replace(tzinfo=None) == local and (std == dlt or bool(back.dst()) == daylight):
                    ok.add(int(u.timestamp()))
            if ok:
                found.setdefault(iana, set()).update(ok)
    return {k: frozenset(v) for k, v in found.items()}, having


def expected(zones, name, local, site=None):
    """What a record's name at naive local time `local` gives, with the site
    zone `site`: (epoch seconds, None, the zones that fit), or (None, why,
    the zones concerned) with why one of
    'unknown' (no zone has the name), 'fits none' (none of those that have
    it could have written it then), 'repeats' (only one fits, in the hour it
    repeats), 'different offsets' (those that fit disagree, and the site
    zone is not one of them)."""
    fit, having = fitting(zones, name, local)
    if not having:
        return None, 'unknown', []
    if not fit:
        return None, 'fits none', sorted({z for s, d, z in zones.values()
                                          if any(n and (n == name or (len(name) == 19 and n.startswith(name)))
                                                 for n in (s, d))})
    if len(set(fit.values())) > 1 and site in fit:
        fit = {site: fit[site]}
    readings = set(fit.values())
    if len(readings) > 1:
        return None, 'different offsets', sorted(fit)
    (reading,) = readings
    if len(reading) > 1:
        return None, 'repeats', sorted(fit)
    return next(iter(reading)), None, sorted(fit)


def make_prefix(folder):
    env = dict(os.environ, WINEPREFIX=folder, WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=')
    subprocess.run(['wineboot', '-i'], env=env, check=True, timeout=600,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(['wineserver', '-w'], env=env, check=True, timeout=600)
