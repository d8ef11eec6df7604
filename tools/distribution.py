"""The distribution that Install finishes, described once: the names it installs, the sample
tree, the tree after an installation and the launcher configuration. tools/demo lays the sample
with `python3 tools/distribution.py lay DIR [PATH...]`; tools/package, the benchmarks and both
suites import it; tests/test_evidence.py checks that the program's own lists agree."""

import sys
from pathlib import Path

VSN, SYSTEM_VSN = "5.7", "R9"
BIN = "bin"  # the root's folder that the installation fills
LAUNCHERS = ["zvn.exe", "wzvn.exe", "zvnc.exe", "brenvik.exe", "tamsel.exe", "quorrin.exe"]
BOOT_FILES = ["launch_bare.seq", "launch_vantor.seq"]  # minimal, full
ACTIVE_BOOT, CONFIGURATION, SECTION = "launch.seq", "zvn.ini", "zorvan"
# What a run that puts a file in place may leave beside it: the new file while it is written,
# and a running launcher set aside (platform/platform.h).
LEFT_BESIDE = (".tmp", ".old")
MANIFEST = b"; Install manifest of the sample distribution\n[Install]\nVSN = 5.7\nSYSTEM_VSN = R9\n"


def runtime_folder(vsn=VSN):
    """The runtime system's executables, below the root."""
    return f"zrun-{vsn}/bin"


def release_folder(system_vsn=SYSTEM_VSN):
    """The release's boot files, below the root."""
    return f"releases/{system_vsn}"


def sample_contents(name):
    """What the sample's files hold: a line that names each."""
    if name in BOOT_FILES:
        return b"boot: minimal\n" if name == BOOT_FILES[0] else b"boot: vantor\n"
    return f"sample launcher {name[:-4]}\n".encode()


def files(manifest=MANIFEST, contents=sample_contents, skip=()):
    """The unpacked tree as {path: bytes}: the manifest (unless None), the six launchers and the
    two boot files, but those in skip (by file name, or by path in the tree)."""
    out = {} if manifest is None else {"Install.ini": manifest}
    for folder, names in ((runtime_folder(), LAUNCHERS), (release_folder(), BOOT_FILES)):
        for name in names:
            if name not in skip and f"{folder}/{name}" not in skip:
                out[f"{folder}/{name}"] = contents(name)
    return out


def lay(root, **what):
    """Lays the unpacked tree (files() of what) under root, with both of its folders."""
    root = Path(root)
    for folder in (runtime_folder(), release_folder()):
        (root / folder).mkdir(parents=True, exist_ok=True)
    for path, data in files(**what).items():
        (root / path).write_bytes(data)


def escape(text):
    """The configuration format's escaping, as the program's writer applies it."""
    return text.replace("\\", "\\\\").replace(";", "\\;")


def configuration(root, vsn=VSN):
    """The launcher configuration's entries for root (the program's form of the root's path),
    unescaped, in the order they are written into its section."""
    return {"Bindir": f"{root}\\" + runtime_folder(vsn).replace("/", "\\"), "Progname": "zvn",
            "Rootdir": root}


def zvn_ini(root, vsn=VSN, encoding="latin-1"):
    """The launcher configuration for root, as the program writes it."""
    entries = "".join(f"{key}={escape(value)}\n" for key, value in configuration(root, vsn).items())
    return f"[{SECTION}]\n{entries}".encode(encoding)


def installed(stage, root, vsn=VSN, full_boot=False, encoding="latin-1"):
    """The files after an installation ({path: bytes}) over the files of stage, in the root that
    the program was given as root."""
    out = dict(stage)
    for name in LAUNCHERS:
        if f"{runtime_folder(vsn)}/{name}" in stage:
            out[f"{BIN}/{name}"] = stage[f"{runtime_folder(vsn)}/{name}"]
    for name in BOOT_FILES:
        out[f"{BIN}/{name}"] = stage[f"{release_folder()}/{name}"]
    out[f"{BIN}/{ACTIVE_BOOT}"] = stage[f"{release_folder()}/{BOOT_FILES[full_boot]}"]
    out[f"{runtime_folder(vsn)}/{CONFIGURATION}"] = out[f"{BIN}/{CONFIGURATION}"] = zvn_ini(
        root, vsn, encoding)
    return dict(sorted(out.items()))


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "lay":
        sys.exit("usage: distribution.py lay DIR [PATH...]")
    lay(sys.argv[2], skip=sys.argv[3:])
