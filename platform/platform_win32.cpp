// Win32 backend: each operation is one KERNEL32 call; paths go to it unchanged.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

static HANDLE handle_of(PlatFile file) {
    return reinterpret_cast<HANDLE>(file);
}

// An invalid handle (INVALID_HANDLE_VALUE) becomes PLAT_NO_FILE.
static PlatFile file_of(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? PLAT_NO_FILE : reinterpret_cast<PlatFile>(handle);
}

PlatFile plat_open_read(const char* path) {
    return file_of(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

PlatFile plat_create_write(const char* path) {
    return file_of(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
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

int32_t plat_copy_file(const char* source, const char* target) {
    return CopyFileA(source, target, FALSE) ? 1 : 0;
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

void plat_binary_stdio() {
    // Messages are bytes ending in a line feed; the C runtime must not add carriage returns.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}
