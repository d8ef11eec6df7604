"""Runs the benchmarks and prints their tables (Markdown).

usage: run.py BUILD MINGW_BUILD DATA_DIR

Reader: ini_read_file plus ini_destroy, and the comparison parser storing the same sections and
key/value pairs, over generated files of 1, 10 and 100 MB in two shapes; the native build and,
for scaling, the MinGW build under Wine. Installation: a whole silent run against a shell
script doing the same copies with cp.
"""

import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

MB = 1024 * 1024
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


SHAPES = {"short": short_lines, "long": long_lines}


def make_inputs(data):
    data.mkdir(parents=True, exist_ok=True)
    for shape, make in SHAPES.items():
        for size in SIZES:
            path = data / f"{shape}-{size}.ini"
            if not path.exists() or path.stat().st_size < size * MB:
                path.write_bytes(make(size * MB))


def measure(command, repeat):
    """Best seconds per parse and peak memory growth (KiB) that bench_reader reports."""
    out = subprocess.run(command + [str(repeat)], capture_output=True, check=True, text=True,
                         env={**os.environ, "WINEDEBUG": "-all"}).stdout.split()
    return float(out[0]), int(out[1]), int(out[2]), int(out[3])


def reader_tables(build, mingw, data):
    native = str(build / "bench" / "bench_reader")
    windows = str(mingw / "bench" / "bench_reader.exe")
    print("### Reader throughput (native build, best of several runs)\n")
    print("| shape | size | ours MB/s | ours peak MiB | inih MB/s | inih peak MiB | "
          "speed, ours / inih |")
    print("|---|---|---|---|---|---|---|")
    results = {}
    for shape in SHAPES:
        for size in SIZES:
            path = str(data / f"{shape}-{size}.ini")
            repeat = 5 if size < 100 else 3
            ours = measure([native, "ours", path], repeat)
            theirs = measure([native, "inih", path], repeat)
            results[(shape, size)] = ours
            print(f"| {shape} | {size} MB | {size / ours[0]:.0f} | {ours[1] / 1024:.0f} | "
                  f"{size / theirs[0]:.0f} | {theirs[1] / 1024:.0f} | "
                  f"{theirs[0] / ours[0]:.2f} |")
    print("\n### Scaling: 100 MB against 10 MB (1.0 x 10 is linear)\n")
    print("| build | shape | time ratio | peak memory ratio |")
    print("|---|---|---|---|")
    for shape in SHAPES:
        big, small = results[(shape, 100)], results[(shape, 10)]
        print(f"| native (glibc) | {shape} | {big[0] / small[0]:.1f} | {big[1] / small[1]:.1f} |")
    if Path(windows).exists():
        for shape in SHAPES:
            big = measure(["wine", windows, "ours", f"Z:{data}/{shape}-100.ini"], 1)
            small = measure(["wine", windows, "ours", f"Z:{data}/{shape}-10.ini"], 3)
            print(f"| MinGW under Wine | {shape} | {big[0] / small[0]:.1f} | "
                  f"{big[1] / small[1]:.1f} |")


LAUNCHERS = ["zvn.exe", "wzvn.exe", "zvnc.exe", "brenvik.exe", "tamsel.exe", "quorrin.exe"]

CP_SCRIPT = """#!/bin/sh
set -e
r=$1
mkdir -p "$r/bin"
for f in zvn.exe wzvn.exe zvnc.exe brenvik.exe tamsel.exe quorrin.exe; do
    cp "$r/zrun-5.7/bin/$f" "$r/bin/$f"
done
cp "$r/releases/R9/launch_bare.seq" "$r/releases/R9/launch_vantor.seq" "$r/bin/"
cp "$r/bin/launch_bare.seq" "$r/bin/launch.seq"
printf '[zorvan]\\nBindir=%s\\nProgname=zvn\\nRootdir=%s\\n' "$r/zrun-5.7/bin" "$r" \\
    > "$r/zrun-5.7/bin/zvn.ini"
cp "$r/zrun-5.7/bin/zvn.ini" "$r/bin/zvn.ini"
"""


def installation_table(build, data):
    root = data / "tree"
    shutil.rmtree(root, ignore_errors=True)
    (root / "zrun-5.7" / "bin").mkdir(parents=True)
    (root / "releases" / "R9").mkdir(parents=True)
    (root / "Install.ini").write_bytes(b"[Install]\nVSN=5.7\nSYSTEM_VSN=R9\n")
    for name in LAUNCHERS:
        (root / "zrun-5.7" / "bin" / name).write_bytes(os.urandom(4 * MB))
    for name in ["launch_bare.seq", "launch_vantor.seq"]:
        (root / "releases" / "R9" / name).write_bytes(os.urandom(64 * 1024))
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
    print("\n### Installation: six 4 MB launchers, two boot files (median of 15 runs)\n")
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
