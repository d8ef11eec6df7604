"""The file installation: copies, the active boot file, the launcher configuration."""

import contextlib
import ctypes
import os
import subprocess
import warnings
from pathlib import Path

import pytest

from conftest import (BAIL_OUT, BOOT_FILES, CONTINUING, LAUNCHERS, PROMPT, SYSTEM_VSN, VSN, Tree,
                      copy_failure, file_bytes, zvn_ini)
from distribution import escape


def test_silent_run_prints_nothing_and_installs_the_minimal_variant(tree):
    tree.lay()
    assert tree.install("-s") == (0, b"", b"")
    assert tree.files() == tree.expected_files(full_boot=False)
    zvn = (tree.root / "bin" / "zvn.ini").read_bytes()
    assert zvn.count(b"\n") == 4 and b"\r" not in zvn


@pytest.mark.parametrize("answer, full_boot", [(b"\n", True), (b"yes\n", False)])
def test_interactive_run_installs_the_chosen_variant(tree, answer, full_boot):
    tree.lay()
    assert tree.install(answer=answer) == (0, PROMPT + b"Zorvan 5.7 installed successfully\n", b"")
    assert tree.files() == tree.expected_files(full_boot=full_boot)


def test_rerun_overwrites_to_the_same_result(tree):
    tree.lay()
    (tree.root / "bin").mkdir()
    (tree.root / "bin" / "zvn.exe").write_bytes(b"old and much longer " * 100)
    (tree.root / "bin" / "launch.seq").write_bytes(b"old")
    for _ in range(2):
        assert tree.install("-s") == (0, b"", b"")
        assert tree.files() == tree.expected_files(full_boot=False)
    assert tree.install(answer=b"\n")[0] == 0
    assert tree.files() == tree.expected_files(full_boot=True)


@pytest.mark.parametrize("missing", [0, 4, 5])
def test_missing_launcher_stops_the_run(tree, missing):
    name = LAUNCHERS[missing]
    tree.lay(skip=[name])
    expected = f"Could not find file {tree.path(f'zrun-{VSN}/bin/{name}')}\n".encode()
    assert tree.install("-s") == (1, b"", expected)
    copied = sorted(p.name for p in (tree.root / "bin").iterdir())
    assert copied == sorted(LAUNCHERS[:missing])


@pytest.mark.parametrize("missing", ["launch_bare.seq", "launch_vantor.seq"])
def test_missing_boot_file_stops_the_run(tree, missing):
    tree.lay(skip=[missing])
    expected = f"Could not find file {tree.path(f'releases/{SYSTEM_VSN}/{missing}')}\n".encode()
    assert tree.install("-s") == (1, b"", expected)
    copied = sorted(p.name for p in (tree.root / "bin").iterdir())
    assert copied == sorted(LAUNCHERS + (["launch_bare.seq"] if missing != "launch_bare.seq" else []))


def test_launcher_copy_failure_is_tolerated(tree):
    tree.lay(skip=["zvnc.exe", "tamsel.exe"])
    for name in ("zvnc.exe", "tamsel.exe"):
        (tree.root / f"zrun-{VSN}" / "bin" / name).mkdir()
    expected_err = b"".join(
        copy_failure(tree, f"zrun-{VSN}/bin/{name}", f"bin/{name}") + CONTINUING
        for name in ("zvnc.exe", "tamsel.exe"))
    status, out, err = tree.install(answer=b"\n")
    assert (status, out, err) == (0, PROMPT + b"Zorvan 5.7 installed successfully\n", expected_err)
    extra = {f"zrun-{VSN}/bin/zvnc.exe": None, f"zrun-{VSN}/bin/tamsel.exe": None}
    assert tree.files() == tree.expected_files(True, skip=["zvnc.exe", "tamsel.exe"], extra=extra)


@pytest.mark.windows("Wine has no reparse points")
def test_launcher_compressed_by_the_system_is_copied(tree):
    # WOF keeps a file it compresses (compact /exe, on any NTFS volume) as a reparse point whose
    # contents its filter gives: the copy reads them through it.
    tree.lay()
    source = tree.root / f"zrun-{VSN}" / "bin" / "zvn.exe"
    contents = file_bytes("zvn.exe") * 4096  # compressible, and larger than a cluster
    source.write_bytes(contents)
    done = subprocess.run(["compact", "/c", "/exe:xpress4k", str(source)], capture_output=True)
    assert os.lstat(source).st_reparse_tag == 0x80000017, done.stdout  # IO_REPARSE_TAG_WOF
    assert tree.install("-s") == (0, b"", b"")
    copied = {f"zrun-{VSN}/bin/zvn.exe": contents, "bin/zvn.exe": contents}
    assert tree.files() == tree.expected_files(full_boot=False, extra=copied)


def test_boot_file_copy_failure_bails_out(tree):
    tree.lay(skip=["launch_bare.seq"])
    (tree.root / "releases" / SYSTEM_VSN / "launch_bare.seq").mkdir()
    source, target = f"releases/{SYSTEM_VSN}/launch_bare.seq", "bin/launch_bare.seq"
    assert tree.install("-s") == (1, b"", copy_failure(tree, source, target) + BAIL_OUT)
    copied = sorted(p.name for p in (tree.root / "bin").iterdir())
    assert copied == sorted(LAUNCHERS)


def test_active_boot_file_copy_failure_bails_out(tree):
    tree.lay()
    (tree.root / "bin" / "launch.seq").mkdir(parents=True)
    expected = copy_failure(tree, "bin/launch_bare.seq", "bin/launch.seq") + BAIL_OUT
    assert tree.install("-s") == (1, b"", expected)
    assert not (tree.root / f"zrun-{VSN}" / "bin" / "zvn.ini").exists()
    assert (tree.root / "bin" / "launch_vantor.seq").read_bytes() == file_bytes("launch_vantor.seq")


def test_configuration_that_cannot_be_created_bails_out(tree):
    tree.lay()
    (tree.root / f"zrun-{VSN}" / "bin" / "zvn.ini").mkdir()
    expected = f"Could not create file {tree.path(f'zrun-{VSN}/bin/zvn.ini')}\n".encode() + BAIL_OUT
    assert tree.install("-s") == (1, b"", expected)
    assert (tree.root / "bin" / "launch.seq").read_bytes() == file_bytes("launch_bare.seq")
    assert not (tree.root / "bin" / "zvn.ini").exists()


def test_configuration_copy_failure_leaves_it_beside_the_runtime(tree):
    tree.lay()
    (tree.root / "bin" / "zvn.ini").mkdir(parents=True)
    expected = copy_failure(tree, f"zrun-{VSN}/bin/zvn.ini", "bin/zvn.ini") + BAIL_OUT
    assert tree.install("-s") == (1, b"", expected)
    written = (tree.root / f"zrun-{VSN}" / "bin" / "zvn.ini").read_bytes()
    assert written == zvn_ini(tree.path())


def test_root_with_a_semicolon_is_escaped(tmp_path, exe, lane, wrapper):
    root = tmp_path / "a;b"
    root.mkdir()
    semicolon_tree = Tree(root, exe, lane, wrapper).lay()
    assert semicolon_tree.install("-s") == (0, b"", b"")
    zvn = (root / "bin" / "zvn.ini").read_bytes()
    assert zvn.splitlines()[3] == b"Rootdir=" + semicolon_tree.path().replace(
        "\\", "\\\\").replace(";", "\\;").encode()
    assert semicolon_tree.files() == semicolon_tree.expected_files(full_boot=False)


def test_root_taken_from_the_programs_folder(tree, own_copy):
    tree.lay()
    (tree.root / "elsewhere").mkdir()
    status, out, err = tree.run("-s", exe=own_copy, cwd=tree.root / "elsewhere")
    assert (status, out, err) == (0, b"", b"")
    if not tree.lane.windows_build:
        # /proc/self/exe with every slash turned into a backslash.
        root = str(tree.root).replace("/", "\\")
    else:
        root = tree.path()  # the drive letter comes with the module's path
    expected = tree.expected_files(full_boot=False, extra={
        own_copy.name: own_copy.read_bytes(), "elsewhere": None,
        f"zrun-{VSN}/bin/zvn.ini": zvn_ini(root),
        "bin/zvn.ini": zvn_ini(root),
    })
    assert tree.files() == expected


def test_bin_folder_that_cannot_be_created(tree):
    tree.lay()
    (tree.root / "bin").write_bytes(b"a file stands here")
    expected = b"".join(copy_failure(tree, f"zrun-{VSN}/bin/{n}", f"bin/{n}") + CONTINUING
                        for n in LAUNCHERS)
    source, target = f"releases/{SYSTEM_VSN}/launch_bare.seq", "bin/launch_bare.seq"
    expected += copy_failure(tree, source, target) + BAIL_OUT
    assert tree.install("-s") == (1, b"", expected)
    assert (tree.root / "bin").read_bytes() == b"a file stands here"


# SYSTEM_VSN values that step up yet stay below the root, and the folder they lead to: the
# release folder, or the root itself where the steps back reach nothing.
@pytest.mark.parametrize("system_vsn, release",
                         [("x\\..\\.\\R9", f"releases/{SYSTEM_VSN}/"), ("x\\..\\..", "")])
def test_values_that_stay_below_the_root_keep_working(tree, system_vsn, release):
    (tree.root / "releases" / "x").mkdir(parents=True)
    tree.lay(manifest=f"[Install]\nVSN=5.7\nSYSTEM_VSN={escape(system_vsn)}\n".encode())
    expected = tree.expected_files(full_boot=False, extra={"releases/x": None})
    for name in BOOT_FILES:
        (tree.root / f"releases/{SYSTEM_VSN}/{name}").rename(tree.root / (release + name))
        expected[release + name] = expected.pop(f"releases/{SYSTEM_VSN}/{name}")
    assert tree.install("-s") == (0, b"", b"")
    assert tree.files() == dict(sorted(expected.items()))


def test_copy_of_a_file_onto_itself_is_refused(tree):
    # A version that walks back to the root makes the runtime folder the bin folder itself.
    (tree.root / "zrun-x").mkdir()
    tree.lay(manifest=b"[Install]\nVSN=x\\\\..\nSYSTEM_VSN=R9\n")
    bin_dir = tree.root / "bin"
    bin_dir.mkdir()
    for name in LAUNCHERS:
        (bin_dir / name).write_bytes(file_bytes(name))
    status, out, err = tree.install("-s")
    expected = b"".join(
        copy_failure(tree, f"zrun-x\\../bin/{name}", f"bin/{name}") + CONTINUING
        for name in LAUNCHERS)
    assert err.startswith(expected)
    for name in LAUNCHERS:
        assert (bin_dir / name).read_bytes() == file_bytes(name)


@contextlib.contextmanager
def virtual_disk(folder, file_system):
    """A new virtual disk formatted with file_system and given a free drive letter (diskpart,
    as administrator); yields the drive's top folder, and detaches the disk after."""
    letter = next(c for c in "QRSTUVWXY" if not os.path.exists(f"{c}:\\"))
    disk, script = folder / f"{file_system}.vhdx", folder / "diskpart.txt"
    steps = [f'create vdisk file="{disk}" maximum=4096 type=expandable', "attach vdisk",
             "create partition primary", f"format fs={file_system} quick",
             f"assign letter={letter}"]
    script.write_text("\n".join(steps) + "\n")
    made = subprocess.run(["diskpart", "/s", str(script)], capture_output=True, encoding="oem",
                          errors="replace")
    try:
        if made.returncode != 0 or not os.path.exists(f"{letter}:\\"):
            pytest.fail(f"no {file_system} volume could be made here: {made.stdout[-300:]}")
        yield Path(f"{letter}:\\")
    finally:
        script.write_text(f'select vdisk file="{disk}"\ndetach vdisk\n')
        subprocess.run(["diskpart", "/s", str(script)], capture_output=True)


def folder_flush_error(folder):
    """The Windows error that flushing the folder fails with, opened as the program opens one for
    its flush (listing, adding a file, traversal, attributes, synchronize); 0 once it is flushed."""
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.CreateFileW.restype = ctypes.c_void_p
    handle = kernel32.CreateFileW(str(folder), 0x1000A3, 0x3, None, 3, 0x02000000, None)
    if handle is None or handle == ctypes.c_void_p(-1).value:
        return ctypes.get_last_error()
    error = 0 if kernel32.FlushFileBuffers(ctypes.c_void_p(handle)) else ctypes.get_last_error()
    kernel32.CloseHandle(ctypes.c_void_p(handle))
    return error


# Which error a folder's flush returns on these volumes is not documented: each row reports it
# (the program takes only "invalid function" and "not supported" as nothing to flush). Run as
# administrator on Windows, a volume that cannot be had fails the row, never skips it.
@pytest.mark.windows("Wine has no administrative shares or virtual disks")
@pytest.mark.admin
@pytest.mark.parametrize("volume", ["the loopback administrative share", "fat32", "refs"])
def test_whole_installation_on_another_volume(tmp_path, exe, lane, volume):
    with contextlib.ExitStack() as stack:
        if volume.startswith("the loopback"):
            drive, rest = os.path.splitdrive(tmp_path)
            top = Path(rf"\\localhost\{drive[0]}${rest}")
            if not top.is_dir():
                pytest.fail("the administrative share is not reachable here")
        else:
            top = stack.enter_context(virtual_disk(tmp_path, volume))
        root = top / "Zorvan"
        root.mkdir()
        flush = folder_flush_error(root)
        if flush != 0:
            warnings.warn(f"flushing a folder on {volume} fails with Windows error {flush}")
        tree = Tree(root, exe, lane).lay()
        assert tree.install("-s") == (0, b"", b"")
        assert tree.files() == tree.expected_files(full_boot=False)
        assert tree.install("-s") == (0, b"", b"")  # again, over what is there
