"""Runs the benchmarks and prints their tables (Markdown).

usage: run.py BUILD MINGW_BUILD DATA_DIR

Reader: ini_read_file plus ini_destroy against the reader it replaced and two floors, over
generated files of 1, 10 and 100 MiB in three shapes, all in one run; the native build and the
MinGW build under Wine. Installation: a whole silent run against a shell script doing the same
copies with cp.
"""

import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from distribution import (ACTIVE_BOOT, BOOT_FILES, CONFIGURATION, LAUNCHERS, SYSTEM_VSN,  # noqa: E402
                          VSN, lay)

MIB = 1024 * 1024
SIZES = [1, 10, 100]


def short_lines(size):
    """Many sections of short key lines, with comments and spaces around '='."""
    chunk = b"".join(
        b"[section %d]\nname = value %d\nflag=yes ; a comment\npath = C:\\\\R\\\\bin\n" % (i, i)
        for i in range(1000))
    return chunk * (size // len(chunk) + 1)


def long_lines(size):
    """Few long logical lines, each joined from many physical lines with escapes."""
    piece = b"text with \\; an escaped semicolon and \\\\ a backslash \\\n"
    line = b"key = " + piece * 2000 + b"end\n"
    chunk = b"[long]\n" + line * 5
    return chunk * (size // len(chunk) + 1)


def real_world(size):
    """A typical configuration: comments, blank lines, CRLF line ends and a few escapes."""
    chunk = b"".join(
        b"; Settings of service %d\r\n\r\n[service %d]\r\n; where it runs and how\r\n"
        b"name = service-%d\r\npath = C:\\\\Program Files\\\\Zorvan\\\\bin ; installed here\r\n"
        b"enabled = yes\r\ntimeout=30\r\nbanner = up\\; running\r\n\r\n" % (i, i, i)
        for i in range(1000))
    return chunk * (size // len(chunk) + 1)


SHAPES = {"short": short_lines, "long": long_lines, "real-world": real_world}
READERS = ["ours", "before", "scan", "lines"]


def make_inputs(data):
    data.mkdir(parents=True, exist_ok=True)
    for shape, make in SHAPES.items():
        for size in SIZES:
            path = data / f"{shape}-{size}.ini"
            if not path.exists() or path.stat().st_size < size * MIB:
                path.write_bytes(make(size * MIB))


def measure(command, repeat):
    """Best seconds per parse, peak memory growth (KiB), and the counts that bench_reader
    reports."""
    out = subprocess.run(command + [str(repeat)], capture_output=True, check=True, text=True,
                         env={**os.environ, "WINEDEBUG": "-all"}).stdout.split()
    return float(out[0]), int(out[1]), int(out[2]), int(out[3])


def reader_tables(build, mingw, data):
    native = str(build / "bench" / "bench_reader")
    native_heap = str(build / "bench" / "bench_reader_heap")
    windows = str(mingw / "bench" / "bench_reader.exe")
    print("### Reader throughput, native build (MiB/s, best of several runs)\n")
    print("| shape | size | ours | before | ours / before | floor: scan | floor: + a copy "
          "per line | peak MiB, ours | peak MiB, before |")
    print("|---|---|---|---|---|---|---|---|---|")
    results = {}
    for shape in SHAPES:
        for size in SIZES:
            path = str(data / f"{shape}-{size}.ini")
            repeat = 5 if size < 100 else 3
            got = {reader: measure([native, reader, path], repeat) for reader in READERS}
            peak = {reader: measure([native_heap, reader, path], 1)[1] for reader in
                    ("ours", "before")}
            if got["ours"][2:] != got["before"][2:]:
                sys.exit(f"the readers disagree on {path}: {got['ours']} {got['before']}")
            results[(shape, size)] = (got["ours"][0], peak["ours"])
            speed = {reader: size / got[reader][0] for reader in READERS}
            print(f"| {shape} | {size} | {speed['ours']:.0f} | {speed['before']:.0f} | "
                  f"{speed['ours'] / speed['before']:.2f} | {speed['scan']:.0f} | "
                  f"{speed['lines']:.0f} | {peak['ours'] / 1024:.0f} | "
                  f"{peak['before'] / 1024:.0f} |")
    print("\n### Scaling: 100 MiB against 10 MiB (10 is linear)\n")
    print("| build | shape | time ratio | peak memory ratio |")
    print("|---|---|---|---|")
    for shape in SHAPES:
        big, small = results[(shape, 100)], results[(shape, 10)]
        print(f"| native (glibc) | {shape} | {big[0] / small[0]:.1f} | {big[1] / small[1]:.1f} |")
    if not Path(windows).exists():
        return
    wine = {}
    for shape in SHAPES:
        for size in (10, 100):
            path = f"Z:{data}/{shape}-{size}.ini"
            repeat = 3 if size < 100 else 1
            wine[(shape, size)] = {reader: measure(["wine", windows, reader, path], repeat)
                                   for reader in ("ours", "before")}
        big, small = wine[(shape, 100)]["ours"], wine[(shape, 10)]["ours"]
        print(f"| MinGW under Wine | {shape} | {big[0] / small[0]:.1f} | "
              f"{big[1] / small[1]:.1f} |")
    print("\n### Reader throughput, MinGW build under Wine (MiB/s)\n")
    print("| shape | size | ours | before | ours / before |")
    print("|---|---|---|---|---|")
    for (shape, size), got in wine.items():
        ours, before = size / got["ours"][0], size / got["before"][0]
        print(f"| {shape} | {size} | {ours:.0f} | {before:.0f} | {ours / before:.2f} |")


# The same copies and configuration by sh and cp, for comparison.
CP_SCRIPT = f"""#!/bin/sh
set -e
r=$1
runtime="$r/zrun-{VSN}/bin"
mkdir -p "$r/bin"
for f in {" ".join(LAUNCHERS)}; do
    cp "$runtime/$f" "$r/bin/$f"
done
for f in {" ".join(BOOT_FILES)}; do
    cp "$r/releases/{SYSTEM_VSN}/$f" "$r/bin/$f"
done
cp "$r/bin/{BOOT_FILES[0]}" "$r/bin/{ACTIVE_BOOT}"
printf '[zorvan]\\nBindir=%s\\nProgname=zvn\\nRootdir=%s\\n' "$runtime" "$r" > "$runtime/{CONFIGURATION}"
cp "$runtime/{CONFIGURATION}" "$r/bin/{CONFIGURATION}"
"""


def installation_table(build, data):
    root = data / "tree"
    shutil.rmtree(root, ignore_errors=True)
    lay(root, contents=lambda name: os.urandom(64 * 1024 if name in BOOT_FILES else 4 * MIB))
    script = data / "install.sh"
    script.write_text(CP_SCRIPT)
    commands = {
        "Install -s": [str(build / "Install"), str(root), "-s"],
        "sh + cp": ["sh", str(script), str(root)],
    }
    times = {}
    for name, command in commands.items():
        runs = []
        for _ in range(15):
            shutil.rmtree(root / "bin", ignore_errors=True)
            start = time.perf_counter()
            subprocess.run(command, check=True)
            runs.append(time.perf_counter() - start)
        times[name] = statistics.median(runs)
    print("\n### Installation: six 4 MiB launchers, two boot files (median of 15 runs)\n")
    print("| command | median ms | ratio to sh + cp |")
    print("|---|---|---|")
    for name, seconds in times.items():
        print(f"| {name} | {seconds * 1000:.1f} | {seconds / times['sh + cp']:.2f} |")


def main():
    build, mingw, data = (Path(arg).resolve() for arg in sys.argv[1:4])
    make_inputs(data)
    reader_tables(build, mingw, data)
    installation_table(build, data)


if __name__ == "__main__":
    main()
