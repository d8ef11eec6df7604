"""The Windows Installer package of tools/package under Wine's msiexec, in a fresh 64-bit prefix
of its own: installed, failed, upgraded and uninstalled, over the sample distribution and a
second version of it. Outcomes are checked, not exit codes: Wine cuts those to 8 bits."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from test_release import (ROOT, files_below, installed_tree, lay_sample, run,
                          throwaway_certificate, windows_path)

QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


@pytest.fixture(scope="module")
def wine(tmp_path_factory):
    """The environment of a new 64-bit prefix, set up as tools/test sets up the suites' one."""
    prefix = tmp_path_factory.mktemp("prefix")
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    try:
        for command in (["wineserver", "-p"], ["wineboot", "-i"], ["wine", "reg", "add",
                        r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"]):
            subprocess.run(command, env=env, check=True, timeout=300, **QUIET)
        yield env
    finally:
        subprocess.run(["wineserver", "-k"], env=env, **QUIET)
        shutil.rmtree(prefix)  # most of a gigabyte


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """Name -> (package, stage, VSN): the sample (signed), its next version, and the sample
    without a boot file, each staged with the release's Install.exe and built once."""
    folder = tmp_path_factory.mktemp("packages")
    run(["git", "clone", "--quiet", str(ROOT), str(folder / "clone")])
    run([str(folder / "clone" / "tools" / "release")], cwd=folder / "clone")
    key, cert = throwaway_certificate(folder)
    built = {"cert": cert}
    for name, vsn, options, left_out in [
            ("5.7", "5.7", ["--cert", str(cert), "--key", str(key)], []),
            ("5.8", "5.8", [], []),
            ("broken", "5.7", ["--version", "5.7.1"], ["releases/R9/launch_vantor.seq"])]:
        stage = folder / name / "stage"
        lay_sample(stage, *left_out)
        shutil.copy(folder / "clone" / "build" / "release" / "Install.exe", stage)
        if vsn != "5.7":  # a new runtime folder and a changed boot file
            (stage / "zrun-5.7").rename(stage / f"zrun-{vsn}")
            manifest = stage / "Install.ini"
            manifest.write_text(manifest.read_text().replace("VSN = 5.7", f"VSN = {vsn}"))
            (stage / "releases" / "R9" / "launch_bare.seq").write_text(f"boot: {vsn}\n")
        run([str(ROOT / "tools" / "package"), str(stage), "--out", str(folder / name), *options])
        built[name] = (next((folder / name).glob("*.msi")), stage, vsn)
    return built


def test_packages_are_signed_and_rebuilt_alike(packages, tmp_path):
    for signed in ["Zorvan-5.7.msi", "Zorvan-5.7-setup.exe"]:
        assert b"Signature verification: ok" in run(["osslsigncode", "verify", "-CAfile", str(
            packages["cert"]), "-in", str(packages["5.7"][0].with_name(signed))]).stdout
    shutil.copytree(packages["5.8"][1], tmp_path / "stage")  # other times and path, same files
    run([str(ROOT / "tools" / "package"), str(tmp_path / "stage"), "--out", str(tmp_path)])
    for built in ["Zorvan-5.8.msi", "Zorvan-5.8-setup.exe"]:
        assert (tmp_path / built).read_bytes() == packages["5.8"][0].with_name(built).read_bytes()


FLEET, DEFAULT = r"C:\Fleet Apps\Zorvan", r"C:\Program Files\Zorvan"
MISSING = "Could not find file C:\\Program Files\\Zorvan\\releases\\R9\\launch_vantor.seq\n"
# Steps: msiexec's action, the package, INSTALLDIR or None, whether msiexec succeeds, whose tree
# is then installed (or None: the folder is gone), and the log's contents (None: no log).
SCENARIOS = {
    "into a folder with a space, then removed": (FLEET, [
        ("/i", "5.7", FLEET, True, "5.7", ""),
        ("/x", "5.7", None, True, None, None)]),
    "upgraded, not downgraded, removed": (FLEET, [
        ("/i", "5.7", FLEET, True, "5.7", ""),
        ("/i", "5.8", None, True, "5.8", ""),
        ("/i", "5.7", None, False, "5.8", ""),
        ("/x", "5.8", None, True, None, None)]),
    "failed, leaving nothing but the log": (DEFAULT, [
        ("/i", "broken", None, False, None, MISSING)]),
}


@pytest.mark.parametrize("folder, steps", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_msiexec(wine, packages, folder, steps):
    drive = Path(wine["WINEPREFIX"]) / "drive_c"
    root, logs = drive / folder[3:].replace("\\", "/"), drive / "ProgramData" / "Zorvan"
    for action, name, installdir, succeeds, tree, log in steps:
        package = packages[name][0]
        if action == "/x":  # what a killed Install.exe leaves goes too
            for left in ["bin/zvn.exe.tmp", f"zrun-{packages[name][2]}/bin/zvn.ini.tmp"]:
                (root / left).write_bytes(b"partial")
        done = subprocess.run(["wine", "msiexec", action, windows_path(package), "/qn",
                               *([f"INSTALLDIR={installdir}"] if installdir else [])],
                              env=wine, timeout=300, **QUIET)
        step = f"msiexec {action} {package.name}"
        assert (done.returncode == 0) == succeeds, step
        assert (files_below(root) if root.exists() else None) == (
            installed_tree(packages[tree][1], folder, packages[tree][2]) if tree else None), step
        assert (files_below(logs) if logs.exists() else None) == (
            None if log is None else {"Install.log": log.encode()}), step

