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

// Which of the matching calls fail.
enum Fails {
    every_call,      // every one after those let through
    first_call_only, // only the first after those
    dos_names_only,  // GetFinalPathNameByHandleW: every one that asks a name by drive letter
};

// The one call a row makes report its situation.
struct Plan {
    const char* call;    // by name; NtSetInformationFile's "rename" ("rename-to": by the new
                         // name) or "delete"; "reparse": a reparse point of tag error; or none
    const wchar_t* name; // on the file or folder of this name (nullptr: any)
    DWORD error;         // what it fails with (a Win32 error, or a status for the native calls)
    int skip = 0;        // matching calls let through first
    Fails fails = every_call; // which of the rest fail
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
    plan.call = plan.fails == first_call_only ? nullptr : plan.call;
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
    if (policy == nt_redirection_trust_policy && size == sizeof(NtRedirectionTrust)) {
        guard_asked = static_cast<NtRedirectionTrust*>(buffer)->flags;
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
    if ((dos || plan.fails != dos_names_only) &&
        planned("GetFinalPathNameByHandleW", name_of(file))) {
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
const DWORD cloud = 0x9000101A;          // IO_REPARSE_TAG_CLOUD_1: a sync client's file or folder

// What stands in bin beside x ("old") before the copy, bit by bit.
enum Before : unsigned {
    nothing_else = 0,
    stale = 1,             // x.tmp ("stale"), left by an interrupted run
    stale_read_only = 2,   // that x.tmp is read-only
    older = 4,             // a read-only x.old ("older"), no more renamed over than a running one
    read_only = 8,         // x is read-only
    one_step_offered = 16, // FileRenameInformationEx is offered (by the system, not in bin)
    onto_itself = 32,      // the source is bin\x itself, not rel\src ("new")
    bin_made = 64, // no bin: plat_make_dir makes it, with the plan in force, before the copy
};

// bin afterwards, each file with its contents.
using Files = std::vector<std::pair<std::string, std::string>>;
const Files x_as_copied = {}; // x alone: "new" when copied, else "old"

const int any_tries = 0;   // how often the planned call fails is not counted
const int not_retried = 1; // it fails once: no retry follows

struct Row {
    const char* situation;
    Plan plan;
    int32_t copied; // PLAT_DONE or PLAT_FAILED as on POSIX, or what only Windows knows
    unsigned before = nothing_else;
    Files bin = x_as_copied;
    int tries = any_tries;
};

const Row rows[] = {
    {"bin is a junction", {"GetFileInformationByHandle", L"bin", 0}, PLAT_FAILED},
    {"the source is a link", {"GetFileInformationByHandle", L"src", 0}, PLAT_FAILED},
    {"the target is a link", {"GetFileInformationByHandle", L"x", 0}, PLAT_FAILED},
    {"the source is reached as a pipe", {"GetFileType", L"src", 0}, PLAT_FAILED},
    {"the target cannot be looked at, and is not waited for",
     {"NtCreateFile", L"x", access_denied},
     PLAT_FAILED,
     nothing_else,
     x_as_copied,
     not_retried},
    {"a file takes the temporary name after it was cleared",
     {"NtCreateFile", L"x.tmp", name_collision, 1},
     PLAT_FAILED,
     stale},
    {"the stale temporary file cannot be removed",
     {"delete", L"x.tmp", access_denied},
     PLAT_FAILED,
     stale,
     {{"x", "old"}, {"x.tmp", "stale"}}},
    {"a read-only stale temporary file", {}, PLAT_DONE, stale | stale_read_only},
    {"the contents cannot be flushed", {"FlushFileBuffers", nullptr, ERROR_DISK_FULL}, PLAT_FAILED},
    {"a file system that has no flush",
     {"FlushFileBuffers", nullptr, ERROR_INVALID_FUNCTION},
     PLAT_DONE},
    {"the folder cannot be flushed after the rename",
     {"FlushFileBuffers", L"bin", ERROR_DISK_FULL},
     PLAT_UNFLUSHED,
     nothing_else,
     {{"x", "new"}}},
    {"the renamed file cannot be flushed",
     {"FlushFileBuffers", L"x", ERROR_DISK_FULL},
     PLAT_UNFLUSHED,
     nothing_else,
     {{"x", "new"}}},
    {"the root cannot be flushed after bin is made",
     {"FlushFileBuffers", L"root", ERROR_DISK_FULL},
     PLAT_FAILED,
     bin_made,
     {{"x", "new"}}},
    {"the target is running: set aside, and cleared once it no longer runs",
     {"rename", L"x.tmp", access_denied, 0, first_call_only},
     PLAT_DONE},
    {"the target is running and the new file cannot take its place: put back",
     {"rename", L"x.tmp", access_denied},
     PLAT_FAILED},
    {"the volume has no drive letter",
     {"GetFinalPathNameByHandleW", nullptr, ERROR_PATH_NOT_FOUND, 0, dos_names_only},
     PLAT_DONE},
    {"no final name can be had",
     {"GetFinalPathNameByHandleW", nullptr, ERROR_PATH_NOT_FOUND},
     PLAT_FAILED},
    {"no 128-bit file ids",
     {"GetFileInformationByHandleEx", nullptr, ERROR_INVALID_PARAMETER},
     PLAT_DONE},
    {"128-bit file ids of zero", {"GetFileInformationByHandleEx", nullptr, 0}, PLAT_DONE},
    {"no 128-bit file ids, copied onto itself",
     {"GetFileInformationByHandleEx", nullptr, ERROR_INVALID_PARAMETER},
     PLAT_FAILED,
     onto_itself},
    {"a read-only target", {}, PLAT_DONE, read_only},
    {"a read-only target, the rename refused",
     {"rename", L"x.tmp", disk_full},
     PLAT_FAILED,
     read_only},
    {"replaced in one step where offered, a read-only target that cannot be renamed over",
     {"rename-to", L"x", access_denied},
     PLAT_DONE,
     read_only | one_step_offered},
    {"the target is set aside and neither file can take its name: both kept",
     {"rename-to", L"x", access_denied},
     PLAT_STRANDED,
     nothing_else,
     {{"x.old", "old"}, {"x.tmp", "new"}}},
    {"the target is running and its older .old cannot be replaced",
     {"rename", L"x.tmp", access_denied},
     PLAT_FAILED,
     older,
     {{"x", "old"}, {"x.old", "older"}}},
    {"the folder's flush is denied",
     {"FlushFileBuffers", L"bin", ERROR_ACCESS_DENIED},
     PLAT_UNFLUSHED,
     nothing_else,
     {{"x", "new"}}},
    {"the source is deduplicated", {"reparse", L"src", dedup}, PLAT_DONE},
    {"a cloud file not on this device", {"reparse", L"src", cloud}, PLAT_IN_CLOUD},
    {"the tree is in a folder that a sync client keeps", {"reparse", L"root", cloud}, PLAT_DONE},
};

// Lays out root (bin with x, rel with src) and an empty folder outside it, with what the row
// puts there before the copy.
void lay_out(const TempDir& dir, unsigned before) {
    std::filesystem::create_directories(dir.file("outside"));
    std::filesystem::create_directories(dir.file("root/rel"));
    write_bytes(dir.file("root/rel/src"), "new");
    if ((before & bin_made) == 0) {
        std::filesystem::create_directories(dir.file("root/bin"));
        write_bytes(dir.file("root/bin/x"), "old");
    }
    if (before & stale) {
        write_bytes(dir.file("root/bin/x.tmp"), "stale");
    }
    if (before & stale_read_only) {
        SetFileAttributesA(dir.file("root/bin/x.tmp").c_str(), FILE_ATTRIBUTE_READONLY);
    }
    if (before & older) {
        write_bytes(dir.file("root/bin/x.old"), "older");
        SetFileAttributesA(dir.file("root/bin/x.old").c_str(), FILE_ATTRIBUTE_READONLY);
    }
    if (before & read_only) {
        SetFileAttributesA(dir.file("root/bin/x").c_str(), FILE_ATTRIBUTE_READONLY);
    }
}

// Copies the row's source over bin\x below the held root with the row's plan in force: the
// copy's outcome, or the making of bin's where that failed.
int32_t copy_as_planned(const TempDir& dir, const Row& row) {
    PlatFolder held = plat_hold_root(dir.file("root").c_str());
    EXPECT_NE(PLAT_NO_FOLDER, held) << row.situation;
    one_step = (row.before & one_step_offered) != 0;
    plan = row.plan;
    hits = 0;
    int32_t made = (row.before & bin_made) != 0 ? plat_make_dir(held, "bin") : PLAT_DONE;
    int32_t copied = (row.before & onto_itself) != 0
                         ? plat_copy_file(held, "bin", "x", "bin", "x")
                         : plat_copy_file(held, "rel", "src", "bin", "x");
    plan = Plan{};
    plat_release_folder(held);
    return made != PLAT_DONE ? made : copied;
}

// Checks that the copy ended as the row says: bin holds what it should and nothing else,
// nothing was written elsewhere, and x is read-only only where it stayed so.
void expect_ending(const TempDir& dir, const Row& row, int32_t copied) {
    EXPECT_EQ(row.copied, copied) << row.situation;
    Files bin = row.bin.empty() ? Files{{"x", row.copied == PLAT_DONE ? "new" : "old"}} : row.bin;
    std::vector<std::string> names;
    for (const auto& file : bin) {
        names.push_back(file.first);
        EXPECT_EQ(file.second, read_bytes(dir.file("root/bin/" + file.first))) << row.situation;
    }
    EXPECT_EQ(names, names_in(dir.file("root/bin"))) << row.situation;
    EXPECT_EQ((std::vector<std::string>{"bin", "rel"}), names_in(dir.file("root")))
        << row.situation;
    EXPECT_TRUE(names_in(dir.file("outside")).empty()) << row.situation;
    EXPECT_TRUE(row.tries == any_tries || row.tries == hits) << row.situation << ": " << hits;
    // The new file is not read-only; one that stays keeps its attributes.
    DWORD attributes = GetFileAttributesA(dir.file("root/bin/x").c_str());
    bool still_read_only =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    EXPECT_EQ((row.before & read_only) != 0 && row.copied != PLAT_DONE, still_read_only)
        << row.situation;
}

// Clears the read-only attribute wherever a row may have left it, so that the folder can go.
void clear_attributes(const TempDir& dir) {
    for (const char* name : {"root/bin/x", "root/bin/x.tmp", "root/bin/x.old"}) {
        SetFileAttributesA(dir.file(name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(Win32Seam, EachSituationEndsAsOnPosix) {
    for (const Row& row : rows) {
        TempDir dir;
        lay_out(dir, row.before);
        int32_t copied = copy_as_planned(dir, row);
        expect_ending(dir, row, copied);
        clear_attributes(dir);
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
