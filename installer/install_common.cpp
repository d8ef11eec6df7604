// The helpers that both halves of the installer share: failure lines and path composition.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "install.h"

[[noreturn]] static void end_failed(InstallHeld* held) {
    if (held != nullptr && held->document != nullptr) {
        ini_destroy(held->document);
    }
    if (held != nullptr && held->root != PLAT_NO_FOLDER) {
        plat_release_folder(held->root);
    }
    exit(1);
}

void install_fail(InstallHeld* held, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    end_failed(held);
}

void install_fail_no_memory(InstallHeld* held) {
    install_fail(held, "Out of memory\n");
}

void install_compose_path_or_exit(InstallHeld* held, char* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = vsnprintf(path, PATH_SIZE, format, args);
    va_end(args);
    if (length >= 0 && length < PATH_SIZE) {
        return;
    }
    fprintf(stderr, INSTALL_PATH_TOO_LONG, PATH_SIZE - 1);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    end_failed(held);
}

// True when the part is made of dots and spaces only, as a step up can be spelt on Windows, which
// drops trailing dots and spaces from names.
static bool only_dots_and_spaces(const char* part) {
    return part[strspn(part, ". ")] == '\0';
}

int32_t install_relative_path(const char* relative, char* resolved) {
    size_t length = 0;
    resolved[0] = '\0';
    if (relative[0] == '\\' || relative[0] == '/') {
        return INSTALL_OUTSIDE;
    }
    for (const char* rest = relative; *rest != '\0';) {
        size_t part = strcspn(rest, "\\/");
        if (part == 2 && rest[0] == '.' && rest[1] == '.') {
            if (length == 0) {
                return INSTALL_OUTSIDE;
            }
            while (length > 0 && resolved[length - 1] != '\\') {
                length--;
            }
            length -= length > 0 ? 1 : 0;
            resolved[length] = '\0';
        } else if (part > 0 && !(part == 1 && rest[0] == '.')) {
            if (length + 1 + part >= PATH_SIZE) {
                return INSTALL_OUTSIDE;
            }
            // The part is judged where it will stand, after its separator.
            char* name = resolved + length + (length > 0 ? 1 : 0);
            memcpy(name, rest, part);
            name[part] = '\0';
            if (!plat_plain_name(name) || only_dots_and_spaces(name)) {
                return INSTALL_OUTSIDE;
            }
            if (name[part - 1] == '.' || name[part - 1] == ' ') {
                return INSTALL_TRAILING;
            }
            if (length > 0) {
                resolved[length] = '\\';
            }
            length = static_cast<size_t>(name - resolved) + part;
        }
        rest += part;
        rest += *rest != '\0' ? 1 : 0;
    }
    return INSTALL_BELOW;
}
