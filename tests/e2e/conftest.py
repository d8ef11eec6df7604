"""Runs the real Install executable in temporary installation trees, in the lane of
tests/conftest.py. Tests state paths in the program's own form, with backslashes, through
Tree.path().
"""

import shutil
import subprocess

import pytest
from distribution import (BOOT_FILES, LAUNCHERS, MANIFEST, SYSTEM_VSN, VSN, files, installed,  # noqa: F401
                          lay, zvn_ini)

PROMPT = b"Do you want a minimal startup instead of vantor [No]: "
BAIL_OUT = b"Cannot continue installation, bailing out.\n"
CONTINUING = b"Continuing installation anyway...\n"
NOBODY = 65534


def file_bytes(name):
    """Distinct contents for each shipped file, with bytes a text copy would damage."""
    return f"contents of {name}\n".encode() + bytes(range(256)) + b"\r\n\x00\x1a"


class Tree:
    """An unpacked distribution under a fresh root, and the program to run in it."""

    def __init__(self, root, exe, lane, wrapper=()):
        self.root = root
        self.exe = exe
        self.lane = lane
        self.wrapper = list(wrapper)

    def path(self, relative=""):
        """The program's form of a path inside the tree: backslashes, a drive on Windows."""
        if self.lane.name == "linux":  # the program's separator after the host's root
            return str(self.root) + ("\\" + relative.replace("/", "\\") if relative else "")
        return self.lane.path(self.root / relative if relative else self.root)

    def lay(self, manifest=MANIFEST, skip=()):
        """Lays the manifest, the six launchers and the two boot files (all but skip)."""
        lay(self.root, manifest=manifest, contents=file_bytes, skip=skip)
        return self

    def command(self, *args, exe=None):
        """The command line that runs the program with args in this lane."""
        return self.wrapper + self.lane.command(exe or self.exe, *args)

    def run(self, *args, answer=None, exe=None, cwd=None, preexec_fn=None):
        """Runs the program with args; answer (bytes) is its standard input."""
        done = subprocess.run(
            self.command(*args, exe=exe),
            input=answer if answer is not None else b"",
            capture_output=True,
            cwd=cwd or self.root,
            timeout=120,
            preexec_fn=preexec_fn,
        )
        return done.returncode, done.stdout, done.stderr

    def install(self, *args, answer=None, preexec_fn=None):
        """Runs the program on this tree's root."""
        return self.run(self.path(), *args, answer=answer, preexec_fn=preexec_fn)

    def files(self):
        """Every file of the tree as {relative path: bytes}, folders as None."""
        out = {}
        for path in sorted(self.root.rglob("*")):
            relative = path.relative_to(self.root).as_posix()
            out[relative] = None if path.is_dir() else path.read_bytes()
        return out

    def expected_files(self, full_boot, skip=(), extra=None):
        """The tree after a complete installation with this tree's root."""
        laid = files((self.root / "Install.ini").read_bytes(), file_bytes, skip)
        out = installed(laid, self.path(), full_boot=full_boot)
        out.update(dict.fromkeys(["bin", "releases", f"releases/{SYSTEM_VSN}", f"zrun-{VSN}",
                                  f"zrun-{VSN}/bin"]))
        out.update(extra or {})
        return dict(sorted(out.items()))


def copy_failure(tree, source, target):
    """The line a failed copy prints, for paths relative to the tree's root."""
    return f"Could not copy file {tree.path(source)} to {tree.path(target)}\n".encode()



@pytest.fixture
def wrapper(request):
    return request.config.getoption("--wrapper").split()


@pytest.fixture
def tree(tmp_path, exe, lane, wrapper):
    root = tmp_path / "root"
    root.mkdir()
    return Tree(root, exe, lane, wrapper)


@pytest.fixture
def own_copy(tree):
    """A copy of the program inside the tree's root, for runs that take the root from it."""
    target = tree.root / tree.exe.name
    shutil.copy2(tree.exe, target)
    return target
