#!/usr/bin/env python3
"""The README split by reader: every section of the README before the split
has a heading in README.md or docs/*.md, every relative link of those files
reaches an existing file and heading, each docs file is linked from the
README, and the README names both commands (CI runs the second)."""
import glob
import os
import re
import sys

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')

# The README's headings before the split -> where each section went.
MOVED = [
    ('# VardelEventLogger', 'README.md', 'VardelEventLogger'),
    ('## Which build where', 'docs/install.md', 'Which build where'),
    ('## Two commands (fresh Debian 12, as root)', 'README.md', 'Two commands (fresh Debian 12, as root)'),
    ('## Two commands: the paragraphs after them', 'docs/development.md', 'What the two commands do'),
    ('## Two commands: building the packages', 'docs/install.md', 'Building the packages'),
    ('## Install on Windows', 'docs/install.md', 'Install on Windows'),
    ('## Signing', 'docs/install.md', 'Signing'),
    ('## Layout', 'docs/development.md', 'Layout'),
    ('## For the operator: when events do not appear', 'docs/operator.md', 'When events do not appear'),
    ("## When the day's file refuses writes", 'docs/operator.md', "When the day's file refuses writes"),
    ('## Central collection', 'docs/collection.md', 'Central collection'),
    ("## The site's store and page", 'docs/store-and-page.md', "The site's store and page"),
    ('### The store (PostgreSQL)', 'docs/store-and-page.md', 'The store (PostgreSQL)'),
    ('### The instant of a record', 'docs/store-and-page.md', 'The instant of a record'),
    ('### The page', 'docs/store-and-page.md', 'The page'),
    ('## Benchmarks', 'docs/benchmarks.md', 'Benchmarks'),
]
COMMANDS = ['bash scripts/demo.sh', 'bash scripts/test.sh']


def prose(text):
    """The lines outside code blocks (fenced, or indented by four spaces)."""
    lines, fenced = [], False
    for line in text.split('\n'):
        if line.startswith('```'):
            fenced = not fenced
        elif not fenced and not line.startswith('    '):
            lines.append(line)
    return lines


def headings(text):
    return [m.group(1).strip() for m in (re.match(r'#{1,6} (.*)', l) for l in prose(text)) if m]


def anchors(text):
    """GitHub's anchors: lower case, punctuation but '-' and '_' dropped,
    spaces as '-', '-1', '-2', ... for repeats."""
    seen, out = {}, set()
    for h in headings(text):
        slug = re.sub(r'[^\w\- ]', '', h.replace('`', '').lower()).replace(' ', '-')
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        out.add(slug if n == 0 else '%s-%d' % (slug, n))
    return out


def links(text):
    for line in prose(text):
        line = re.sub(r'`[^`]*`', '``', line)
        yield from re.findall(r'\]\(([^)\s]+)\)', line)


def read(path):
    with open(os.path.join(TOP, path), encoding='utf-8') as f:
        return f.read()


def main():
    files = ['README.md'] + sorted(os.path.relpath(p, TOP) for p in glob.glob(os.path.join(TOP, 'docs', '*.md')))
    texts = {f: read(f) for f in files}
    faults = []
    for old, where, new in MOVED:
        if where not in texts or new not in headings(texts[where]):
            faults.append('%s: no heading "%s" in %s' % (old, new, where))
    for f, text in texts.items():
        for target in links(text):
            if re.match(r'[a-z]+:', target):
                continue
            path, _, anchor = target.partition('#')
            dest = os.path.normpath(os.path.join(os.path.dirname(f), path)) if path else f
            if not os.path.exists(os.path.join(TOP, dest)):
                faults.append('%s: link %s: no file %s' % (f, target, dest))
            elif anchor and anchor not in anchors(read(dest)):
                faults.append('%s: link %s: no heading #%s in %s' % (f, target, anchor, dest))
    readme_links = {os.path.normpath(t.partition('#')[0]) for t in links(texts['README.md'])}
    for f in files[1:]:
        if f not in readme_links:
            faults.append('README.md: no link to %s' % f)
    code = [l.strip() for l in texts['README.md'].split('\n') if l.startswith('    ')]
    for command in COMMANDS:
        if command not in code:
            faults.append('README.md: the command "%s" is not shown' % command)
    for fault in faults:
        print('FAIL', fault)
    print('%d sections, %d files checked, %d faults' % (len(MOVED), len(files), len(faults)))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
