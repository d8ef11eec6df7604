"""Faults injected through the file system: each ends with its exact messages, and what was done
before it stays in place. These use POSIX means (devices, /proc, FIFOs, users, signals)."""

import os
import random
import resource
import shutil
import signal
import subprocess
import time

import pytest

from conftest import BAIL_OUT, CONTINUING, LAUNCHERS, SYSTEM_VSN, VSN, copy_failure, file_bytes


def test_configuration_that_cannot_be_written_to_the_end(tree):
    tree.lay()
    os.symlink("/dev/full", tree.root / f"zrun-{VSN}" / "bin" / "zvn.ini")
    expected = f"Could not create file {tree.path(f'zrun-{VSN}/bin/zvn.ini')}\n".encode()
    assert tree.install("-s") == (1, b"", expected + BAIL_OUT)
    assert (tree.root / "bin" / "launch.seq").read_bytes() == file_bytes("launch_bare.seq")
    assert not (tree.root / "bin" / "zvn.ini").exists()


@pytest.mark.parametrize("what", ["launcher", "boot file"])
def test_source_that_cannot_be_read(tree, what):
    # Reading /proc/self/mem at its start fails, although it opens as a regular file.
    name, folder = ("wzvn.exe", f"zrun-{VSN}/bin") if what == "launcher" else (
        "launch_vantor.seq", f"releases/{SYSTEM_VSN}")
    tree.lay(skip=[name])
    os.symlink("/proc/self/mem", tree.root / folder / name)
    status, out, err = tree.install("-s")
    line = copy_failure(tree, f"{folder}/{name}", f"bin/{name}")
    if what == "launcher":
        assert (status, out, err) == (0, b"", line + CONTINUING)
    else:
        assert (status, out, err) == (1, b"", line + BAIL_OUT)
        assert (tree.root / "bin" / "launch_bare.seq").read_bytes() == file_bytes(
            "launch_bare.seq")


@pytest.mark.parametrize("where", ["source", "target", "manifest", "configuration"])
def test_fifos_never_block(tree, where):
    tree.lay(manifest=None if where == "manifest" else b"[Install]\nVSN=5.7\nSYSTEM_VSN=R9\n")
    (tree.root / "bin").mkdir()
    path = {
        "source": f"zrun-{VSN}/bin/zvn.exe",
        "target": "bin/zvn.exe",
        "manifest": "Install.ini",
        "configuration": f"zrun-{VSN}/bin/zvn.ini",
    }[where]
    if (tree.root / path).exists():
        (tree.root / path).unlink()
    os.mkfifo(tree.root / path)
    status, out, err = tree.install("-s")
    if where in ("source", "target"):
        line = copy_failure(tree, f"zrun-{VSN}/bin/zvn.exe", "bin/zvn.exe")
        assert (status, out, err) == (0, b"", line + CONTINUING)
    elif where == "manifest":
        # A FIFO without a writer reads as empty.
        expected = f"No [Install] section in init file {tree.path('Install.ini')}\n".encode()
        assert (status, out, err) == (1, b"", expected)
    else:
        expected = f"Could not create file {tree.path(f'zrun-{VSN}/bin/zvn.ini')}\n".encode()
        assert (status, out, err) == (1, b"", expected + BAIL_OUT)


def test_bin_folder_without_write_permission(tree):
    if os.geteuid() == 0 and shutil.which("setpriv") is None:
        pytest.fail("setpriv is needed to run without root's rights")
    tree.lay()
    (tree.root / "bin").mkdir()
    for path in [tree.root, *tree.root.rglob("*")]:
        path.chmod(0o755 if path.is_dir() else 0o644)
    (tree.root / "bin").chmod(0o555)
    for folder in tree.root.parents:  # the way down to the tree must be open to nobody
        if os.stat(folder).st_mode & 0o005 != 0o005:
            os.chmod(folder, os.stat(folder).st_mode | 0o005)
    command = [str(tree.exe), tree.path(), "-s"]
    if os.geteuid() == 0:
        # Root writes anywhere: run as nobody, who may read the tree but not write to bin.
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *command]
    done = subprocess.run(command, capture_output=True, timeout=60)
    expected = b"".join(copy_failure(tree, f"zrun-{VSN}/bin/{n}", f"bin/{n}") + CONTINUING
                        for n in LAUNCHERS)
    source, target = f"releases/{SYSTEM_VSN}/launch_bare.seq", "bin/launch_bare.seq"
    expected += copy_failure(tree, source, target) + BAIL_OUT
    assert (done.returncode, done.stdout, done.stderr) == (1, b"", expected)
    assert list((tree.root / "bin").iterdir()) == []


def test_killed_at_random_moments_then_rerun(tree):
    # Launchers of a few megabytes make the copies take long enough to be interrupted.
    tree.lay()
    for name in LAUNCHERS:
        path = tree.root / f"zrun-{VSN}" / "bin" / name
        path.write_bytes(os.urandom(3 * 1024 * 1024) + file_bytes(name))
    start = time.monotonic()
    assert tree.install("-s") == (0, b"", b"")
    duration = time.monotonic() - start
    complete = tree.files()
    shutil.rmtree(tree.root / "bin")
    (tree.root / f"zrun-{VSN}" / "bin" / "zvn.ini").unlink()

    generator = random.Random(20261208)
    for _ in range(12):
        process = subprocess.Popen([str(tree.exe), tree.path(), "-s"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        time.sleep(generator.uniform(0, duration))
        process.send_signal(signal.SIGKILL)
        process.communicate()
        assert tree.install("-s") == (0, b"", b"")
        assert tree.files() == complete


def test_source_that_vanished_is_missing(tree):
    # A link whose target is gone: the launcher vanished after the tree was unpacked.
    tree.lay(skip=["zvnc.exe"])
    target = tree.root / "gone.exe"
    target.write_bytes(b"soon gone")
    os.symlink(target, tree.root / f"zrun-{VSN}" / "bin" / "zvnc.exe")
    target.unlink()
    expected = f"Could not find file {tree.path(f'zrun-{VSN}/bin/zvnc.exe')}\n".encode()
    assert tree.install("-s") == (1, b"", expected)
    assert sorted(p.name for p in (tree.root / "bin").iterdir()) == ["wzvn.exe", "zvn.exe"]


@pytest.mark.address_limit
def test_memory_exhaustion_is_reported(tree):
    # 40 MB of short sections needs far more heap than the 64 MB of address space allowed.
    chunk = b"".join(b"[s%d]\nk=v\n" % i for i in range(10000))
    tree.lay(manifest=chunk * (40 * 1024 * 1024 // len(chunk)))
    limit = 64 * 1024 * 1024
    done = subprocess.run(
        [str(tree.exe), tree.path(), "-s"], capture_output=True, timeout=120,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert (done.returncode, done.stdout, done.stderr) == (1, b"", b"Out of memory\n")
    assert not (tree.root / "bin").exists()
