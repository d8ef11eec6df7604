// POSIX backend: the program's backslash paths become slash paths here and nowhere else.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// A copy of path with every backslash turned into a slash (release with free), or none.
static char* native_path(const char* path) {
    size_t length = strlen(path);
    char* native = static_cast<char*>(malloc(length + 1));
    if (native == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i <= length; i++) {
        native[i] = path[i] == '\\' ? '/' : path[i];
    }
    return native;
}

// open(2) on the native form of path. A FIFO or device must not block the opening: it is
// opened without waiting, then switched back to blocking reads and writes.
static int open_native(const char* path, int flags, mode_t mode) {
    char* native = native_path(path);
    if (native == nullptr) {
        return -1;
    }
    int fd;
    do {
        fd = open(native, flags | O_CLOEXEC | O_NONBLOCK, mode);
    } while (fd < 0 && errno == EINTR);
    free(native);
    if (fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

PlatFile plat_open_read(const char* path) {
    int fd = open_native(path, O_RDONLY, 0);
    return fd < 0 ? PLAT_NO_FILE : static_cast<PlatFile>(fd);
}

PlatFile plat_create_write(const char* path) {
    int fd = open_native(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    return fd < 0 ? PLAT_NO_FILE : static_cast<PlatFile>(fd);
}

int32_t plat_read(PlatFile file, void* buffer, uint32_t size, uint32_t* got) {
    ssize_t n;
    do {
        n = read(static_cast<int>(file), buffer, size);
    } while (n < 0 && errno == EINTR);
    *got = n < 0 ? 0 : static_cast<uint32_t>(n);
    return n < 0 ? 0 : 1;
}

int32_t plat_write(PlatFile file, const void* buffer, uint32_t size, uint32_t* written) {
    ssize_t n;
    do {
        n = write(static_cast<int>(file), buffer, size);
    } while (n < 0 && errno == EINTR);
    *written = n < 0 ? 0 : static_cast<uint32_t>(n);
    return n < 0 ? 0 : 1;
}

int32_t plat_close(PlatFile file) {
    return close(static_cast<int>(file)) == 0 ? 1 : 0;
}

// Writes all of buffer, going on after short writes. 0 on failure, else 1.
static int32_t write_all(int fd, const char* buffer, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return 0;
        }
        buffer += n;
        size -= static_cast<size_t>(n);
    }
    return 1;
}

// Copies the open source into the open target, both positioned at their start.
static int32_t copy_contents(int source, int target) {
    static const size_t block = size_t{64} * 1024;
    char* buffer = static_cast<char*>(malloc(block));
    if (buffer == nullptr) {
        return 0;
    }
    int32_t ok = 1;
    for (;;) {
        ssize_t n = read(source, buffer, block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0 ? 1 : 0;
            break;
        }
        if (!write_all(target, buffer, static_cast<size_t>(n))) {
            ok = 0;
            break;
        }
    }
    free(buffer);
    return ok;
}

int32_t plat_copy_file(const char* source, const char* target) {
    int in = open_native(source, O_RDONLY, 0);
    if (in < 0) {
        return 0;
    }
    struct stat from;
    if (fstat(in, &from) != 0 || !S_ISREG(from.st_mode)) {
        close(in);
        return 0;
    }
    // Opening the target truncates it, so a copy onto the source itself must stop first.
    char* native = native_path(target);
    struct stat to;
    bool same = native != nullptr && stat(native, &to) == 0 && to.st_dev == from.st_dev &&
                to.st_ino == from.st_ino;
    free(native);
    if (same) {
        close(in);
        return 0;
    }
    int out = open_native(target, O_WRONLY | O_CREAT | O_TRUNC, from.st_mode & 0777);
    if (out < 0) {
        close(in);
        return 0;
    }
    // Only a regular file is a copy's target, never a FIFO or a device.
    if (fstat(out, &to) != 0 || !S_ISREG(to.st_mode)) {
        close(in);
        close(out);
        return 0;
    }
    int32_t ok = copy_contents(in, out);
    close(in);
    if (close(out) != 0) {
        ok = 0;
    }
    return ok;
}

int32_t plat_exists(const char* path) {
    char* native = native_path(path);
    if (native == nullptr) {
        return 0;
    }
    struct stat st;
    int32_t found = stat(native, &st) == 0 ? 1 : 0;
    free(native);
    return found;
}

int32_t plat_make_dir(const char* path) {
    char* native = native_path(path);
    if (native == nullptr) {
        return 0;
    }
    int32_t made = mkdir(native, 0777) == 0 ? 1 : 0;
    free(native);
    return made;
}

uint32_t plat_executable_path(char* buffer, uint32_t size) {
    if (size == 0) {
        return 0;
    }
    ssize_t n = readlink("/proc/self/exe", buffer, size);
    if (n <= 0) {
        return 0;
    }
    if (static_cast<size_t>(n) >= size) {
        return size;
    }
    buffer[n] = '\0';
    for (ssize_t i = 0; i < n; i++) {
        if (buffer[i] == '/') {
            buffer[i] = '\\';
        }
    }
    return static_cast<uint32_t>(n);
}

void plat_binary_stdio() {
    // POSIX streams never translate line ends.
}
