#!/usr/bin/env python3
"""Checks the quoted includes of src/ and apps/backoffice/. Each names its layer
from the root of its tree ("platform/data/ado.h", "http/http_host.h"); a layer
includes only itself and the layers below it; a private header is included only
from its own folder. Prints each include that breaks a rule; exits 1 when there
is one.

    python3 scripts/check-includes.py
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / 'src'
APP = ROOT / 'apps' / 'backoffice'

# What each layer of src/ may include: itself and what lies below it.
BELOW = {
    'platform': {'platform'},
    'shared': {'shared', 'platform'},
    'interfaces': {'interfaces', 'platform'},
    'vendalo': {'vendalo', 'shared', 'interfaces', 'platform'},
    'ordexa': {'ordexa', 'shared', 'interfaces', 'platform'},
    'all': {'all', 'ordexa', 'vendalo', 'shared', 'interfaces', 'platform'},
}
APP_FOLDERS = {'commands', 'http', 'installation', 'batch'}

# Headers that belong to the code of their own folder: the database drivers'
# provider interface, and the pieces of a component that no caller needs.
PRIVATE = [
    'platform/data/driver.h',
    'ordexa/exchange/confirmation_inbox.h',
    'ordexa/exchange/export_file_lock.h',
    'ordexa/exchange/ftp_settings.h',
    'ordexa/exchange/xml_order_export.h',
    'ordexa/payment/card_checks.h',
    'ordexa/reqlink/form_post.h',
    'ordexa/reqlink/requisition_intake.h',
    'vendalo/basket_order_form.h',
    'vendalo/keys.h',
    'vendalo/price_maintenance.h',
    'vendalo/statement.h',
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def problems():
    for path in sorted(list(SRC.rglob('*.h')) + list(SRC.rglob('*.cpp')) + list(APP.rglob('*.h')) +
                       list(APP.rglob('*.cpp'))):
        in_src = SRC in path.parents
        where = path.relative_to(SRC if in_src else APP)
        layer = where.parts[0]
        text = path.read_text(encoding='utf-8')
        for match in INCLUDE.finditer(text):
            name = match.group(1)
            line = text.count('\n', 0, match.start()) + 1
            place = f'{path.relative_to(ROOT)}:{line}: "{name}"'
            top = name.split('/')[0]
            if (SRC / name).is_file():
                allowed = BELOW[layer] if in_src else set(BELOW)
                if top not in allowed:
                    yield f'{place} is of layer {top}, above {layer}'
                folder = str(pathlib.PurePosixPath(name).parent)
                if name in PRIVATE and not str(pathlib.PurePosixPath(*where.parts)).startswith(folder + '/') \
                        or name in PRIVATE and not in_src:
                    yield f'{place} is private to {folder}'
            elif not in_src and top in APP_FOLDERS and (APP / name).is_file():
                continue
            else:
                yield f'{place} does not name a header from the root of its layer'


def main():
    found = list(problems())
    for problem in found:
        print(problem)
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main())
