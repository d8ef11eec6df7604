"""The distribution that Install finishes, described once: the names it installs, the sample
tree, the tree after an installation and the launcher configuration. tools/demo lays the sample
with `python3 tools/distribution.py lay DIR [PATH...]`; tools/package, the benchmarks and both
suites import it; tests/test_evidence.py checks that the program's own lists agree."""

import sys
from pathlib import Path

VSN, SYSTEM_VSN = "5.7", "R9"
LAUNCHERS = ["zvn.exe", "wzvn.exe", "zvnc.exe", "brenvik.exe", "tamsel.exe", "quorrin.exe"]
BOOT_FILES = ["launch_bare.seq", "launch_vantor.seq"]  # minimal, full
ACTIVE_BOOT, CONFIGURATION = "launch.seq", "zvn.ini"
MANIFEST = b"; Install manifest of the sample distribution\n[Install]\nVSN = 5.7\nSYSTEM_VSN = R9\n"


def sample_contents(name):
    """What the sample's files hold: a line that names each."""
    if name in BOOT_FILES:
        return b"boot: minimal\n" if name == BOOT_FILES[0] else b"boot: vantor\n"
    return f"sample launcher {name[:-4]}\n".encode()


def files(manifest=MANIFEST, contents=sample_contents, skip=()):
    """The unpacked tree as {path: bytes}: the manifest (unless None), the six launchers and the
    two boot files, but those in skip (by file name, or by path in the tree)."""
    out = {} if manifest is None else {"Install.ini": manifest}
    for folder, names in ((f"zrun-{VSN}/bin", LAUNCHERS), (f"releases/{SYSTEM_VSN}", BOOT_FILES)):
        for name in names:
            if name not in skip and f"{folder}/{name}" not in skip:
                out[f"{folder}/{name}"] = contents(name)
    return out


def lay(root, **what):
    """Lays the unpacked tree (files() of what) under root, with both of its folders."""
    root = Path(root)
    for folder in (f"zrun-{VSN}/bin", f"releases/{SYSTEM_VSN}"):
        (root / folder).mkdir(parents=True, exist_ok=True)
    for path, data in files(**what).items():
        (root / path).write_bytes(data)


def escape(text):
    """The configuration format's escaping, as the program's writer applies it."""
    return text.replace("\\", "\\\\").replace(";", "\\;")


def zvn_ini(root, vsn=VSN, encoding="latin-1"):
    """The launcher configuration for root (the program's form of the root's path)."""
    bindir = f"{root}\\zrun-{vsn}\\bin"
    return (f"[zorvan]\nBindir={escape(bindir)}\nProgname=zvn\nRootdir={escape(root)}\n"
            .encode(encoding))


def installed(stage, root, vsn=VSN, full_boot=False, encoding="latin-1"):
    """The files after an installation ({path: bytes}) over the files of stage, in the root that
    the program was given as root."""
    out = dict(stage)
    for name in LAUNCHERS:
        if f"zrun-{vsn}/bin/{name}" in stage:
            out[f"bin/{name}"] = stage[f"zrun-{vsn}/bin/{name}"]
    for name in BOOT_FILES:
        out[f"bin/{name}"] = stage[f"releases/{SYSTEM_VSN}/{name}"]
    out[f"bin/{ACTIVE_BOOT}"] = stage[f"releases/{SYSTEM_VSN}/{BOOT_FILES[full_boot]}"]
    out[f"zrun-{vsn}/bin/{CONFIGURATION}"] = out[f"bin/{CONFIGURATION}"] = zvn_ini(
        root, vsn, encoding)
    return dict(sorted(out.items()))


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "lay":
        sys.exit("usage: distribution.py lay DIR [PATH...]")
    lay(sys.argv[2], skip=sys.argv[3:])
