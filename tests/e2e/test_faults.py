"""Faults and attacks injected through the file system: each ends with its exact messages, and
what was done before it stays in place. They are planted by POSIX means (links, devices, /proc,
FIFOs, users, signals), or on Windows by its own (NTFS links and junctions); those marked
native_only need the program itself to be a POSIX process, those marked windows_programs need
Windows programs of their own beside it."""

import os
import random
import shutil
import signal
import stat
import subprocess
import time
import warnings

import pytest

try:
    import resource  # POSIX only
except ImportError:
    from _winapi import CreateJunction  # Windows only

from conftest import (BAIL_OUT, BOOT_FILES, CONTINUING, LAUNCHERS, NOBODY, SYSTEM_VSN, VSN,
                      copy_failure, file_bytes)


def snapshot(top):
    """Every entry below top, links not followed: its kind, owner, mode and contents or target."""
    out = {}
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode) or getattr(st, "st_reparse_tag", 0):
                what = os.readlink(path)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    what = f.read()
            else:
                what = None
            out[os.path.relpath(path, top)] = (stat.S_IFMT(st.st_mode), st.st_uid, st.st_mode, what)
    return out


def plant_link(tree, outside, relative, target, junction=False):
    """A link (or a junction, Windows' folder link) planted by another user at relative, to
    target beside the tree."""
    path = tree.root / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.is_dir():
        shutil.rmtree(path)
    elif path.exists():
        path.unlink()
    target = target if target.startswith("/") else str(outside / target)
    if junction:
        CreateJunction(target, str(path))
    else:
        os.symlink(target, path, target_is_directory=os.path.isdir(target))
    give_away(path)


def give_away(path):
    """Another user's, where files have owners that the tests can set."""
    if hasattr(os, "lchown"):
        os.lchown(path, NOBODY, NOBODY)



def launcher_failures(tree, names=LAUNCHERS):
    return b"".join(copy_failure(tree, f"zrun-{VSN}/bin/{n}", f"bin/{n}") + CONTINUING
                    for n in names)


def create_failure(tree):
    return f"Could not create file {tree.path(f'zrun-{VSN}/bin/zvn.ini')}\n".encode() + BAIL_OUT


def boot_failure(tree, name="launch_bare.seq"):
    return copy_failure(tree, f"releases/{SYSTEM_VSN}/{name}", f"bin/{name}") + BAIL_OUT


def world_writable_target(tree, outside):
    plant_link(tree, outside, f"zrun-{VSN}/bin/zvn.exe", "secret")
    target = tree.root / "bin" / "zvn.exe"
    target.write_bytes(b"planted by the attacker")
    give_away(target)
    target.chmod(0o666)


def hard_link_to_a_secret(tree, outside):
    source = tree.root / f"zrun-{VSN}" / "bin" / "zvn.exe"
    source.unlink()
    os.link(outside / "secret", source)


def device_as_configuration(tree, outside):
    os.mknod(tree.root / f"zrun-{VSN}" / "bin" / "zvn.ini", 0o666 | stat.S_IFCHR, os.makedev(1, 7))


def large_launcher_over_a_good_one(tree, outside):
    (tree.root / f"zrun-{VSN}" / "bin" / "zvn.exe").write_bytes(b"x" * (1024 * 1024))
    (tree.root / "bin" / "zvn.exe").write_bytes(b"the good launcher")


def folder_links_inside(tree, relative, junction=False):
    """The folder at relative moved aside within the tree, and a link to it in its place."""
    folder = tree.root / relative
    folder.rename(folder.with_name("real"))
    if junction:
        CreateJunction(str(folder.with_name("real")), str(folder))
    else:
        os.symlink("real", folder, target_is_directory=True)


def source_links_inside(tree, outside):
    runtime_bin = tree.root / f"zrun-{VSN}" / "bin"
    (runtime_bin / "zvn.exe").rename(runtime_bin / "real.exe")
    os.symlink("real.exe", runtime_bin / "zvn.exe")


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))


# Each attack on a privileged run: how it is planted, then the exit status and standard error.
# Whatever the attack, nothing outside the tree changes and what was planted stays as it was or
# gives way to the complete new file. Wine does not report a Unix link as a reparse point: where
# only the link itself gives the attack away (LINK_ONLY), a run under Wine replaces the link
# instead of refusing it, which the same checks then show. POSIX rows plant what Windows has
# not (devices, a file-size limit); JUNCTION rows, what only Windows has.
LINK_ONLY, POSIX = True, "posix"
JUNCTION = pytest.mark.windows("Wine has no reparse points")
ATTACKS = {
    "link at a launcher target": (
        lambda t, o: plant_link(t, o, "bin/zvn.exe", "secret"),
        lambda t: (0, launcher_failures(t, ["zvn.exe"])), LINK_ONLY),
    "link to nothing at the active boot file": (
        lambda t, o: plant_link(t, o, "bin/launch.seq", "new-file"),
        lambda t: (1, copy_failure(t, "bin/launch_bare.seq", "bin/launch.seq") + BAIL_OUT),
        LINK_ONLY),
    "link at the configuration in bin": (
        lambda t, o: plant_link(t, o, "bin/zvn.ini", "secret"),
        lambda t: (1, copy_failure(t, f"zrun-{VSN}/bin/zvn.ini", "bin/zvn.ini") + BAIL_OUT),
        LINK_ONLY),
    "link to a device at the configuration": (
        lambda t, o: plant_link(t, o, f"zrun-{VSN}/bin/zvn.ini", "/dev/full"),
        lambda t: (1, create_failure(t)), POSIX),
    "a device as the configuration": (
        device_as_configuration, lambda t: (1, create_failure(t)), POSIX),
    "bin is a link out of the tree": (
        lambda t, o: plant_link(t, o, "bin", "folder"),
        lambda t: (1, launcher_failures(t) + boot_failure(t)), False),
    "the runtime folder is a link out of the tree": (
        lambda t, o: plant_link(t, o, f"zrun-{VSN}", "runtime"),
        lambda t: (1, launcher_failures(t) + create_failure(t)), False),
    "the runtime's bin links inside the tree": (
        lambda t, o: folder_links_inside(t, f"zrun-{VSN}/bin"),
        lambda t: (1, launcher_failures(t) + create_failure(t)), LINK_ONLY),
    "a launcher links to another file inside the tree": (
        source_links_inside, lambda t: (0, launcher_failures(t, ["zvn.exe"])), LINK_ONLY),
    "the release folder links inside the tree": (
        lambda t, o: folder_links_inside(t, f"releases/{SYSTEM_VSN}"),
        lambda t: (1, boot_failure(t)), LINK_ONLY),
    "a source links to a secret, under a world-writable target": (
        world_writable_target, lambda t: (0, launcher_failures(t, ["zvn.exe"])), False),
    "a source is a second name of a secret": (
        hard_link_to_a_secret, lambda t: (0, launcher_failures(t, ["zvn.exe"])), False),
    "a launcher copy fails part way over a good one": (
        large_launcher_over_a_good_one, lambda t: (0, launcher_failures(t, ["zvn.exe"])), POSIX),
    "bin is a junction out of the tree": (
        lambda t, o: plant_link(t, o, "bin", "folder", junction=True),
        lambda t: (1, launcher_failures(t) + boot_failure(t)), JUNCTION),
    "the release folder is a junction inside the tree": (
        lambda t, o: folder_links_inside(t, f"releases/{SYSTEM_VSN}", junction=True),
        lambda t: (1, boot_failure(t)), JUNCTION),
}


@pytest.mark.parametrize("attack", [pytest.param(name, marks=row[2]) if row[2] is JUNCTION
                                    else name for name, row in ATTACKS.items()])
def test_attacks_on_a_privileged_run(tree, attack):
    plant, expected, kind = ATTACKS[attack]
    if kind == POSIX and tree.lane.name == "windows":
        pytest.skip("Windows has no device files or file-size limits")
    outside = tree.root.parent / "outside"
    (outside / "folder").mkdir(parents=True)
    (outside / "secret").write_bytes(b"root only")
    (outside / "secret").chmod(0o600)
    tree.lay()
    shutil.copytree(tree.root / f"zrun-{VSN}", outside / "runtime")
    (tree.root / "bin").mkdir()
    for path in [tree.root, *tree.root.rglob("*")]:
        give_away(path)
    plant(tree, outside)
    before, planted = snapshot(outside), snapshot(tree.root)
    limit = limit_file_size if attack.startswith("a launcher copy fails") else None
    status, err = (0, b"") if tree.lane.name == "wine" and kind == LINK_ONLY else expected(tree)
    assert tree.install("-s", preexec_fn=limit) == (status, b"", err)
    assert snapshot(outside) == before
    after = snapshot(tree.root)
    complete = tree.expected_files(False)
    for path in planted:
        assert after[path] == planted[path] or (
            after[path][0] == stat.S_IFREG and after[path][3] == complete.get(path)), path
    assert not [p for p in after if p.endswith(".tmp")]
    assert b"root only" not in b"".join(
        w[3] for p, w in after.items() if w[0] == stat.S_IFREG and planted.get(p) != w)


@pytest.mark.native_only
@pytest.mark.parametrize("what", ["launcher", "boot file"])
def test_source_that_cannot_be_read(tree, what):
    # A link to /proc/self/mem, which opens as a regular file that cannot be read at its start:
    # the link is refused before anything is opened through it.
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


@pytest.mark.native_only
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
        # Only a regular file is a manifest.
        expected = f"Cannot open init file {tree.path('Install.ini')}\n".encode()
        assert (status, out, err) == (1, b"", expected)
    else:
        expected = f"Could not create file {tree.path(f'zrun-{VSN}/bin/zvn.ini')}\n".encode()
        assert (status, out, err) == (1, b"", expected + BAIL_OUT)


@pytest.mark.native_only
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


def test_bin_swapped_for_a_link_during_a_copy(tree):
    # A large first launcher keeps the run busy while bin is swapped for a link out of the tree.
    outside = tree.root.parent / "outside"
    outside.mkdir()
    tree.lay()
    with open(tree.root / f"zrun-{VSN}" / "bin" / "zvn.exe", "wb") as launcher:
        launcher.truncate(256 * 1024 * 1024)
    (tree.root / "bin").mkdir()
    process = subprocess.Popen(tree.command(tree.path(), "-s"), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while not (tree.root / "bin" / "zvn.exe.tmp").exists() and time.monotonic() < deadline:
        time.sleep(0.001)
    if tree.lane.name == "windows":
        # Windows keeps a folder that the run holds from being renamed: the run goes on in it.
        with pytest.raises(PermissionError):
            (tree.root / "bin").rename(tree.root / "held")
        assert (*process.communicate(timeout=120), process.returncode) == (b"", b"", 0)
        return
    (tree.root / "bin").rename(tree.root / "held")
    os.symlink(outside, tree.root / "bin")
    out, err = process.communicate(timeout=120)
    assert list(outside.iterdir()) == []
    if tree.lane.name == "wine":
        # Wine keeps no held folder from being renamed by a POSIX process, as Windows would, and
        # renames and removes a file by the Linux path it had when it was opened: the first
        # copy fails as well, leaving its temporary file behind in the folder that was held.
        assert (process.returncode, out, err) == (1, b"", launcher_failures(tree) + boot_failure(tree))
        assert [p.name for p in (tree.root / "held").iterdir()] == ["zvn.exe.tmp"]
    else:
        expected = launcher_failures(tree, LAUNCHERS[1:]) + boot_failure(tree)
        assert (process.returncode, out, err) == (1, b"", expected)
        assert (tree.root / "held" / "zvn.exe").stat().st_size == 256 * 1024 * 1024


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
        process = subprocess.Popen(tree.command(tree.path(), "-s"), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        time.sleep(generator.uniform(0, duration))
        process.kill()
        process.communicate()
        # A target holds its old contents (none here) or the complete new ones, never a part.
        for path, contents in tree.files().items():
            if not path.endswith(".tmp"):
                assert contents == complete[path], path
        assert tree.install("-s") == (0, b"", b"")
        assert tree.files() == complete


def test_source_that_vanished_is_missing(tree):
    # A link whose target is gone: the launcher vanished after the tree was unpacked. The link
    # itself is there, and refused as any link at a source is; under Wine, which shows no links,
    # there is nothing at its name.
    tree.lay(skip=["zvnc.exe"])
    target = tree.root / "gone.exe"
    target.write_bytes(b"soon gone")
    os.symlink(target, tree.root / f"zrun-{VSN}" / "bin" / "zvnc.exe")
    target.unlink()
    if tree.lane.name == "wine":
        expected = f"Could not find file {tree.path(f'zrun-{VSN}/bin/zvnc.exe')}\n".encode()
        assert tree.install("-s") == (1, b"", expected)
        assert sorted(p.name for p in (tree.root / "bin").iterdir()) == ["wzvn.exe", "zvn.exe"]
    else:
        assert tree.install("-s") == (0, b"", launcher_failures(tree, ["zvnc.exe"]))


@pytest.mark.native_only
@pytest.mark.no_memory_checker
def test_no_executable_path_without_proc(tree, own_copy):
    # In a mount namespace of its own without /proc, the program cannot learn where it is.
    tree.lay()
    script = 'umount -l /proc && exec "$0" -s'
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script,
                           str(own_copy)], capture_output=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (
        1, b"", b"Could not GetModuleFileName()\n")
    assert not (tree.root / "bin").exists()


@pytest.mark.native_only
def test_running_out_of_memory_at_every_allocation(tree, monkeypatch):
    # A build of the program whose allocations are counted, the k-th failing, for every k until
    # a run completes; the same wrapper (a memory checker) as the lane's.
    faults = tree.exe.parent / "tests" / "Install_alloc_faults"
    tree.lay()
    complete = tree.expected_files(full_boot=False)
    for k in range(1, 1000):
        shutil.rmtree(tree.root / "bin", ignore_errors=True)
        (tree.root / f"zrun-{VSN}" / "bin" / "zvn.ini").unlink(missing_ok=True)
        monkeypatch.setenv("INSTALL_FAIL_ALLOCATION", str(k))
        status, out, err = tree.run(tree.path(), "-s", exe=faults)
        files = tree.files()
        if status == 0:
            assert (out, err, files) == (b"", b"", complete)
            break
        assert (status, out, err) == (1, b"", b"Out of memory\n"), k
        assert {p: c for p, c in files.items() if complete.get(p) != c} == {}, k
    assert k > 10  # the manifest and the launcher configuration are built of many allocations


@pytest.mark.native_only
@pytest.mark.no_memory_checker
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


# Another Windows program holding a file without sharing it, as scanners, indexers and backup
# agents do the moment a file appears, a launcher that is running, or a read-only target: which
# file, how, for how many milliseconds, and how the run ends. Held briefly, a file is waited
# for; held past about a second, its copy fails as any failed copy does, and what stood there
# stays. A running launcher is renamed aside to <name>.old, which a run after it ended removes;
# where the one-step rename is offered (Windows 10 1809 on), whether it replaces a running program
# instead is the system's to say, and the row reports which ending it saw.
HOLDS = {
    "a launcher, briefly": ("bin/zvn.exe", "held", 700, "replaced"),
    "a source, briefly": (f"releases/{SYSTEM_VSN}/launch_bare.seq", "held", 700, "replaced"),
    "a stale temporary file, briefly": ("bin/zvn.exe.tmp", "held", 700, "replaced"),
    "the active boot file, too long": ("bin/launch.seq", "held", 8000, "bailed"),
    "a launcher that is running": ("bin/zvn.exe", "running", 8000, "set aside"),
    "a read-only configuration in bin": ("bin/zvn.ini", "read-only", 0, "replaced"),
}


@pytest.mark.windows_programs
@pytest.mark.parametrize("case", HOLDS)
def test_files_held_by_another_program(tree, case):
    path, how, milliseconds, outcome = HOLDS[case]
    hold = tree.exe.parent / "tests" / "hold.exe"
    tree.lay()
    (tree.root / "bin").mkdir()
    old = {f"bin/{name}": b"old " + name.encode()
           for name in LAUNCHERS + BOOT_FILES + ["launch.seq", "zvn.ini"]}
    for name, contents in old.items():
        (tree.root / name).write_bytes(contents)
    if path.endswith(".tmp"):
        (tree.root / path).write_bytes(b"left by an interrupted run")
    command = tree.lane.command(hold, tree.path(path), str(milliseconds))
    if how == "running":
        # The launcher itself holds some other file while it runs.
        shutil.copy(hold, tree.root / path)
        old[path] = hold.read_bytes()
        (tree.root.parent / "other").write_bytes(b"")
        command = tree.lane.command(tree.root / path, tree.lane.path(tree.root.parent / "other"),
                                    str(milliseconds))
    holder = None
    if how == "read-only":
        (tree.root / path).chmod(0o444)
    else:
        holder = subprocess.Popen(command, stdout=subprocess.PIPE)
        assert holder.stdout.readline().strip() == b"held"
    status, out, err = tree.install("-s")
    still_held = holder is not None and holder.poll() is None
    if holder is not None:
        holder.kill()
        holder.wait()
    expected = tree.expected_files(full_boot=False)
    if outcome == "replaced":
        assert (status, out, err) == (0, b"", b"")
    elif outcome == "set aside":
        assert (status, out, err) == (0, b"", b"")
        aside = (tree.root / (path + ".old")).exists()
        if tree.lane.name == "windows":
            warnings.warn(f"a running launcher was {'set aside' if aside else 'replaced in one step'}")
        else:
            assert aside  # Wine has no one-step rename
        extra = {path + ".old": old[path]} if aside else {}
        assert tree.files() == dict(sorted({**expected, **extra}.items()))
        assert still_held  # it ran on from its new name
        assert tree.install("-s") == (0, b"", b"")
    else:
        assert (status, out, err) == (
            1, b"", copy_failure(tree, "bin/launch_bare.seq", "bin/launch.seq") + BAIL_OUT)
        expected[path], expected["bin/zvn.ini"] = old[path], old["bin/zvn.ini"]
        del expected[f"zrun-{VSN}/bin/zvn.ini"]
    assert tree.files() == expected
    assert os.stat(tree.root / "bin" / "zvn.ini").st_mode & 0o200  # the new file is writable
    if outcome == "bailed":
        assert still_held  # the copy gave up within its bound, rather than waiting it out
