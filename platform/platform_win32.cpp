// Win32 backend: KERNEL32 calls, and the native calls of NTDLL that work relative to a held
// folder. Paths go to the 8-bit calls unchanged; a name below a held folder is turned into the
// system's wide form with the ANSI code page, as the 8-bit calls turn theirs. The held root and
// folders are handles, and every step below the root is a native call (NtCreateFile,
// NtSetInformationFile) with one of them as its root directory.
// FILE_ID_INFO comes with Windows 8; older systems fall back to the 64-bit file index. POSIX-style
// deletion and renaming that ignore the read-only attribute come with Windows 10 1809; older
// systems clear the attribute first, and set a running target aside before renaming over it.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#include "platform_win32.h"
#include "nt_calls.h"
#include "platform.h"
#include "platform_backend.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

// CompareStringOrdinal's last argument: names compared as the file system compares them.
static const BOOL ignoring_case = TRUE;

// The native statuses this backend tells apart (ntstatus.h clashes with windows.h).
static const NTSTATUS status_delete_pending = static_cast<NTSTATUS>(0xC0000056);
static const NTSTATUS status_path_syntax_bad = static_cast<NTSTATUS>(0xC000003B);

// Flags of FileDispositionInformationEx (Windows 10 on): delete,
// the POSIX way (the name goes at once), but not a file that a program runs from (the image check
// that the POSIX way otherwise skips), even a read-only file.
static const ULONG delete_posix_ignoring_read_only = 0x1 | 0x2 | 0x4 | 0x10;

// Flags of FileRenameInformationEx (Windows 10 1809 on): replace what stands at the name, the
// POSIX way (others' open handles do not stop it), even a read-only file.
static const ULONG rename_posix_ignoring_read_only = 0x1 | 0x2 | 0x40;

static HANDLE handle_of(PlatFile file) {
    return reinterpret_cast<HANDLE>(file);
}

// An invalid handle (INVALID_HANDLE_VALUE) becomes PLAT_NO_FILE.
static PlatFile file_of(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? PLAT_NO_FILE : reinterpret_cast<PlatFile>(handle);
}

static HANDLE folder_handle(PlatFolder folder) {
    return reinterpret_cast<HANDLE>(folder);
}

// An invalid handle becomes PLAT_NO_FOLDER.
static PlatFolder folder_of(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? PLAT_NO_FOLDER : reinterpret_cast<PlatFolder>(handle);
}

// True when the handle is a file on disk (not a console, pipe or other device).
static bool on_disk(HANDLE handle) {
    return GetFileType(handle) == FILE_TYPE_DISK;
}

// Closes a handle that was opened but is not kept, leaving an error that no caller takes for an
// absent file and no retry waits on; INVALID_HANDLE_VALUE.
static HANDLE close_refused(HANDLE handle) {
    CloseHandle(handle);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
}

// Opens path with CreateFileA for the configuration's own reads and writes of files its caller
// names; anything but a file on disk is closed again. No quality of service is asked for here:
// its flag is the bit of FILE_FLAG_OPEN_NO_RECALL, which would keep a file in a cloud-synced
// folder from being fetched.
static PlatFile open_path(const char* path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags) {
    HANDLE handle = CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE && !on_disk(handle)) {
        handle = close_refused(handle);
    }
    return file_of(handle);
}

// Attributes of a cloud file, beyond those the headers name: kept on this device by the user's
// choice ("always keep on this device"), and not (or not all) here.
static const DWORD attribute_pinned = 0x00080000;
static const DWORD attributes_not_here = FILE_ATTRIBUTE_OFFLINE | 0x00040000 | 0x00400000;

// True for a cloud file's or folder's tag, which a sync client sets: every cloud tag is the base
// tag with a number in bits 12 to 15, and none is a name surrogate, so none leads elsewhere.
static bool cloud_tag(DWORD tag) {
    return (tag & 0xFFFF0FFF) == static_cast<DWORD>(IO_REPARSE_TAG_CLOUD);
}

// What an open file below the root is, as this backend treats it.
enum Kind {
    kind_refused,  // a folder, a device, a link, junction or mount point, a reparse point unknown
    kind_plain,    // a file on disk with no reparse point
    kind_filtered, // a reparse point that only says how the contents are kept on this volume:
                   // deduplicated, compressed by the system, a cloud file pinned and all here
    kind_in_cloud, // a cloud file not kept on this device: reading it would fetch it
};

// What the open handle is; info receives what the system says of it.
static Kind kind_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
    if (!on_disk(handle) || !GetFileInformationByHandle(handle, info) ||
        (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return kind_refused;
    }
    if ((info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return kind_plain;
    }
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        IsReparseTagNameSurrogate(tag.ReparseTag)) {
        return kind_refused;
    }
    if (tag.ReparseTag == static_cast<DWORD>(IO_REPARSE_TAG_DEDUP) ||
        tag.ReparseTag == static_cast<DWORD>(IO_REPARSE_TAG_WOF)) {
        return kind_filtered;
    }
    if (cloud_tag(tag.ReparseTag)) {
        return (info->dwFileAttributes & attribute_pinned) != 0 &&
                       (info->dwFileAttributes & attributes_not_here) == 0
                   ? kind_filtered
                   : kind_in_cloud;
    }
    return kind_refused;
}

// True for a kind whose contents are all on this volume: a file that may be read or replaced.
static bool whole_here(Kind kind) {
    return kind == kind_plain || kind == kind_filtered;
}

PlatFile plat_open_read(const char* path) {
    return open_path(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

PlatFile plat_create_write(const char* path) {
    // A link at path is opened itself, and refused with anything else but a file on disk with
    // one name before a byte of it is cut.
    HANDLE file = handle_of(open_path(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
    BY_HANDLE_FILE_INFORMATION info;
    if (file != INVALID_HANDLE_VALUE &&
        !(kind_of(file, &info) == kind_plain && info.nNumberOfLinks == 1 && SetEndOfFile(file))) {
        file = close_refused(file);
    }
    return file_of(file);
}

int32_t plat_read(PlatFile file, void* buffer, uint32_t size, uint32_t* got) {
    DWORD count = 0;
    BOOL ok = ReadFile(handle_of(file), buffer, size, &count, nullptr);
    *got = ok ? count : 0;
    return ok ? 1 : 0;
}

int32_t plat_write(PlatFile file, const void* buffer, uint32_t size, uint32_t* written) {
    DWORD count = 0;
    BOOL ok = WriteFile(handle_of(file), buffer, size, &count, nullptr);
    *written = ok ? count : 0;
    return ok ? 1 : 0;
}

int32_t plat_close(PlatFile file) {
    return CloseHandle(handle_of(file)) ? 1 : 0;
}

PlatFolder plat_hold_root(const char* root) {
    // Not shared for deletion: while it is held, the root can be neither renamed nor removed.
    // No quality of service is asked for (its flag is the bit of FILE_FLAG_OPEN_NO_RECALL): the
    // root is the user's choice, followed as given, and anything but a folder on disk is let go.
    HANDLE handle = CreateFileA(root, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE &&
        !(on_disk(handle) && GetFileInformationByHandle(handle, &info) &&
          (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        handle = close_refused(handle);
    }
    return folder_of(handle);
}

void plat_release_folder(PlatFolder folder) {
    CloseHandle(folder_handle(folder));
}

// Pauses before each new try of a step that another program held up, growing, about a second
// in all. Scanners, indexers and backup agents open a file the moment it is made or renamed,
// often without sharing it, and let go within that.
static const DWORD pauses[] = {5, 10, 20, 40, 80, 160, 320, 400};

static bool done(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE;
}

static bool done(bool ok) {
    return ok;
}

// True when the last failure is one that another program's handle causes for a moment: a
// sharing or lock violation, or a file that is about to go. A plain denial is not: a lack of
// rights, a folder where a file should be or a running program never clears by waiting. The
// thread's last status (RtlGetLastNtStatus) tells a pending deletion from the denial that both
// become: RtlNtStatusToDosError records the status it converts, as succeeded() below does for
// every native call whose error is kept, and KERNEL32 does for its own failures.
static bool held_by_another() {
    DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           (error == ERROR_ACCESS_DENIED && RtlGetLastNtStatus() == status_delete_pending);
}

// Runs step, and again after each pause while it fails as held_by_another says; its last
// result, with the last error that try left.
template <typename Step> static auto patiently(Step step) -> decltype(step()) {
    auto result = step();
    for (DWORD pause : pauses) {
        if (done(result) || !held_by_another()) {
            break;
        }
        Sleep(pause);
        result = step();
    }
    return result;
}

// Room for a name below a held folder, and for a final name, in wide characters.
#define WIDE_NAME 1024

// The wide form of name (WIDE_NAME characters) and its length, or -1 when it has none that fits.
static int wide_name(const char* name, wchar_t* wide) {
    return MultiByteToWideChar(CP_ACP, 0, name, -1, wide, WIDE_NAME) - 1;
}

// Sets the last error from a native status, as a failed Win32 call does; true when it succeeded.
static bool succeeded(NTSTATUS status) {
    if (!nt_success(status)) {
        SetLastError(RtlNtStatusToDosError(status));
    }
    return nt_success(status);
}

// Opens name, one plain component ("" is the folder itself), in the held folder, never by a path
// that Windows walks again. NtCreateFile's access, sharing, disposition and options;
// INVALID_HANDLE_VALUE with the last error set on failure.
static HANDLE open_relative(HANDLE folder, const char* name, ACCESS_MASK access, ULONG share,
                            ULONG disposition, ULONG options) {
    wchar_t wide[WIDE_NAME];
    int length = wide_name(name, wide);
    if (length < 0) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING unicode;
    unicode.Buffer = wide;
    unicode.Length = unicode.MaximumLength =
        static_cast<USHORT>(static_cast<size_t>(length) * sizeof(wchar_t));
    // A local pipe that a redirection reaches may learn who the program runs as, never act as
    // that user. (A remote server is signed in to all the same; RedirectionGuard is what keeps
    // junctions away.)
    SECURITY_QUALITY_OF_SERVICE quality = {};
    quality.Length = sizeof quality;
    quality.ImpersonationLevel = SecurityIdentification;
    quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, folder, nullptr);
    attributes.SecurityQualityOfService = &quality;
    IO_STATUS_BLOCK io;
    HANDLE handle = INVALID_HANDLE_VALUE;
    NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, share, disposition,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return succeeded(status) ? handle : INVALID_HANDLE_VALUE;
}

// Opens name in the held folder as open_relative does, never through a reparse point at it: a
// reparse point is opened itself.
static HANDLE open_in(HANDLE folder, const char* name, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options) {
    return open_relative(folder, name, access, share, disposition,
                         options | FILE_OPEN_REPARSE_POINT);
}

// The system's final name of an open file or folder, links resolved, in the volume form asked;
// its length, or 0 when it has none that fits.
static DWORD final_name(HANDLE handle, DWORD form, wchar_t* name) {
    DWORD length = GetFinalPathNameByHandleW(handle, name, WIDE_NAME, FILE_NAME_NORMALIZED | form);
    return length < WIDE_NAME ? length : 0;
}

// True when the open handle is the held root or lies beneath it once links are resolved. The
// wide final names are compared as the file system compares names (ordinal, ignoring case) and
// must part at a separator. Both are named by drive letter, or, where either has none, by the
// volume's GUID.
static bool lies_below(HANDLE root, HANDLE handle) {
    static const DWORD forms[] = {VOLUME_NAME_DOS, VOLUME_NAME_GUID};
    wchar_t root_name[WIDE_NAME];
    wchar_t name[WIDE_NAME];
    for (DWORD form : forms) {
        DWORD prefix = final_name(root, form, root_name);
        DWORD length = final_name(handle, form, name);
        if (prefix > 0 && length > 0) {
            prefix -= root_name[prefix - 1] == L'\\' ? 1 : 0; // a volume's top folder, "\\?\C:\"
            return length >= prefix &&
                   CompareStringOrdinal(name, static_cast<int>(prefix), root_name,
                                        static_cast<int>(prefix), ignoring_case) == CSTR_EQUAL &&
                   (length == prefix || name[prefix] == L'\\');
        }
    }
    return false;
}

// What every folder is held with: no writing, so that a program that holds a folder sharing
// only reading does not stop the run. The flush of a folder's entries opens it for writing while
// it flushes (flush_folder).
static const ACCESS_MASK folder_access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// True when the open folder has no reparse point, or only a sync client's (the folders of a
// cloud-synced tree, such as a Desktop kept by a sync client, all carry one), which leads nowhere
// else. A link, junction, mount point or any other tag is refused.
static bool plain_folder(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    FILE_ATTRIBUTE_TAG_INFO tag;
    return GetFileInformationByHandle(handle, &info) &&
           ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
            (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
             cloud_tag(tag.ReparseTag)));
}

HANDLE win32_hold_in(HANDLE folder, const char* name, ACCESS_MASK access) {
    HANDLE handle = open_in(folder, name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                            FILE_DIRECTORY_FILE);
    if (handle != INVALID_HANDLE_VALUE && !plain_folder(handle)) {
        handle = close_refused(handle);
    }
    return handle;
}

int32_t backend_open_folder(PlatFolder folder, const char* name, PlatFolder* opened) {
    HANDLE handle =
        patiently([&] { return win32_hold_in(folder_handle(folder), name, folder_access); });
    *opened = folder_of(handle);
    return handle != INVALID_HANDLE_VALUE           ? PLAT_DONE
           : GetLastError() == ERROR_FILE_NOT_FOUND ? PLAT_ABSENT
                                                    : PLAT_FAILED;
}

bool backend_folder_lies_below(PlatFolder root, PlatFolder folder) {
    return lies_below(folder_handle(root), folder_handle(folder));
}

static bool same_file(HANDLE one, HANDLE other);

// Opens name in the held folder again through the system's filter that gives its contents (it
// is a reparse point of kind_filtered, opened itself as first); the new handle, kept only when it
// is still the file first judged, else INVALID_HANDLE_VALUE. *kind and info are the new handle's.
static HANDLE reopen_filtered(HANDLE folder, const char* name, HANDLE first, Kind* kind,
                              BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE handle = open_relative(folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                  FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
    *kind = handle != INVALID_HANDLE_VALUE ? kind_of(handle, info) : kind_refused;
    if (handle != INVALID_HANDLE_VALUE && !(whole_here(*kind) && same_file(first, handle))) {
        handle = close_refused(handle);
        *kind = kind_refused;
    }
    return handle;
}

int32_t backend_open_file(PlatFolder root, PlatFolder held, const char* name, PlatFile* file) {
    HANDLE folder = folder_handle(held);
    // A folder at name fails the open; a link or other reparse point is opened itself, and judged
    // by its kind.
    HANDLE handle = patiently([&] {
        return open_in(folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                       FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
    });
    BY_HANDLE_FILE_INFORMATION info;
    Kind kind = handle != INVALID_HANDLE_VALUE ? kind_of(handle, &info) : kind_refused;
    if (kind == kind_filtered) {
        HANDLE contents = reopen_filtered(folder, name, handle, &kind, &info);
        CloseHandle(handle);
        handle = contents;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? PLAT_ABSENT : PLAT_FAILED;
    }
    if (kind == kind_in_cloud) {
        CloseHandle(handle);
        return PLAT_IN_CLOUD;
    }
    if (!(whole_here(kind) && info.nNumberOfLinks == 1 &&
          lies_below(folder_handle(root), handle))) {
        close_refused(handle);
        return PLAT_FAILED;
    }
    *file = file_of(handle);
    return PLAT_DONE;
}

// True when the two open files are one. Their ids tell where the file system gives them: 128-bit
// ids from Windows 8 on, else the 64-bit index; an id of zero tells nothing. Without ids, the
// final names tell, as every file compared has one name.
static bool same_file(HANDLE one, HANDLE other) {
    static const FILE_ID_128 none = {};
    FILE_ID_INFO first;
    FILE_ID_INFO second;
    if (GetFileInformationByHandleEx(one, FileIdInfo, &first, sizeof first) &&
        GetFileInformationByHandleEx(other, FileIdInfo, &second, sizeof second) &&
        memcmp(&first.FileId, &none, sizeof none) != 0 &&
        memcmp(&second.FileId, &none, sizeof none) != 0) {
        return first.VolumeSerialNumber == second.VolumeSerialNumber &&
               memcmp(&first.FileId, &second.FileId, sizeof first.FileId) == 0;
    }
    BY_HANDLE_FILE_INFORMATION a;
    BY_HANDLE_FILE_INFORMATION b;
    if (GetFileInformationByHandle(one, &a) && GetFileInformationByHandle(other, &b) &&
        (a.nFileIndexHigh | a.nFileIndexLow) != 0 && (b.nFileIndexHigh | b.nFileIndexLow) != 0) {
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
               a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    }
    wchar_t first_name[WIDE_NAME];
    wchar_t second_name[WIDE_NAME];
    DWORD length = final_name(one, VOLUME_NAME_NT, first_name);
    DWORD other_length = final_name(other, VOLUME_NAME_NT, second_name);
    // Names that cannot be had are taken as one file: the copy is refused rather than risked.
    return length == 0 || other_length == 0 ||
           (length == other_length &&
            CompareStringOrdinal(first_name, static_cast<int>(length), second_name,
                                 static_cast<int>(length), ignoring_case) == CSTR_EQUAL);
}

// Opens name in the held folder itself, never through a link, with access and
// FILE_READ_ATTRIBUTES, sharing everything; kept only when it is a file that may be replaced:
// one on disk with no reparse point, or one of kind_filtered (only its name is replaced, never
// read). info receives what the system says of it. INVALID_HANDLE_VALUE on failure, with the
// last error ERROR_FILE_NOT_FOUND when nothing is there.
static HANDLE open_target(HANDLE folder, const char* name, ACCESS_MASK access,
                          BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE target = patiently([&] {
        return open_in(folder, name, access | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0);
    });
    Kind kind = target != INVALID_HANDLE_VALUE ? kind_of(target, info) : kind_refused;
    if (target != INVALID_HANDLE_VALUE && !whole_here(kind)) {
        target = close_refused(target);
    }
    return target;
}

// True when name in the held folder is absent, or a file that may be replaced (open_target)
// other than source (when given); *attributes are its attributes, 0 when it is absent or has
// another name (attributes belong to the file, which another name may share outside the tree:
// they are not this program's to change).
static bool replaceable(HANDLE folder, const char* name, HANDLE source, DWORD* attributes) {
    *attributes = 0;
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE target = open_target(folder, name, 0, &info);
    if (target == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    bool ok = source == INVALID_HANDLE_VALUE || !same_file(source, target);
    *attributes = ok && info.nNumberOfLinks == 1 ? info.dwFileAttributes : 0;
    CloseHandle(target);
    return ok;
}

// Gives name in the held folder the attributes that a file's attributes can be set to, through
// a handle judged again as the target was, and only while the file has no other name; true when
// that is done.
static bool set_attributes(HANDLE folder, const char* name, DWORD attributes) {
    const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                           FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE target = open_target(folder, name, FILE_WRITE_ATTRIBUTES, &info);
    if (target == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILE_BASIC_INFO basic = {}; // times of 0 stay as they are
    basic.FileAttributes =
        (attributes & settable) != 0 ? attributes & settable : FILE_ATTRIBUTE_NORMAL;
    bool ok = info.nNumberOfLinks == 1 &&
              SetFileInformationByHandle(target, FileBasicInfo, &basic, sizeof basic) != FALSE;
    CloseHandle(target);
    return ok;
}

// Removes the open file (opened with DELETE and FILE_WRITE_ATTRIBUTES access), its name at once
// even while others hold it open, and a read-only file too. Where the system offers no such
// deletion (before Windows 10 1809), the file is marked to go when the last handle closes, a
// read-only one with no other name once its attribute is cleared. True when that is done; else
// the last error says why.
static bool discard(HANDLE file) {
    IO_STATUS_BLOCK io;
    ULONG flags = delete_posix_ignoring_read_only;
    if (nt_success(
            NtSetInformationFile(file, &io, &flags, sizeof flags, nt_class(nt_disposition_ex)))) {
        return true;
    }
    NtDisposition disposition = {};
    disposition.delete_file = TRUE;
    if (succeeded(NtSetInformationFile(file, &io, &disposition, sizeof disposition,
                                       nt_class(nt_disposition)))) {
        return true;
    }
    DWORD error = GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 || info.nNumberOfLinks != 1) {
        SetLastError(error);
        return false;
    }
    NtBasic basic = {};
    basic.attributes = FILE_ATTRIBUTE_NORMAL;
    return succeeded(NtSetInformationFile(file, &io, &basic, sizeof basic, nt_class(nt_basic))) &&
           succeeded(NtSetInformationFile(file, &io, &disposition, sizeof disposition,
                                          nt_class(nt_disposition)));
}

// Removes name from the held folder: the file itself, or a link itself, never what it points
// to; a folder stays. True when nothing is left there; else the last error says why.
static bool remove_in(HANDLE folder, const char* name) {
    HANDLE file = open_in(folder, name, DELETE | FILE_WRITE_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    bool ok = discard(file);
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return ok;
}

// name with suffix after it, in a WIDE_NAME buffer; false when it does not fit.
static bool suffixed(const char* name, const char* suffix, char* out) {
    int length = snprintf(out, WIDE_NAME, "%s%s", name, suffix);
    return length > 0 && length < WIDE_NAME;
}

// Clears whatever an interrupted run left under the temporary name, then creates the temporary
// file there exclusively, never through a link at its name. INVALID_HANDLE_VALUE with the last
// error set on failure; a folder there stays, and fails it.
static HANDLE create_temporary(HANDLE folder, const char* temporary) {
    return remove_in(folder, temporary) ? open_in(folder, temporary, GENERIC_WRITE | DELETE, 0,
                                                  FILE_CREATE, FILE_NON_DIRECTORY_FILE)
                                        : INVALID_HANDLE_VALUE;
}

PlatFile backend_create_temporary(PlatFolder held, const char* name, PlatFile source) {
    HANDLE folder = folder_handle(held);
    char temporary[WIDE_NAME];
    DWORD attributes = 0;
    if (!suffixed(name, plat_temporary_suffix, temporary) ||
        !replaceable(folder, name, handle_of(source), &attributes)) {
        return PLAT_NO_FILE;
    }
    return file_of(patiently([&] { return create_temporary(folder, temporary); }));
}

// Renames the open file to name in its own folder, the held one, over what stands there: by
// FileRenameInformation when flags is 0, else by FileRenameInformationEx with those flags.
static bool rename_in(HANDLE file, HANDLE folder, const char* name, ULONG flags = 0) {
    alignas(NtRename) char room[sizeof(NtRename) + WIDE_NAME * sizeof(wchar_t)] = {};
    NtRename* rename = reinterpret_cast<NtRename*>(room);
    int length = wide_name(name, rename->name);
    if (length < 0) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    if (flags != 0) {
        rename->flags = flags;
    } else {
        rename->replace_if_exists = TRUE;
    }
    FILE_INFORMATION_CLASS which = nt_class(flags != 0 ? nt_rename_ex : nt_rename);
    // A bare name with no root directory renames within the file's folder, which a network
    // server resolves as such too. A system that knows no such rename (Wine) calls it a bad path;
    // the held folder then names the folder.
    rename->root_directory = nullptr;
    rename->name_length = static_cast<ULONG>(static_cast<size_t>(length) * sizeof(wchar_t));
    IO_STATUS_BLOCK io;
    NTSTATUS status = NtSetInformationFile(file, &io, rename, sizeof room, which);
    if (status == status_path_syntax_bad) {
        rename->root_directory = folder;
        status = NtSetInformationFile(file, &io, rename, sizeof room, which);
    }
    return succeeded(status);
}

// How put_in_place ended.
enum Placed {
    not_placed, // the target stands as it was (or was put back); the new file may go
    placed,     // the new file has the target's name
    stranded,   // the old file is <name>.old and could not be put back; the new file stays
};

static bool done(Placed placed_or_not) {
    return placed_or_not != not_placed;
}

// Renames the open file over name in the held folder, where no one-step replacement was had.
// Windows refuses to rename over a program that is running (and over a file that others hold
// open), but lets that file itself be renamed: it is set aside as <name>.old, over an older one
// that nothing runs from, and the new file takes its name. When the new file cannot, the old one
// is put back, tried again as other steps are; when that fails too, both stay (stranded). The
// last error says why the new file is not in place.
static Placed put_in_place(HANDLE file, HANDLE folder, const char* name) {
    if (rename_in(file, folder, name)) {
        return placed;
    }
    char aside[WIDE_NAME];
    if (GetLastError() != ERROR_ACCESS_DENIED || held_by_another() ||
        !suffixed(name, plat_set_aside_suffix, aside)) {
        return not_placed;
    }
    HANDLE target =
        open_in(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (target == INVALID_HANDLE_VALUE) {
        return not_placed;
    }
    Placed outcome = not_placed;
    if (rename_in(target, folder, aside)) {
        outcome = placed;
        if (!rename_in(file, folder, name)) {
            DWORD error = GetLastError();
            outcome =
                patiently([&] { return rename_in(target, folder, name); }) ? not_placed : stranded;
            SetLastError(error);
        }
    }
    DWORD error = GetLastError();
    CloseHandle(target);
    SetLastError(error);
    return outcome;
}

// Writes what the system holds of the open file or folder to the disk. Only a refusal of the
// request as such (a file system or server that has no flush for it) is taken as nothing more
// to write; any other failure, a denial too, is a failure.
static bool flushed(HANDLE handle) {
    if (FlushFileBuffers(handle)) {
        return true;
    }
    DWORD error = GetLastError();
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

// Writes the held folder's entries to the disk, so that a name put there survives a power cut
// where the file system writes a folder's entries when asked. A flush needs writing access
// (access: FILE_ADD_FILE, or FILE_ADD_SUBDIRECTORY): the folder is opened with it for the flush
// alone, waiting as other steps do for a program that holds it.
static bool flush_folder(HANDLE folder, ACCESS_MASK access) {
    HANDLE writable = patiently([&] { return win32_hold_in(folder, "", folder_access | access); });
    bool ok = writable != INVALID_HANDLE_VALUE && flushed(writable);
    if (writable != INVALID_HANDLE_VALUE) {
        CloseHandle(writable);
    }
    return ok;
}

int32_t plat_replace_end(PlatReplacement* replacement, int32_t keep) {
    HANDLE folder = folder_handle(replacement->folder);
    HANDLE file = handle_of(replacement->file);
    const char* name = replacement->name;
    // The contents reach the disk before the name does, so that no crash leaves a fragment. The
    // rename goes through the handle that wrote them: in one step where the system offers it,
    // else the way older systems allow. Those replace no read-only file (as files unpacked from
    // some media are): the attribute goes first, and comes back if the file stays.
    DWORD attributes = 0;
    bool ok =
        keep != 0 && flushed(file) && replaceable(folder, name, INVALID_HANDLE_VALUE, &attributes);
    Placed outcome =
        ok && rename_in(file, folder, name, rename_posix_ignoring_read_only) ? placed : not_placed;
    bool read_only = ok && outcome != placed && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (ok && outcome != placed &&
        (!read_only ||
         set_attributes(folder, name, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)))) {
        outcome = patiently([&] { return put_in_place(file, folder, name); });
    }
    if (outcome != placed && read_only) {
        set_attributes(folder, name, attributes);
    }
    if (outcome == not_placed) {
        discard(file);
    }
    // The renamed file's own flush writes its folder entry where a file system keeps names with
    // the file (FAT); the folder's flush writes the folder where it keeps them apart.
    ok = outcome == placed && flushed(file) && flush_folder(folder, FILE_ADD_FILE);
    // A program that this or an earlier run set aside goes once the new file is in place and
    // nothing runs from the old one any more; while it runs, it stays. Only then: after a run
    // that stopped between the two renames, it is the only copy.
    char aside[WIDE_NAME];
    if (ok && suffixed(name, plat_set_aside_suffix, aside)) {
        remove_in(folder, aside);
    }
    CloseHandle(file);
    CloseHandle(folder);
    return ok                    ? PLAT_DONE
           : outcome == placed   ? PLAT_UNFLUSHED
           : outcome == stranded ? PLAT_STRANDED
                                 : PLAT_FAILED;
}

int32_t plat_make_dir(PlatFolder root, const char* name) {
    HANDLE folder = plat_plain_name(name) ? open_in(folder_handle(root), name, FILE_LIST_DIRECTORY,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                                                    FILE_DIRECTORY_FILE)
                                          : INVALID_HANDLE_VALUE;
    if (folder == INVALID_HANDLE_VALUE) {
        return PLAT_ABSENT;
    }
    CloseHandle(folder);
    // The new folder's name reaches the disk as the names put in it will.
    return flush_folder(folder_handle(root), FILE_ADD_SUBDIRECTORY) ? PLAT_DONE : PLAT_FAILED;
}

uint32_t plat_executable_path(char* buffer, uint32_t size) {
    // A result equal to size is a cut path, which the caller treats as too long.
    return GetModuleFileNameA(nullptr, buffer, size);
}

bool win32_fits_code_page(const wchar_t* text, int count) {
    if (count == 0 || GetACP() == CP_UTF8) {
        return true;
    }
    BOOL lost = FALSE;
    int converted =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, count, nullptr, 0, nullptr, &lost);
    return converted > 0 && !lost;
}

int32_t plat_root_fits_code_page(int32_t given) {
    if (!given) {
        wchar_t path[WIDE_NAME];
        DWORD length = GetModuleFileNameW(nullptr, path, WIDE_NAME);
        // A path that cannot be had is reported when the 8-bit one is asked for.
        return length == 0 || length >= WIDE_NAME ||
                       win32_fits_code_page(path, static_cast<int>(length))
                   ? 1
                   : 0;
    }
    // The arguments after the program's name, as the C runtime splits them: blanks outside
    // quotes part them. Switches cannot name the root and are passed over.
    const wchar_t* rest = GetCommandLineW();
    bool quoted = false;
    while (*rest != L'\0' && (quoted || (*rest != L' ' && *rest != L'\t'))) {
        quoted = *rest++ == L'"' ? !quoted : quoted;
    }
    while (*rest != L'\0') {
        while (*rest == L' ' || *rest == L'\t') {
            rest++;
        }
        const wchar_t* start = rest;
        quoted = false;
        while (*rest != L'\0' && (quoted || (*rest != L' ' && *rest != L'\t'))) {
            quoted = *rest++ == L'"' ? !quoted : quoted;
        }
        const wchar_t* first = start;
        while (first < rest && *first == L'"') {
            first++;
        }
        if (first < rest && *first != L'-' &&
            !win32_fits_code_page(start, static_cast<int>(rest - start))) {
            return 0;
        }
    }
    return 1;
}

void plat_setup_process() {
    // Messages are bytes ending in a line feed; the C runtime must not add carriage returns.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // RedirectionGuard: junctions and symbolic links made without elevation are not followed. It
    // is looked up at run time, so that systems without it still run the program; a refusal
    // changes nothing else.
    typedef BOOL(WINAPI * SetPolicy)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    SetPolicy set = reinterpret_cast<SetPolicy>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetProcessMitigationPolicy")));
    NtRedirectionTrust policy = {};
    policy.flags = nt_enforce_redirection_trust;
    if (set != nullptr) {
        set(nt_redirection_trust_policy, &policy, sizeof policy);
    }
}
