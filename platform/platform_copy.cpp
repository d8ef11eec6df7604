// What every system shares: the check of a plain name, and the whole-file copy (a checked
// source read into a replacement).
#include "platform.h"

#include <string.h>

int32_t plat_plain_name(const char* name) {
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
                   strpbrk(name, "\\/:") == nullptr
               ? 1
               : 0;
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
