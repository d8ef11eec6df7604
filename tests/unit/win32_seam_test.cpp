// The Win32 backend where Wine cannot show the situation: a junction, a link, a pipe, a volume
// without a drive letter, a call the system refuses. A second build of the backend
// (win32_seam.h) sends a few calls here, where one planned call reports what the situation
// would and the rest go to the system. Each row's outcome is the one the POSIX backend gives
// when the same situation is real (platform_test.cpp and the end-to-end attacks plant it).
#define WIN32_SEAM_FAKES
#include "win32_seam.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform.h"
#include "temp_dir.h"

namespace {

// The one call a row makes report its situation.
struct Plan {
    const char* call;      // by name; NtSetInformationFile's "rename" ("rename-to": by the new
                           // name) or "delete"; "reparse": a reparse point of tag error; or none
    const wchar_t* name;   // on the file or folder of this name (nullptr: any)
    DWORD error;           // what it fails with (a Win32 error, or a status for the native calls)
    int skip = 0;          // matching calls let through first
    bool dos_only = false; // GetFinalPathNameByHandleW: only names with a drive letter fail
    bool once = false;     // only the first matching call after those fails
};

Plan plan;
int hits = 0; // how often the planned call was made to fail

// The file's final name, from the system itself.
std::wstring name_of(HANDLE file) {
    wchar_t name[1024];
    DWORD length = GetFinalPathNameByHandleW(file, name, 1024, VOLUME_NAME_DOS);
    return length < 1024 ? std::wstring(name, length) : std::wstring();
}

// True when the file is the plan's.
bool named(const std::wstring& file) {
    std::wstring name = plan.name != nullptr ? plan.name : L"";
    return plan.name == nullptr || file == name ||
           (file.size() > name.size() &&
            file.compare(file.size() - name.size() - 1, std::wstring::npos, L"\\" + name) == 0);
}

// True when this call is the planned one: its name and file match, once the planned number of
// matching calls has gone through.
bool planned(const char* call, const std::wstring& file) {
    bool matches = plan.call != nullptr && strcmp(plan.call, call) == 0 && named(file);
    if (!matches || plan.skip-- > 0) {
        return false;
    }
    hits++;
    plan.call = plan.once ? nullptr : plan.call;
    return true;
}

// True when the plan makes this file a reparse point, in whatever call asks.
bool tagged(HANDLE file) {
    return plan.call != nullptr && strcmp(plan.call, "reparse") == 0 && named(name_of(file));
}

// Whether FileRenameInformationEx is offered, as from Windows 10 1809 on.
bool one_step = false;

BOOL failed() {
    SetLastError(plan.error);
    return FALSE;
}

// RedirectionGuard as the system offers it, or not at all.
bool guard_offered = true;
DWORD guard_asked = 0;

BOOL WINAPI record_policy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T size) {
    if (policy == ProcessRedirectionTrustPolicy &&
        size == sizeof(PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY)) {
        guard_asked = static_cast<PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY*>(buffer)->Flags;
    }
    return FALSE; // as a system that refuses it
}

} // namespace

NTSTATUS NTAPI seam_NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                 PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes,
                                 ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                 ULONG ea_length) {
    const UNICODE_STRING* object = attributes->ObjectName;
    if (planned("NtCreateFile", std::wstring(object->Buffer, object->Length / sizeof(wchar_t)))) {
        return static_cast<NTSTATUS>(plan.error);
    }
    return NtCreateFile(handle, access, attributes, io, size, file_attributes, share, disposition,
                        options, ea, ea_length);
}

// Renames as Windows does, which (unlike Wine) replaces no read-only file; the one-step rename
// (FileRenameInformationEx) as Windows 10 1809 does, ignoring that attribute, or refused as an
// unknown class as before.
NTSTATUS NTAPI seam_NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information,
                                         ULONG length, FILE_INFORMATION_CLASS which) {
    bool rename = which == nt_class(nt_rename);
    if (which == nt_class(nt_rename_ex)) {
        if (!one_step) {
            return static_cast<NTSTATUS>(0xC0000003); // STATUS_INVALID_INFO_CLASS
        }
        *static_cast<ULONG*>(information) &= 1; // FILE_RENAME_REPLACE_IF_EXISTS: ReplaceIfExists
        return NtSetInformationFile(file, io, information, length, nt_class(nt_rename));
    }
    if ((rename || which == nt_class(nt_disposition) || which == nt_class(nt_disposition_ex)) &&
        planned(rename ? "rename" : "delete", name_of(file))) {
        return static_cast<NTSTATUS>(plan.error);
    }
    if (rename) {
        const auto* to = static_cast<const NtRename*>(information);
        std::wstring folder = name_of(file);
        folder.resize(folder.rfind(L'\\'));
        std::wstring target = folder + L"\\" + std::wstring(to->name, to->name_length / 2);
        if (planned("rename-to", target)) {
            return static_cast<NTSTATUS>(plan.error);
        }
        DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            return static_cast<NTSTATUS>(0xC0000022); // STATUS_ACCESS_DENIED
        }
    }
    return NtSetInformationFile(file, io, information, length, which);
}

// Reports a reparse point: a junction or link opened as itself (its tag unknown here), or the
// planned tag.
BOOL WINAPI seam_GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    BOOL ok = GetFileInformationByHandle(file, information);
    if (ok && (planned("GetFileInformationByHandle", name_of(file)) || tagged(file))) {
        information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return ok;
}

BOOL WINAPI seam_GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS which,
                                              LPVOID information, DWORD size) {
    if (which == FileAttributeTagInfo && tagged(file)) {
        auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(information);
        tag->FileAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
        tag->ReparseTag = plan.error;
        return TRUE;
    }
    if (which != FileIdInfo || !planned("GetFileInformationByHandleEx", name_of(file))) {
        return GetFileInformationByHandleEx(file, which, information, size);
    }
    // No error: the file system gives ids of zero.
    if (plan.error != 0 || !GetFileInformationByHandleEx(file, which, information, size)) {
        return failed();
    }
    memset(&static_cast<FILE_ID_INFO*>(information)->FileId, 0, sizeof(FILE_ID_128));
    return TRUE;
}

BOOL WINAPI seam_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS which,
                                            LPVOID information, DWORD size) {
    return planned("SetFileInformationByHandle", name_of(file))
               ? failed()
               : SetFileInformationByHandle(file, which, information, size);
}

DWORD WINAPI seam_GetFinalPathNameByHandleW(HANDLE file, LPWSTR name, DWORD size, DWORD flags) {
    bool dos = (flags & (VOLUME_NAME_GUID | VOLUME_NAME_NT | VOLUME_NAME_NONE)) == 0;
    if ((dos || !plan.dos_only) && planned("GetFinalPathNameByHandleW", name_of(file))) {
        SetLastError(plan.error);
        return 0;
    }
    return GetFinalPathNameByHandleW(file, name, size, flags);
}

BOOL WINAPI seam_FlushFileBuffers(HANDLE file) {
    return planned("FlushFileBuffers", name_of(file)) ? failed() : FlushFileBuffers(file);
}

// Reports a pipe: what a redirection to a pipe or server opens.
DWORD WINAPI seam_GetFileType(HANDLE file) {
    return planned("GetFileType", name_of(file)) ? FILE_TYPE_PIPE : GetFileType(file);
}

FARPROC WINAPI seam_GetProcAddress(HMODULE module, LPCSTR name) {
    if (strcmp(name, "SetProcessMitigationPolicy") == 0) {
        return guard_offered
                   ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(record_policy))
                   : nullptr;
    }
    return GetProcAddress(module, name);
}

namespace {

const DWORD access_denied = 0xC0000022;  // STATUS_ACCESS_DENIED
const DWORD name_collision = 0xC0000035; // STATUS_OBJECT_NAME_COLLISION
const DWORD disk_full = 0xC000007F;      // STATUS_DISK_FULL
const DWORD dedup = 0x80000013;          // IO_REPARSE_TAG_DEDUP
const DWORD cloud = 0x9000101A;          // IO_REPARSE_TAG_CLOUD_1, the file not on this device

struct Row {
    const char* situation;
    Plan plan;
    int32_t copied; // PLAT_DONE (true) or PLAT_FAILED as on POSIX, or what only Windows knows
    int tries = 0;  // how often the planned call failed, when counted
    // "stale": bin\x.tmp left by a run; "read-only": bin\x is; "older": a read-only bin\x.old (no
    // more renamed over than a running one); "one-step": FileRenameInformationEx is offered
    const char* setup = "";
    // bin afterwards, each file with its contents; by default x, new when copied, else old.
    std::vector<std::pair<std::string, std::string>> bin = {};
    const char* source = "rel\\src"; // the file copied, below the root
};

TEST(Win32Seam, EachSituationEndsAsOnPosix) {
    const Row rows[] = {
        {"bin is a junction", {"GetFileInformationByHandle", L"bin", 0}, false},
        {"the source is a link", {"GetFileInformationByHandle", L"src", 0}, false},
        {"the target is a link", {"GetFileInformationByHandle", L"x", 0}, false},
        {"the source is reached as a pipe", {"GetFileType", L"src", 0}, false},
        {"the target cannot be looked at, and is not waited for",
         {"NtCreateFile", L"x", access_denied},
         false,
         1},
        {"a file takes the temporary name after it was cleared",
         {"NtCreateFile", L"x.tmp", name_collision, 1},
         false,
         0,
         "stale"},
        {"the stale temporary file cannot be removed",
         {"delete", L"x.tmp", access_denied},
         false,
         0,
         "stale",
         {{"x", "old"}, {"x.tmp", "stale"}}},
        {"a read-only stale temporary file", {}, true, 0, "stale read-only-stale"},
        {"the contents cannot be flushed", {"FlushFileBuffers", nullptr, ERROR_DISK_FULL}, false},
        {"the folder cannot be flushed after the rename",
         {"FlushFileBuffers", L"bin", ERROR_DISK_FULL},
         false,
         0,
         "",
         {{"x", "new"}}},
        {"the target is running: set aside, and cleared once it no longer runs",
         {"rename", L"x.tmp", access_denied, 0, false, true},
         true},
        {"the target is running and the new file cannot take its place: put back",
         {"rename", L"x.tmp", access_denied},
         false},
        {"the volume has no drive letter",
         {"GetFinalPathNameByHandleW", nullptr, ERROR_PATH_NOT_FOUND, 0, true},
         true},
        {"no final name can be had",
         {"GetFinalPathNameByHandleW", nullptr, ERROR_PATH_NOT_FOUND},
         false},
        {"no 128-bit file ids",
         {"GetFileInformationByHandleEx", nullptr, ERROR_INVALID_PARAMETER},
         true},
        {"128-bit file ids of zero", {"GetFileInformationByHandleEx", nullptr, 0}, true},
        {"no 128-bit file ids, copied onto itself",
         {"GetFileInformationByHandleEx", nullptr, ERROR_INVALID_PARAMETER},
         false,
         0,
         "",
         {},
         "bin\\x"},
        {"a read-only target", {}, true, 0, "read-only"},
        {"a read-only target, the rename refused",
         {"rename", L"x.tmp", disk_full},
         false,
         0,
         "read-only"},
        {"replaced in one step where offered, a read-only target that cannot be renamed over",
         {"rename-to", L"x", access_denied},
         true,
         0,
         "read-only one-step"},
        {"the target is set aside and neither file can take its name: both kept",
         {"rename-to", L"x", access_denied},
         PLAT_STRANDED,
         0,
         "",
         {{"x.old", "old"}, {"x.tmp", "new"}}},
        {"the target is running and its older .old cannot be replaced",
         {"rename", L"x.tmp", access_denied},
         false,
         0,
         "older",
         {{"x", "old"}, {"x.old", "older"}}},
        {"the folder's flush is denied",
         {"FlushFileBuffers", L"bin", ERROR_ACCESS_DENIED},
         false,
         0,
         "",
         {{"x", "new"}}},
        {"the source is deduplicated", {"reparse", L"src", dedup}, true},
        {"a cloud file not on this device", {"reparse", L"src", cloud}, PLAT_IN_CLOUD},
    };
    for (const Row& row : rows) {
        TempDir dir;
        std::filesystem::create_directories(dir.file("outside"));
        std::filesystem::create_directories(dir.file("root/bin"));
        std::filesystem::create_directories(dir.file("root/rel"));
        write_bytes(dir.file("root/rel/src"), "new");
        write_bytes(dir.file("root/bin/x"), "old");
        std::string setup = row.setup;
        std::string stale = dir.file("root/bin/x.tmp");
        if (setup.find("stale") != std::string::npos) {
            write_bytes(stale, "stale");
        }
        if (setup.find("read-only-stale") != std::string::npos) {
            SetFileAttributesA(stale.c_str(), FILE_ATTRIBUTE_READONLY);
        }
        std::string older = dir.file("root/bin/x.old");
        if (setup.find("older") != std::string::npos) {
            write_bytes(older, "older");
            SetFileAttributesA(older.c_str(), FILE_ATTRIBUTE_READONLY);
        }
        one_step = setup.find("one-step") != std::string::npos;
        std::string x = dir.file("root/bin/x");
        bool read_only = setup.find("read-only") == 0;
        if (read_only) {
            SetFileAttributesA(x.c_str(), FILE_ATTRIBUTE_READONLY);
        }
        std::string root = dir.file("root");
        PlatFolder held = plat_hold_root(root.c_str());
        ASSERT_NE(PLAT_NO_FOLDER, held);
        std::string source = row.source;
        size_t split = source.find('\\');
        plan = row.plan;
        hits = 0;
        int32_t copied = plat_copy_file(held, source.substr(0, split).c_str(),
                                        source.substr(split + 1).c_str(), "bin", "x");
        plan = Plan{};
        plat_release_folder(held);

        auto bin = row.bin;
        if (bin.empty()) {
            bin = {{"x", row.copied == PLAT_DONE ? "new" : "old"}};
        }
        std::vector<std::string> names;
        for (const auto& file : bin) {
            names.push_back(file.first);
            EXPECT_EQ(file.second, read_bytes(dir.file("root/bin/" + file.first))) << row.situation;
        }
        EXPECT_EQ(row.copied, copied) << row.situation;
        EXPECT_EQ(names, names_in(dir.file("root/bin"))) << row.situation;
        EXPECT_EQ((std::vector<std::string>{"bin", "rel"}), names_in(root)) << row.situation;
        EXPECT_TRUE(names_in(dir.file("outside")).empty()) << row.situation;
        EXPECT_TRUE(row.tries == 0 || row.tries == hits) << row.situation << ": " << hits;
        // The new file is not read-only; one that stays keeps its attributes.
        DWORD attributes = GetFileAttributesA(x.c_str());
        bool still_read_only =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        EXPECT_EQ(read_only && row.copied != PLAT_DONE, still_read_only) << row.situation;
        for (const std::string& file : {x, stale, older}) {
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
    }
}

TEST(Win32Seam, RedirectionGuardIsAskedForWhereOffered) {
    for (bool offered : {true, false}) {
        guard_offered = offered;
        guard_asked = 0;
        plat_setup_process();                      // a refusal of the policy changes nothing
        EXPECT_EQ(offered ? 1u : 0u, guard_asked); // EnforceRedirectionTrust alone
    }
    guard_offered = true;
}

} // namespace
