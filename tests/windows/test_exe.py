"""The Windows executable itself: its embedded application manifest and the DLLs it imports;
and the Windows build's unit and seam tests, run in the lane."""

import subprocess
from pathlib import Path

import pytest

RT_MANIFEST = 24
MANIFEST = Path(__file__).resolve().parents[2] / "installer" / "Install.manifest"
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll"}

@pytest.fixture(scope="module")
def pe(exe):
    image = pytest.importorskip("pefile").PE(str(exe))
    yield image
    image.close()

def test_manifest_is_resource_1_of_type_24_and_asks_for_no_elevation(pe):
    types = {entry.id: entry for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries}
    assert RT_MANIFEST in types
    manifests = {entry.id: entry for entry in types[RT_MANIFEST].directory.entries}
    assert list(manifests) == [1]
    language = manifests[1].directory.entries[0]
    data = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
    assert data == MANIFEST.read_bytes()
    assert b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in data

def test_imports_only_system_dlls(pe):
    imported = {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
                for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert set(imported) == SYSTEM_DLLS
    # Below the root, files are opened, created, checked, renamed and removed relative to held
    # folders; CreateFileA holds the root (and serves the configuration's own path-based calls).
    # No call that names a file by a path Windows walks again (CopyFileA, MoveFileExA,
    # DeleteFileA, CreateDirectoryA) is left, and RedirectionGuard is looked up at run time, so
    # that older systems still load the program. A retry keys on the native status.
    assert {"NtCreateFile", "NtSetInformationFile", "RtlGetLastNtStatus"} <= imported["ntdll.dll"]
    for call in ("CreateFileA", "FlushFileBuffers", "ReadFile", "WriteFile", "CloseHandle", "GetModuleFileNameA",
                 "GetFinalPathNameByHandleW", "CompareStringOrdinal", "GetFileInformationByHandleEx",
                 "SetFileInformationByHandle", "GetProcAddress"):
        assert call in imported["kernel32.dll"]
    for call in ("CopyFileA", "MoveFileExA", "DeleteFileA", "CreateDirectoryA",
                 "SetProcessMitigationPolicy"):
        assert call not in imported["kernel32.dll"]


@pytest.mark.parametrize("name", ["unit_tests.exe", "seam_tests.exe"])
def test_unit_and_seam_tests_pass(lane, name):
    done = subprocess.run(lane.command(lane.artifacts / "tests" / name), capture_output=True,
                          timeout=600)
    assert done.returncode == 0, done.stdout.decode("latin-1")[-4000:]
