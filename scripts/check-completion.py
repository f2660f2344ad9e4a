#!/usr/bin/env python3
"""The bash completion lists, for each command, what `backoffice COMMAND --help`
lists: the same subcommands and options, and every command has its line."""
import re
import subprocess
import sys

binary, script = sys.argv[1], sys.argv[2]
listed = {m.group(1): set(m.group(2).split())
          for m in re.finditer(r'^\s*"([^"]*)"\) words="([^"]*)"', open(script).read(), re.M)}


def described(path):
    text = subprocess.run([binary, *path.split(), "--help"], capture_output=True, text=True, check=True).stdout
    words, section = set(), None
    for line in text.splitlines():
        if line.endswith(":") and not line.startswith(" "):
            section = line
            continue
        m = re.match(r"^  (\S+)", line)
        if not m:
            continue
        if section == "Options:":
            words.update(w for w in m.group(1).split(",") if w.startswith("--"))
        elif section == "Subcommands:":
            words.add(m.group(1))
    return words


failures, todo, seen = [], [""], set()
while todo:
    path = todo.pop()
    seen.add(path)
    want = described(path)
    if path == "":
        want.discard("help")
        want.add("help")
    if path not in listed:
        failures.append(f"no completion line for '{path}'")
        continue
    if listed[path] != want:
        failures.append(f"'{path}': completion lists {sorted(listed[path] - want)} too many, "
                        f"{sorted(want - listed[path])} missing")
    for word in want:
        if not word.startswith("-") and word != "help":
            todo.append(f"{path} {word}".strip())
commands = {w for w in described("") if not w.startswith("-")} - {"help"}
if listed.get("help") != commands | {"--help"}:
    failures.append("'help' does not list every command")
for f in failures:
    print(f)
print(f"{len(seen)} commands compared, {len(failures)} differences")
sys.exit(1 if failures else 0)
