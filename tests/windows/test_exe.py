"""The Windows executable itself: its embedded application manifest and the DLLs it imports."""

from pathlib import Path

import pefile
import pytest

RT_MANIFEST = 24
MANIFEST = Path(__file__).resolve().parents[2] / "installer" / "Install.manifest"
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}

@pytest.fixture(scope="module")
def pe(request):
    image = pefile.PE(request.config.getoption("--exe"))
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
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert imported == SYSTEM_DLLS
    kernel32 = next(e for e in pe.DIRECTORY_ENTRY_IMPORT if e.dll.lower() == b"kernel32.dll")
    names = {i.name.decode() for i in kernel32.imports if i.name}
    # A copy reads its checked source through the handle it holds, so CopyFileA is not needed;
    # files are put in place by MoveFileExA and folders checked through their final names.
    for call in ("CreateFileA", "ReadFile", "WriteFile", "CloseHandle", "GetFileAttributesA",
                 "CreateDirectoryA", "GetModuleFileNameA", "MoveFileExA", "DeleteFileA",
                 "GetFinalPathNameByHandleA", "GetFileInformationByHandle", "GetFileType"):
        assert call in names
    assert "CopyFileA" not in names
