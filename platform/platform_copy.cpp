// What every system shares: the rule for a path's parts, the walk down a relative path, the
// checks around opening a file below the root and starting a replacement, and the whole-file copy
// (a checked source read into a replacement). The system calls are the backends'
// (platform_backend.h).
#include "platform.h"
#include "platform_backend.h"

#include <string.h>

// Room for one part of a relative path, terminator included; a longer one is no name that any
// system takes.
#define PART_SIZE 1024

int32_t plat_plain_name(const char* name) {
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
                   strpbrk(name, "\\/:") == nullptr
               ? 1
               : 0;
}

// Opens the folder relative below the held root as plat_replace_begin describes: one part at a
// time from the root down, each a plain name opened relative to its held parent, which is let go
// only once the child is held (on Windows, a held child keeps its parent from being renamed).
// PLAT_DONE with *folder held, else PLAT_ABSENT when a folder on the way is absent or PLAT_FAILED.
static int32_t open_folder(PlatFolder root, const char* relative, PlatFolder* folder) {
    int32_t reached = backend_open_folder(root, "", folder);
    const char* rest = relative;
    while (reached == PLAT_DONE && *rest != '\0') {
        size_t length = strcspn(rest, "\\/");
        char name[PART_SIZE];
        PlatFolder child = PLAT_NO_FOLDER;
        reached = PLAT_FAILED;
        if (length < sizeof name) {
            memcpy(name, rest, length);
            name[length] = '\0';
            if (plat_plain_name(name)) {
                reached = backend_open_folder(*folder, name, &child);
            }
        }
        plat_release_folder(*folder);
        *folder = child;
        rest += length;
        rest += *rest != '\0' ? 1 : 0;
    }
    // Where a link is not seen as one (Wine shows a Linux link as what it points to), the folder's
    // own name still tells.
    if (reached == PLAT_DONE && !backend_folder_lies_below(root, *folder)) {
        plat_release_folder(*folder);
        *folder = PLAT_NO_FOLDER;
        reached = PLAT_FAILED;
    }
    return reached;
}

// Opens the folder relative below the held root to work on name in it, as open_folder does; a
// root that is not held, or a name that is not plain, fails it.
static int32_t open_folder_of(PlatFolder root, const char* relative, const char* name,
                              PlatFolder* folder) {
    *folder = PLAT_NO_FOLDER;
    return root != PLAT_NO_FOLDER && plat_plain_name(name) ? open_folder(root, relative, folder)
                                                           : PLAT_FAILED;
}

int32_t plat_open_below(PlatFolder root, const char* relative, const char* name, PlatFile* file) {
    *file = PLAT_NO_FILE;
    PlatFolder folder = PLAT_NO_FOLDER;
    int32_t found = open_folder_of(root, relative, name, &folder);
    if (found == PLAT_DONE) {
        found = backend_open_file(root, folder, name, file);
        plat_release_folder(folder);
    }
    return found;
}

int32_t plat_replace_begin(PlatReplacement* replacement, PlatFolder root, const char* relative,
                           const char* name, PlatFile source) {
    replacement->name = name;
    replacement->file = PLAT_NO_FILE;
    if (open_folder_of(root, relative, name, &replacement->folder) == PLAT_DONE) {
        replacement->file = backend_create_temporary(replacement->folder, name, source);
        if (replacement->file == PLAT_NO_FILE) {
            plat_release_folder(replacement->folder);
            replacement->folder = PLAT_NO_FOLDER;
        }
    }
    return replacement->file != PLAT_NO_FILE ? 1 : 0;
}

// Copies the rest of the open source into the open target. 0 on failure, else 1.
static int32_t copy_contents(PlatFile source, PlatFile target) {
    // On the stack, so that a copy never fails for want of memory.
    char buffer[64 * 1024];
    const uint32_t block = sizeof buffer;
    int32_t ok = 1;
    uint32_t got = 0;
    while (ok && (ok = plat_read(source, buffer, block, &got)) != 0 && got > 0) {
        for (uint32_t done = 0; ok && done < got;) {
            uint32_t written = 0;
            ok = plat_write(target, buffer + done, got - done, &written) && written > 0;
            done += written;
        }
    }
    return ok;
}

int32_t plat_copy_file(PlatFolder root, const char* source_relative, const char* source_name,
                       const char* relative, const char* name) {
    PlatFile in = PLAT_NO_FILE;
    int32_t found = plat_open_below(root, source_relative, source_name, &in);
    if (found != PLAT_DONE) {
        return found;
    }
    PlatReplacement replacement;
    int32_t copied = PLAT_FAILED;
    if (plat_replace_begin(&replacement, root, relative, name, in)) {
        copied = plat_replace_end(&replacement, copy_contents(in, replacement.file));
    }
    plat_close(in);
    return copied;
}
