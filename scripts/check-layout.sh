#!/usr/bin/env bash
# Checks the layout rules of src/: each folder includes only folders listed before it (the
# folder graph has no cycle, the entry on top), and every function a header declares is defined
# in the source file of the same name. Prints what breaks them; exits 1 when anything does.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 - <<'PY'
import glob, os, re, sys
order = ["base", "config", "core", "api", "install", "service", "app"]
problems = []
checked = 0
for folder in order:
    allowed = set(order[: order.index(folder) + 1])
    for path in sorted(glob.glob(f"src/{folder}/*.*")):
        for used in re.findall(r'#include "(\w+)/', open(path).read()):
            if used not in allowed:
                problems.append(f"{path} includes {used}/, which is not below {folder}/")
declaration = re.compile(r"^(?!static|constexpr|using|typedef|struct|class|template|extern)(?=\w)"
                         r"[\w:<>,\*& ]+?[\s\*&](\w+)\(([^;{]*?)\)[^;{]*;", re.M | re.S)
for header in sorted(glob.glob("src/*/*.h")):
    text = re.sub(r"//[^\n]*", "", open(header).read())
    names = [m.group(1) for m in declaration.finditer(text)]
    if not names:
        continue
    source = header[:-2] + ".cpp"
    body = open(source).read() if os.path.exists(source) else ""
    checked += len(names)
    for name in names:
        if not re.search(rf"^[\w:<>,\*& ]*\b{name}\(", body, re.M):
            problems.append(f"{name} is declared in {header} but not defined in {source}")
for line in problems:
    print(line)
print(f"layout: {checked} declared functions, {len(problems)} problem(s)")
sys.exit(1 if problems else 0)
PY
