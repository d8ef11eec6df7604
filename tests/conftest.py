"""What every suite shares: its options, and the lane it runs in.

A lane is how a program is started and how a path is named; the rows are the same in each.
"linux" runs the native build; "wine" runs the Windows build under Wine (drive Z: is the Linux
root); "windows" runs it natively on Windows. --artifacts is the folder of the Windows build
(Install.exe, tests/*.exe); the package tests keep the packages they build in its packages/,
from which the windows lane, which cannot build them, takes them."""

import ctypes
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))  # distribution.py: the distribution, described once


def pytest_addoption(parser):
    parser.addoption("--lane", default="linux", choices=["linux", "wine", "windows"])
    parser.addoption("--artifacts", help="the Windows build's folder (Install.exe, tests/*.exe)")
    parser.addoption("--exe", help="the Install executable to test (default: in --artifacts)")
    parser.addoption("--wrapper", default="", help="a command that runs the program, such as a "
                     "memory checker, given before it")


class Lane:
    """How this lane starts a program and names a path."""

    def __init__(self, name, artifacts):
        self.name = name
        self.artifacts = Path(artifacts).resolve() if artifacts else None
        self.windows_build = name != "linux"

    def command(self, exe, *args):
        return (["wine"] if self.name == "wine" else []) + [str(exe), *args]

    def path(self, path):
        """A host path as the program names it."""
        if self.name == "wine":
            return "Z:" + str(path).replace("/", "\\")
        return str(path)


def is_admin():
    return sys.platform == "win32" and ctypes.windll.shell32.IsUserAnAdmin() != 0


def pytest_configure(config):
    if config.getoption("--lane") == "wine":
        os.environ.setdefault("WINEDEBUG", "-all")
        # The first program Wine starts brings up its background services, which keep the
        # streams they inherit open: start them here, away from any captured output.
        subprocess.run(["wineboot"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=False)


def skip_reason(item, lane):
    """Why a row cannot run in this lane, or None."""
    marks = {mark.name: mark for mark in item.iter_markers()}
    if "native_only" in marks and lane != "linux":
        return "needs the program to be a POSIX process"
    if "windows_programs" in marks and lane == "linux":
        return "needs Windows programs beside the one tested"
    if "windows" in marks and lane != "windows":
        return marks["windows"].args[0] if lane == "wine" else "needs Windows"
    if "linux_tools" in marks and lane == "windows":
        return "builds with Debian's tools: shown on Linux"
    if "admin" in marks and lane == "windows" and not is_admin():
        return "needs administrator rights"
    return None


def pytest_runtest_setup(item):
    reason = skip_reason(item, item.config.getoption("--lane"))
    if reason:
        pytest.skip(reason)


@pytest.fixture(scope="session")
def lane(request):
    return Lane(request.config.getoption("--lane"), request.config.getoption("--artifacts"))


@pytest.fixture(scope="session")
def exe(request, lane):
    given = request.config.getoption("--exe")
    if given == "none":
        return None
    if given:
        return Path(given).resolve()
    if lane.artifacts is None:
        pytest.fail("give --exe or --artifacts")
    return lane.artifacts / ("Install.exe" if lane.windows_build else "Install")
