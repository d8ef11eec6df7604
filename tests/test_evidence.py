"""What the docs and tools/distribution.py describe agrees with the suites and the program.

The docs' evidence tables name tests that exist: every name in backticks in the evidence
columns (all but the first) of a table under a heading that says "Evidence" is a pytest row
(`test_x[param]`, or with its file: `test_file.py::test_x[param]`), a GoogleTest
(`Suite.Name`) or a situation of the Win32 seam's table (its text)."""

import re
import subprocess
import sys
from pathlib import Path

import pytest
from distribution import BOOT_FILES, LAUNCHERS, LEFT_BESIDE

TESTS = Path(__file__).resolve().parent
DOCS = ["docs/safety.md", "docs/deploying.md"]


def evidence_names(text):
    """Each backticked name in the evidence columns of the tables after an "Evidence" heading."""
    names, inside = [], False
    for line in text.splitlines():
        if line.startswith("#"):
            inside = "Evidence" in line
        elif inside and line.startswith("|") and not re.match(r"\|[-| ]+\|$", line):
            for cell in line.strip("|").split("|")[1:]:
                names += re.findall(r"`([^`]+)`", cell)
    return names


@pytest.fixture(scope="module")
def known():
    listed = subprocess.run([sys.executable, "-m", "pytest", "--collect-only", "-q",
                             "--lane=windows", "e2e", "windows"],
                            cwd=TESTS, capture_output=True, text=True, timeout=300).stdout
    rows = set()
    for line in listed.splitlines():
        if "::" in line:
            file, row = line.split("::", 1)
            rows |= {row, file.split("/")[-1] + "::" + row}
    units = "".join(p.read_text() for p in (TESTS / "unit").glob("*.cpp"))
    gtests = {f"{a}.{b}" for a, b in re.findall(r"^TEST(?:_F)?\((\w+), (\w+)\)", units, re.M)}
    seam = (TESTS / "unit" / "win32_seam_test.cpp").read_text()
    return rows, gtests, seam


@pytest.mark.parametrize("doc", DOCS)
def test_every_named_test_exists(known, doc):
    rows, gtests, seam = known
    names = evidence_names((TESTS.parent / doc).read_text())
    missing = [name for name in names if not (
        name in rows or name in gtests or
        f'{{"{name}"' in seam)]
    assert missing == []
    assert names


def test_the_program_installs_the_described_distribution():
    # tools/distribution.py describes what installer/install_files.cpp copies, in its order, and
    # what platform/platform.h names the files a run leaves beside a target.
    program = (TESTS.parent / "installer" / "install_files.cpp").read_text()
    lists = {name: re.findall(r'"([^"]+)"', body) for name, body in
             re.findall(r"static const char\* const (\w+)\[\] = \{([^}]*)\}", program)}
    assert (lists["launchers"], lists["boot_files"]) == (LAUNCHERS, BOOT_FILES)
    suffixes = re.findall(r'plat_(?:temporary|set_aside)_suffix\[\] = "([^"]+)"',
                          (TESTS.parent / "platform" / "platform.h").read_text())
    assert tuple(suffixes) == LEFT_BESIDE
