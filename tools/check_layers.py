#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it may not use.

Usage: check_layers.py <src folder>

Each folder under src/ is a layer; the table says which folders its files may include. A file may
always include its own folder. Every spelling counts, resolved the way the compiler finds the file:
a quoted include beside the including file first ("uX.h", "../app/x.h"), then from src/
("Tracer/com/x.h"); an include in angle brackets from src/ (<Tracer/com/x.h>). Files that resolve
outside the table (system and library headers) are not checked.
"""
import os
import re
import sys

LIB = ["lib/rtl", "lib/dgn/common", "lib/dgn/windows"]
# Layer -> the layers below it that it may include.
ALLOWED = {
    "lib/rtl": [],
    "lib/dgn/common": ["lib/rtl"],
    "lib/dgn/windows": ["lib/rtl", "lib/dgn/common"],
    "Tracer/foundation": LIB,
    "Tracer/com": LIB + ["Tracer/foundation"],
    "Tracer/engine": LIB + ["Tracer/foundation", "Tracer/com"],
    "Tracer/window": LIB + ["Tracer/foundation"],
    "Tracer/app": LIB + ["Tracer/foundation", "Tracer/com", "Tracer/engine", "Tracer/window"],
    "Tracer/program": LIB + ["Tracer/foundation", "Tracer/com", "Tracer/engine", "Tracer/window",
                             "Tracer/app"],
    "symgen": LIB,
    "vostik": LIB + ["Tracer/foundation", "Tracer/com", "Tracer/window"],
}
SOURCE = re.compile(r"\.(h|hpp|c|cpp|rc|idl)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)')


def layer_of(path):
    """The longest table entry that the path (relative to src/, with slashes) lies in."""
    best = None
    for layer in ALLOWED:
        if path == layer or path.startswith(layer + "/"):
            if best is None or len(layer) > len(best):
                best = layer
    return best


def resolve(root, folder, spelling, quoted):
    """The included file's path relative to root (with slashes), or None outside root."""
    spelling = spelling.replace("\\", "/")
    path = os.path.normpath(os.path.join(root, spelling))
    if quoted:
        beside = os.path.normpath(os.path.join(folder, spelling))
        # A relative spelling means the including file's folder even when the file is missing.
        if os.path.exists(beside) or spelling.startswith("."):
            path = beside
    rel = os.path.relpath(path, root).replace(os.sep, "/")
    return None if rel == ".." or rel.startswith("../") else rel


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = os.path.abspath(sys.argv[1])
    faults = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            if not SOURCE.search(name):
                continue
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, root).replace(os.sep, "/")
            own = layer_of(rel)
            if own is None:
                faults.append(f"{rel}: lies in no layer; add its folder to tools/check_layers.py")
                continue
            with open(full, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    quoted = m.group(1) is not None
                    spelling = m.group(1) if quoted else m.group(2)
                    included = resolve(root, folder, spelling, quoted)
                    target = layer_of(included) if included else None
                    if target is None or target == own or target in ALLOWED[own]:
                        continue
                    written = "" if spelling == included else f', written "{spelling}"'
                    faults.append(f"{rel}:{number}: {own} may not include {included} ({target}){written}")
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
