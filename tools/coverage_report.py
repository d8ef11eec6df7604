"""Prints the line coverage that tools/coverage gathered: coverage_report.py ROOT

Reads every count file (.gcda) of the native and the MinGW coverage builds with that build's
gcov, joins the two builds' lines of config/, installer/ and platform/ (a line ran when it ran
in either), and prints per source file the lines run out of the lines that can run, with the
lines that never ran, then the total.
"""

import json
import os
import subprocess
import sys

# Each coverage build's folder below the root, and the gcov that reads its counts.
BUILDS = {"build/coverage": "gcov", "build/coverage-mingw": "x86_64-w64-mingw32-gcov"}
SOURCES = ("config/", "installer/", "platform/")


def count_files(root):
    """Every count file of the builds, as (gcov, folder, file name)."""
    return [(gcov, folder, name) for build, gcov in BUILDS.items()
            for folder, _, names in os.walk(os.path.join(root, build))
            for name in names if name.endswith(".gcda")]


def lines_run(root):
    """Per source file, each line that can run and whether either build ran it."""
    runs = {}
    for gcov, folder, name in count_files(root):
        out = subprocess.run([gcov, "--json-format", "--stdout", os.path.join(folder, name)],
                             capture_output=True, check=True, cwd=folder).stdout
        for line in out.splitlines():
            for entry in json.loads(line)["files"]:
                # The build maps the source folder to ".", so that names are relative to it.
                path = os.path.relpath(os.path.join(root, entry["file"]), root)
                if not path.startswith(SOURCES):
                    continue
                lines = runs.setdefault(path, {})
                for item in entry["lines"]:
                    number = item["line_number"]
                    lines[number] = lines.get(number, False) or item["count"] > 0
    return runs


def report(runs):
    """Prints each file's share of lines run, the lines never run, and the total."""
    total = ran = 0
    for path in sorted(runs):
        lines = runs[path]
        hit = sum(lines.values())
        total, ran = total + len(lines), ran + hit
        missed = [n for n, r in sorted(lines.items()) if not r]
        print(f"{path}: {hit}/{len(lines)} = {100 * hit / len(lines):.1f} %  never run: {missed}")
    print(f"all: {ran}/{total} = {100 * ran / total:.1f} %")


if __name__ == "__main__":
    report(lines_run(sys.argv[1]))
