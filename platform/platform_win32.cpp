// Win32 backend: KERNEL32 calls; paths go to them unchanged.
// GetFinalPathNameByHandleA comes with Windows Vista.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

static HANDLE handle_of(PlatFile file) {
    return reinterpret_cast<HANDLE>(file);
}

// An invalid handle (INVALID_HANDLE_VALUE) becomes PLAT_NO_FILE.
static PlatFile file_of(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? PLAT_NO_FILE : reinterpret_cast<PlatFile>(handle);
}

// True when the handle is a file on disk (not a console, pipe or other device).
static bool on_disk(HANDLE handle) {
    return GetFileType(handle) == FILE_TYPE_DISK;
}

// The opened handle as a file when it is one on disk; anything else is closed again.
static PlatFile disk_file(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE && !on_disk(handle)) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    return file_of(handle);
}

PlatFile plat_open_read(const char* path) {
    return disk_file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}

PlatFile plat_create_write(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return PLAT_NO_FILE;
    }
    return disk_file(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
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

// Room for a resolved path: the "\\?\" prefix and a full path beyond the usual limit.
#define RESOLVED_SIZE 1024

// The system's final name of an open file or folder, links resolved; false when it has none
// that fits.
static bool final_name(HANDLE handle, char* name) {
    DWORD length = GetFinalPathNameByHandleA(handle, name, RESOLVED_SIZE,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length > 0 && length < RESOLVED_SIZE;
}

// Letters compared without regard to ASCII case, as the file system does.
static char folded(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when the open handle is the folder root or lies beneath it once links are resolved.
static bool lies_below(const char* root, HANDLE handle) {
    HANDLE root_handle =
        CreateFileA(root, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (root_handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    char root_name[RESOLVED_SIZE];
    char name[RESOLVED_SIZE];
    bool named = final_name(root_handle, root_name) && final_name(handle, name);
    CloseHandle(root_handle);
    if (!named) {
        return false;
    }
    size_t prefix = strlen(root_name);
    if (prefix > 0 && root_name[prefix - 1] == '\\') {
        prefix--; // a drive's top folder, "\\?\C:\"
    }
    for (size_t i = 0; i < prefix; i++) {
        if (folded(name[i]) != folded(root_name[i])) {
            return false;
        }
    }
    return name[prefix] == '\\' || name[prefix] == '\0';
}

PlatFile plat_open_read_below(const char* root, const char* path) {
    PlatFile file = plat_open_read(path);
    if (file != PLAT_NO_FILE && !lies_below(root, handle_of(file))) {
        CloseHandle(handle_of(file));
        file = PLAT_NO_FILE;
    }
    return file;
}

// Opens the folder at path itself, never what a link or junction there points to, without
// sharing deletion; INVALID_HANDLE_VALUE unless it is a plain folder.
static HANDLE hold_folder(const char* path) {
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandle(handle, &info) ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    return handle;
}

static bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// Opens the folder root\relative as plat_replace_begin describes, with its path written into
// path (PLAT_FOLDER_PATH bytes); INVALID_HANDLE_VALUE on failure.
static HANDLE open_folder(const char* root, const char* relative, char* path) {
    size_t length = strlen(root);
    if (length >= PLAT_FOLDER_PATH) {
        return INVALID_HANDLE_VALUE;
    }
    memcpy(path, root, length + 1);
    // Down from the root one component at a time. Each child is held before its parent is let
    // go, so that no component can be swapped for a junction on the way down; a held child
    // keeps its parent from being renamed, so only the last stays held.
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool ok = true;
    for (const char* rest = relative; ok && *rest != '\0';) {
        size_t part = 0;
        while (rest[part] != '\0' && !is_separator(rest[part])) {
            part++;
        }
        bool dots =
            (part == 1 && rest[0] == '.') || (part == 2 && rest[0] == '.' && rest[1] == '.');
        ok = part > 0 && !dots && length + 1 + part < PLAT_FOLDER_PATH;
        if (ok) {
            path[length++] = '\\';
            memcpy(path + length, rest, part);
            length += part;
            path[length] = '\0';
            HANDLE child = hold_folder(path);
            if (handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
            }
            handle = child;
            ok = child != INVALID_HANDLE_VALUE;
        }
        rest += part;
        rest += *rest != '\0' ? 1 : 0;
    }
    if (ok && handle == INVALID_HANDLE_VALUE) {
        handle = hold_folder(path);
    }
    if (handle != INVALID_HANDLE_VALUE && (!ok || !lies_below(root, handle))) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    return handle;
}

// folder\name, with ".tmp" after it for the temporary file; false when it does not fit.
static bool path_in(const char* folder, const char* name, bool temporary, char* path) {
    int length = snprintf(path, RESOLVED_SIZE, "%s\\%s%s", folder, name, temporary ? ".tmp" : "");
    return length > 0 && length < RESOLVED_SIZE;
}

// True when path is absent, or a regular file (never a link, folder or device) other than
// source (when given).
static bool replaceable(const char* path, PlatFile source) {
    HANDLE target = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (target == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND;
    }
    BY_HANDLE_FILE_INFORMATION info;
    BY_HANDLE_FILE_INFORMATION from;
    bool ok =
        GetFileInformationByHandle(target, &info) && on_disk(target) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    if (ok && source != PLAT_NO_FILE) {
        ok = GetFileInformationByHandle(handle_of(source), &from) &&
             (from.dwVolumeSerialNumber != info.dwVolumeSerialNumber ||
              from.nFileIndexHigh != info.nFileIndexHigh ||
              from.nFileIndexLow != info.nFileIndexLow);
    }
    CloseHandle(target);
    return ok;
}

int32_t plat_replace_begin(PlatReplacement* replacement, const char* root, const char* relative,
                           const char* name, PlatFile source) {
    replacement->name = name;
    replacement->file = PLAT_NO_FILE;
    HANDLE held = open_folder(root, relative, replacement->folder_path);
    if (held == INVALID_HANDLE_VALUE) {
        replacement->folder = PLAT_NO_FOLDER;
        return 0;
    }
    replacement->folder = reinterpret_cast<PlatFolder>(held);
    const char* folder = replacement->folder_path;
    char target[RESOLVED_SIZE];
    char temporary[RESOLVED_SIZE];
    if (path_in(folder, name, false, target) && path_in(folder, name, true, temporary) &&
        replaceable(target, source)) {
        // Whatever an interrupted run left under the temporary name goes; a link is removed
        // itself, never followed. CREATE_NEW then opens nothing that exists.
        DeleteFileA(temporary);
        replacement->file = file_of(CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (replacement->file == PLAT_NO_FILE) {
        CloseHandle(held);
        return 0;
    }
    return 1;
}

int32_t plat_replace_end(PlatReplacement* replacement, int32_t keep) {
    const char* folder = replacement->folder_path;
    char target[RESOLVED_SIZE];
    char temporary[RESOLVED_SIZE];
    // The contents reach the disk before the name does, so that no crash leaves a fragment.
    HANDLE file = handle_of(replacement->file);
    bool ok = keep != 0 && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    bool named = path_in(folder, replacement->name, false, target) &&
                 path_in(folder, replacement->name, true, temporary);
    ok = ok && named && replaceable(target, PLAT_NO_FILE) &&
         MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok && named) {
        DeleteFileA(temporary);
    }
    CloseHandle(reinterpret_cast<HANDLE>(replacement->folder));
    return ok ? 1 : 0;
}

int32_t plat_exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int32_t plat_make_dir(const char* path) {
    return CreateDirectoryA(path, nullptr) ? 1 : 0;
}

uint32_t plat_executable_path(char* buffer, uint32_t size) {
    // A result equal to size is a cut path, which the caller treats as too long.
    return GetModuleFileNameA(nullptr, buffer, size);
}

// True when count wide characters of text convert to the system's code page, none lost or
// replaced by a look-alike.
static bool fits_code_page(const wchar_t* text, int count) {
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
        wchar_t path[PLAT_FOLDER_PATH];
        DWORD length = GetModuleFileNameW(nullptr, path, PLAT_FOLDER_PATH);
        // A path that cannot be had is reported when the 8-bit one is asked for.
        return length == 0 || length >= PLAT_FOLDER_PATH ||
                       fits_code_page(path, static_cast<int>(length))
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
            !fits_code_page(start, static_cast<int>(rest - start))) {
            return 0;
        }
    }
    return 1;
}

void plat_binary_stdio() {
    // Messages are bytes ending in a line feed; the C runtime must not add carriage returns.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}
