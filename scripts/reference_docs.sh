#!/usr/bin/env bash
# Writes the tables of docs/cli.md and docs/python.md and the keywords of python/hdrmeter/__init__.pyi again
# from the table of settings, with the reference program of a build (default build/): run it after adding
# or changing a setting; a test fails until the documents say what the table says.
set -euo pipefail
cd "$(dirname "$0")/.."
reference=${1:-build}/tools/hdrmeter/hdrmeter_reference
python3 - "$reference" <<'PYTHON'
import subprocess, sys
reference = sys.argv[1]
def made(part):
    return subprocess.run([reference, part], capture_output=True, text=True, check=True).stdout
def replace(path, begin, end, text):
    with open(path) as f:
        lines = f.read().split("\n")
    first = next(i for i, line in enumerate(lines) if line.startswith(begin))
    last = next(i for i in range(first + 1, len(lines)) if lines[i].startswith(end))
    lines[first + 1:last] = text.rstrip("\n").split("\n")
    with open(path, "w") as f:
        f.write("\n".join(lines))
replace("docs/cli.md", "<!-- settings: options", "<!-- settings: end", made("options"))
replace("docs/python.md", "<!-- settings: keywords", "<!-- settings: end", made("keywords"))
replace("python/hdrmeter/__init__.pyi", "# settings: measure keywords", "# settings: end", made("measure-stub"))
stub = open("python/hdrmeter/__init__.pyi").read()
merge_at = stub.index("# settings: merge keywords")
head, tail = stub[:merge_at], stub[merge_at:]
lines = tail.split("\n")
last = next(i for i in range(1, len(lines)) if lines[i].startswith("# settings: end"))
lines[1:last] = made("merge-stub").rstrip("\n").split("\n")
open("python/hdrmeter/__init__.pyi", "w").write(head + "\n".join(lines))
PYTHON
