"""The Windows release as a maintainer ships it: built the same from any checkout, versioned,
signed, and run by the sample setup (makensis), under Wine or on Windows. What is built here is
kept in the artifacts' packages/ for the windows lane, which cannot build it."""

import hashlib
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest
from distribution import installed, lay

ROOT = Path(__file__).resolve().parents[2]


def run(command, **options):
    return subprocess.run(command, check=True, capture_output=True, timeout=600, **options)


def kept(lane, name, build):
    """The artifacts' folder packages/name: made by build(folder) in the lanes that build it,
    taken as it was made in the windows lane."""
    folder = lane.artifacts / "packages" / name
    if lane.name == "windows":
        if not folder.is_dir():
            pytest.skip(f"the artifacts hold no packages/{name}: the wine lane makes it")
    else:
        shutil.rmtree(folder, ignore_errors=True)
        build(folder)
    return folder


def files_below(folder):
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    """tools/release run in two clones of this commit, in folders of different names."""
    builds = []
    for name in ("first", "second clone with a longer name"):
        clone = tmp_path_factory.mktemp("release") / name
        run(["git", "clone", "--quiet", str(ROOT), str(clone)])
        run([str(clone / "tools" / "release")], cwd=clone)
        builds.append(clone / "build" / "release")
    return builds


@pytest.mark.linux_tools
def test_two_clones_give_the_same_stripped_versioned_executable(release):
    pefile = pytest.importorskip("pefile")
    sums = [(folder / "SHA256SUMS").read_text() for folder in release]
    exe = release[0] / "Install.exe"
    assert sums[0] == sums[1] == f"{hashlib.sha256(exe.read_bytes()).hexdigest()}  Install.exe\n"
    image = pefile.PE(str(exe))
    assert image.FILE_HEADER.PointerToSymbolTable == 0  # stripped
    assert not [s for s in image.sections if s.Name.startswith(b".debug")]
    strings = {k.decode(): v.decode() for info in image.FileInfo[0] if hasattr(info, "StringTable")
               for table in info.StringTable for k, v in table.entries.items()}
    version = re.search(r"project\(Install VERSION (\S+)",
                        (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert {k: strings[k] for k in ("FileVersion", "ProductVersion", "ProductName",
                                    "OriginalFilename")} == {
        "FileVersion": version, "ProductVersion": version, "ProductName": "Zorvan",
        "OriginalFilename": "Install.exe"}
    assert strings["FileDescription"]
    assert f"version {version}" in (ROOT / "README.md").read_text()
    for folder in release:  # no build path inside
        assert str(folder.parents[1]).encode() not in exe.read_bytes()
    image.close()


def throwaway_certificate(folder):
    """A self-signed code-signing certificate and its key, in folder."""
    key, cert = folder / "key.pem", folder / "cert.pem"
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=Zorvan test signing", "-addext", "extendedKeyUsage=codeSigning",
         "-keyout", str(key), "-out", str(cert)])
    return key, cert


@pytest.mark.linux_tools
def test_signed_with_a_throwaway_certificate_verifies_and_runs(lane, release, tmp_path):
    key, cert = throwaway_certificate(tmp_path)
    clone = release[0].parents[1]
    run([str(clone / "tools" / "release"), "--cert", str(cert), "--key", str(key)], cwd=clone)
    signed = release[0] / "signed" / "Install.exe"
    verified = run(["osslsigncode", "verify", "-CAfile", str(cert), "-in", str(signed)])
    assert b"Signature verification: ok" in verified.stdout
    unsigned = (release[0] / "Install.exe").read_bytes()
    assert signed.read_bytes() != unsigned and (release[0] / "SHA256SUMS").read_text().endswith(
        "  signed/Install.exe\n")
    tree = tmp_path / "tree"
    lay(tree)
    done = subprocess.run(lane.command(signed, lane.path(tree), "-s"), capture_output=True,
                          timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert (tree / "bin" / "launch.seq").read_bytes() == (
        tree / "releases" / "R9" / "launch_bare.seq").read_bytes()


def installed_tree(stage, root, vsn="5.7", full_boot=False):
    """The exact files after Install.exe ran in root (its Windows path) over stage (-s installs
    the minimal boot variant)."""
    # The code page of Wine's prefix and of hosted Windows runners.
    return installed(files_below(stage), root, vsn, full_boot, "cp1252")


def built_setup(request, lane, name, *left_out):
    """The sample's stage and its setup as makensis builds it by hand (tools/package refuses a
    stage that lacks a file), with the release's Install.exe, kept as packages/setup NAME."""
    def build(folder):
        stage = folder / "stage"
        lay(stage, skip=left_out)
        shutil.copy(request.getfixturevalue("release")[0] / "Install.exe", stage / "Install.exe")
        run(["makensis", "-V2", f"-DSTAGE={stage}", f"-DOUTFILE={folder / 'setup.exe'}",
             str(ROOT / "packaging" / "setup.nsi")])

    folder = kept(lane, f"setup {name}", build)
    return folder / "stage", folder / "setup.exe"


def run_setup(lane, setup, destination, env=None):
    # /D= must come last and unquoted: each word its own argument, so that none is quoted.
    words = f"/D={lane.path(destination)}".split(" ")
    return subprocess.run(lane.command(setup, "/S", *words), capture_output=True, timeout=300,
                          env=env)


def uninstall(lane, destination, env=None):
    # The uninstaller starts a copy of itself elsewhere and returns at once: wait for it.
    subprocess.run(lane.command(destination / "Uninstall.exe", "/S"), capture_output=True,
                   timeout=120, check=True, env=env)
    deadline = time.monotonic() + 60
    while destination.exists() and time.monotonic() < deadline:
        time.sleep(0.2)
    return not destination.exists()


@pytest.mark.admin
def test_setup_installs_the_tree_and_uninstalls_it(request, lane, tmp_path):
    stage, setup = built_setup(request, lane, "sample")
    destination = tmp_path / "setup target" / "Zorvan 5.7"
    assert run_setup(lane, setup, destination).returncode == 0
    expected = installed_tree(stage, lane.path(destination))
    expected["Install.log"] = b""
    installed = files_below(destination)
    assert installed.pop("Uninstall.exe").startswith(b"MZ")
    assert installed == dict(sorted(expected.items()))
    assert uninstall(lane, destination)
    assert destination.parent.exists()


@pytest.mark.admin
def test_setup_fails_when_the_installation_fails_and_can_be_removed(request, lane, tmp_path):
    _, setup = built_setup(request, lane, "broken", "releases/R9/launch_vantor.seq")
    destination = tmp_path / "broken target"
    done = run_setup(lane, setup, destination)
    assert done.returncode != 0
    missing = lane.path(destination / "releases" / "R9" / "launch_vantor.seq")
    assert (destination / "Install.log").read_bytes().replace(b"\r\n", b"\n") == (
        f"Could not find file {missing}\n".encode())
    assert uninstall(lane, destination)
