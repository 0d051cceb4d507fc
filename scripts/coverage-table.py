#!/usr/bin/env python3
"""Merges the gcov JSON of the two coverage builds into one table.

    coverage-table.py SRC_DIR NATIVE_JSON WINE_JSON

Each JSON file holds the concatenated output of `gcov --json-format --stdout` for
every object of one build. A line counts once per file:line however many objects
instantiate it; it is executed when any object executed it. "either" is the union
of both builds' executed lines over the union of their instrumented lines.
Prints a Markdown table per folder of src/, one per *_win32.cpp file, and the
*_win32.cpp functions that no Windows-side run executed.
"""
import json
import os
import sys
from collections import defaultdict


def documents(path):
    decoder = json.JSONDecoder()
    with open(path, encoding="utf-8") as f:
        text = f.read()
    pos = 0
    while True:
        while pos < len(text) and text[pos].isspace():
            pos += 1
        if pos >= len(text):
            return
        doc, pos = decoder.raw_decode(text, pos)
        yield doc


def load(path, src):
    """{relative file: {line: executed}}, {(file, start line, name): executed}"""
    lines = defaultdict(dict)
    functions = {}
    for doc in documents(path):
        cwd = doc.get("current_working_directory", "")
        for entry in doc["files"]:
            name = os.path.normpath(os.path.join(cwd, entry["file"]))
            if not name.startswith(src + os.sep):
                continue
            rel = os.path.relpath(name, src)
            per_file = lines[rel]
            for line in entry["lines"]:
                n = line["line_number"]
                per_file[n] = per_file.get(n, False) or line["count"] > 0
            for fn in entry["functions"]:
                key = (rel, fn["start_line"], fn.get("demangled_name", fn["name"]))
                functions[key] = functions.get(key, False) or fn["execution_count"] > 0
    return lines, functions


def counts(per_file, files):
    total = executed = 0
    for f in files:
        for hit in per_file.get(f, {}).values():
            total += 1
            executed += hit
    return executed, total


def cell(executed, total):
    if total == 0:
        return "—"
    return f"{100.0 * executed / total:.1f} % ({executed}/{total})"


def main():
    src = os.path.realpath(sys.argv[1])
    native, _ = load(sys.argv[2], src)
    wine, wine_functions = load(sys.argv[3], src)

    union = {}
    for f in set(native) | set(wine):
        merged = dict(native.get(f, {}))
        for n, hit in wine.get(f, {}).items():
            merged[n] = merged.get(n, False) or hit
        union[f] = merged

    def folder(f):
        return f.split(os.sep)[0] if os.sep in f else "."

    groups = defaultdict(list)
    for f in union:
        groups[folder(f)].append(f)
    win32 = sorted(f for f in union if f.endswith("_win32.cpp"))

    print("| src/ | native | Wine | either |")
    print("|---|---|---|---|")
    rows = [(f"`{g}/`", groups[g]) for g in sorted(groups)]
    rows += [("all of src/", list(union)), ("`*_win32.cpp`", win32)]
    for label, files in rows:
        print(f"| {label} | {cell(*counts(native, files))} | {cell(*counts(wine, files))} "
              f"| {cell(*counts(union, files))} |")

    print()
    print("| `*_win32.cpp` file | Wine |")
    print("|---|---|")
    for f in win32:
        print(f"| `{f}` | {cell(*counts(wine, [f]))} |")

    missed = sorted(k for k, hit in wine_functions.items() if not hit and k[0].endswith("_win32.cpp"))
    print()
    print(f"`*_win32.cpp` functions no Windows-side run executed: {len(missed)}")
    for rel, line, name in missed:
        print(f"- `{rel}:{line}` {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
