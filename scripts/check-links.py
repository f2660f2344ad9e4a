#!/usr/bin/env python3
"""Checks the links of README.md and docs/*.md: every relative link names a
file or folder of the tree, and every #anchor a heading of the page it points
to (anchors made as the repository's web view makes them). Links to other
sites are not followed. Prints each broken link; exits 1 when there is one.

    python3 scripts/check-links.py
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
LINK = re.compile(r'\[[^\]]*\]\(([^)\s]+)\)')


def prose(text):
    """The text without fenced code blocks and inline code, where brackets are no links."""
    lines, fence = [], False
    for line in text.split('\n'):
        if line.lstrip().startswith('```'):
            fence = not fence
            lines.append('')
            continue
        lines.append('' if fence else re.sub(r'`[^`]*`', '``', line))
    return lines


def anchors(page):
    """The anchors of a page's headings; a repeated heading gets -1, -2, ..."""
    found, seen, fence = set(), {}, False
    for line in page.read_text(encoding='utf-8').split('\n'):
        if line.lstrip().startswith('```'):
            fence = not fence
            continue
        m = None if fence else re.match(r'^#{1,6} (.*)$', line)
        if not m:
            continue
        slug = re.sub(r'[^\w\- ]', '', m.group(1).strip().lower()).replace(' ', '-')
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        found.add(f'{slug}-{n}' if n else slug)
    return found


def main():
    pages = [ROOT / 'README.md'] + sorted((ROOT / 'docs').glob('*.md'))
    broken = 0
    for page in pages:
        for number, line in enumerate(prose(page.read_text(encoding='utf-8')), 1):
            for target in LINK.findall(line):
                if re.match(r'^[a-z]+:', target):
                    continue
                path, _, anchor = target.partition('#')
                file = (page.parent / path).resolve() if path else page
                why = None
                if not file.exists():
                    why = 'no such file'
                elif anchor and file.suffix == '.md' and anchor not in anchors(file):
                    why = 'no such heading'
                if why:
                    broken += 1
                    print(f'{page.relative_to(ROOT)}:{number}: {target}: {why}')
    print(f'{len(pages)} pages checked, {broken} broken link(s)')
    return 1 if broken else 0


if __name__ == '__main__':
    sys.exit(main())
