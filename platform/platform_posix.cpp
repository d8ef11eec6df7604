// POSIX backend: the program's backslash paths become slash paths here and nowhere else. The
// held root and folders are directory descriptors, and every step below the root is an *at call
// relative to one of them, with O_NOFOLLOW where a link could stand.
#include "platform.h"
#include "platform_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// The native form of a path: the program's path with every backslash turned into a slash.
// Nothing here allocates, so that running out of memory never looks like a refused file.
struct NativePath {
    char text[PATH_MAX];
};

// Fills native from path; false when it is too long for the system.
static bool native_path(const char* path, NativePath* native) {
    size_t length = strlen(path);
    if (length >= sizeof native->text) {
        return false;
    }
    for (size_t i = 0; i <= length; i++) {
        native->text[i] = path[i] == '\\' ? '/' : path[i];
    }
    return true;
}

// openat(2) of name in the folder (AT_FDCWD for a path). A FIFO or device must not block the
// opening: it is opened without waiting, then switched back to blocking reads and writes.
static int open_at(int folder, const char* name, int flags, mode_t mode) {
    int fd;
    do {
        fd = openat(folder, name, flags | O_CLOEXEC | O_NONBLOCK, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Opens name in the folder and keeps it only when it is a regular file, whose status goes into
// st; errno says why not.
static int open_regular(int folder, const char* name, int flags, mode_t mode, struct stat* st) {
    int fd = open_at(folder, name, flags, mode);
    if (fd >= 0 && (fstat(fd, st) != 0 || !S_ISREG(st->st_mode))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

PlatFile plat_open_read(const char* path) {
    NativePath native;
    struct stat st;
    int fd =
        native_path(path, &native) ? open_regular(AT_FDCWD, native.text, O_RDONLY, 0, &st) : -1;
    return fd < 0 ? PLAT_NO_FILE : static_cast<PlatFile>(fd);
}

PlatFile plat_create_write(const char* path) {
    // Truncating only once the file is known to be regular with one name leaves a device, and a
    // file that another name shares, untouched.
    NativePath native;
    struct stat st;
    int fd = native_path(path, &native)
                 ? open_regular(AT_FDCWD, native.text, O_WRONLY | O_CREAT | O_NOFOLLOW, 0666, &st)
                 : -1;
    if (fd >= 0 && (st.st_nlink != 1 || ftruncate(fd, 0) != 0)) {
        close(fd);
        return PLAT_NO_FILE;
    }
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

PlatFolder plat_hold_root(const char* root) {
    NativePath native;
    int fd =
        native_path(root, &native) ? open(native.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    return fd < 0 ? PLAT_NO_FOLDER : static_cast<PlatFolder>(fd);
}

void plat_release_folder(PlatFolder folder) {
    close(static_cast<int>(folder));
}

// The kernel's own name for the open fd, every link resolved, into name (PATH_MAX bytes, not
// terminated); its length, or 0 when it cannot be had (without /proc, say).
static size_t kernel_name(int fd, char* name) {
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, name, PATH_MAX);
    return length > 0 && length < PATH_MAX ? static_cast<size_t>(length) : 0;
}

// True when the open fd is the held root or lies beneath it: the kernel's name for fd must be
// the root's, or go on from it with a slash. The root's name is taken without a closing slash,
// so that a root of "/" holds every name. When either name cannot be had, the answer is no.
static bool lies_below(PlatFolder root, int fd) {
    char root_name[PATH_MAX];
    char name[PATH_MAX];
    size_t prefix = kernel_name(static_cast<int>(root), root_name);
    size_t length = kernel_name(fd, name);
    if (prefix == 0 || length == 0) {
        return false;
    }
    prefix -= root_name[prefix - 1] == '/' ? 1 : 0;
    return length >= prefix && memcmp(name, root_name, prefix) == 0 &&
           (length == prefix || name[prefix] == '/');
}

int32_t backend_open_folder(PlatFolder folder, const char* name, PlatFolder* opened) {
    int fd = openat(static_cast<int>(folder), name[0] != '\0' ? name : ".",
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    *opened = fd < 0 ? PLAT_NO_FOLDER : static_cast<PlatFolder>(fd);
    return fd >= 0 ? PLAT_DONE : errno == ENOENT ? PLAT_ABSENT : PLAT_FAILED;
}

bool backend_folder_lies_below(PlatFolder root, PlatFolder folder) {
    return lies_below(root, static_cast<int>(folder));
}

int32_t backend_open_file(PlatFolder root, PlatFolder folder, const char* name, PlatFile* file) {
    // The file itself is opened, never what a link at its name points to.
    struct stat st;
    int fd = open_regular(static_cast<int>(folder), name, O_RDONLY | O_NOFOLLOW, 0, &st);
    if (fd < 0) {
        return errno == ENOENT ? PLAT_ABSENT : PLAT_FAILED;
    }
    if (st.st_nlink != 1 || !lies_below(root, fd)) {
        close(fd);
        return PLAT_FAILED;
    }
    *file = static_cast<PlatFile>(fd);
    return PLAT_DONE;
}

// The name of the temporary file that stands in for name until it is complete.
static bool temporary_name(const char* name, char* temporary, size_t size) {
    int length = snprintf(temporary, size, "%s%s", name, plat_temporary_suffix);
    return length > 0 && static_cast<size_t>(length) < size;
}

// True when name in the folder is absent, or a regular file other than the source whose status
// is from (when given).
static bool replaceable(int folder, const char* name, const struct stat* from) {
    struct stat target;
    if (fstatat(folder, name, &target, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    if (from != nullptr && from->st_dev == target.st_dev && from->st_ino == target.st_ino) {
        return false;
    }
    return S_ISREG(target.st_mode);
}

PlatFile backend_create_temporary(PlatFolder held, const char* name, PlatFile source) {
    int folder = static_cast<int>(held);
    char temporary[NAME_MAX + 1];
    struct stat from;
    bool given = source != PLAT_NO_FILE;
    if (!temporary_name(name, temporary, sizeof temporary) ||
        (given && fstat(static_cast<int>(source), &from) != 0) ||
        !replaceable(folder, name, given ? &from : nullptr)) {
        return PLAT_NO_FILE;
    }
    // Whatever an interrupted run left under the temporary name goes; a link is removed itself,
    // never followed.
    unlinkat(folder, temporary, 0);
    mode_t mode = given ? from.st_mode & 0777 : 0666;
    int fd = openat(folder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd < 0 ? PLAT_NO_FILE : static_cast<PlatFile>(fd);
}

// Writes the folder's entries to the disk, so that a name put there survives a power cut. A file
// system that syncs no folder (it refuses the request as such) has nothing more to write; a
// failure to write is a failure.
static bool sync_folder(int folder) {
    return fsync(folder) == 0 || errno == EINVAL || errno == ENOTSUP;
}

int32_t plat_replace_end(PlatReplacement* replacement, int32_t keep) {
    int folder = static_cast<int>(replacement->folder);
    char temporary[NAME_MAX + 1];
    temporary_name(replacement->name, temporary, sizeof temporary);
    // The contents reach the disk before the name does, so that no crash leaves a fragment.
    int fd = static_cast<int>(replacement->file);
    bool ok = keep != 0 && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    bool renamed = ok && replaceable(folder, replacement->name, nullptr) &&
                   renameat(folder, temporary, folder, replacement->name) == 0;
    if (!renamed) {
        unlinkat(folder, temporary, 0);
    }
    ok = renamed && sync_folder(folder);
    close(folder);
    return ok ? PLAT_DONE : renamed ? PLAT_UNFLUSHED : PLAT_FAILED;
}

int32_t plat_make_dir(PlatFolder root, const char* name) {
    if (!plat_plain_name(name) || mkdirat(static_cast<int>(root), name, 0777) != 0) {
        return PLAT_ABSENT;
    }
    // The new folder's name reaches the disk as the names put in it will.
    return sync_folder(static_cast<int>(root)) ? PLAT_DONE : PLAT_FAILED;
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

int32_t plat_root_fits_code_page(int32_t) {
    return 1; // paths are bytes, never converted
}

void plat_setup_process() {
    // POSIX streams never translate line ends, and links are refused one by one.
}
