// The installer's records and the helpers that its two halves share (install_common.cpp).
#ifndef INSTALL_H
#define INSTALL_H

#include "ini.h"
#include "platform.h"

// The installation's top-level executables folder, directly in the root.
static const char install_bin_folder[] = "bin";

// Every path the installer holds or composes lives in a buffer of this many bytes,
// terminator included.
#define PATH_SIZE 260

// How the program refuses a root, before the root's path or the path it cannot hold: the
// Windows Installer package refuses the same roots in the same words.
#define INSTALL_PATH_TOO_LONG "Path is longer than %d bytes: "
#define INSTALL_ROOT_OFF_CODE_PAGE                                                                 \
    "Root directory cannot be represented in the system's code page: "

// The run's settings, from the command line and the boot prompt.
struct InstallOptions {
    const char* root; // installation root; none until given or derived, "" when given empty
    bool silent;      // no prompt, no success line
    bool full_boot;   // the full boot variant rather than the minimal one
};

// Paths composed from the root and the install manifest.
struct InstallPaths {
    char manifest_path[PATH_SIZE];
    char runtime_bin[PATH_SIZE];
    char release_dir[PATH_SIZE];
    char bin_dir[PATH_SIZE];
    char version[PATH_SIZE];
    char runtime_relative[PATH_SIZE]; // runtime_bin below the root, "." and ".." resolved
    char release_relative[PATH_SIZE]; // release_dir below the root, likewise
};

// What the run holds, which a failure releases before the process ends.
struct InstallHeld {
    PlatFolder root;   // the installation root, held from the manifest on
    IniFile* document; // the manifest while it is read, later the launcher configuration
};

// Releases what held holds (when given), prints the message on standard error and ends the
// process with status 1.
[[noreturn]] void install_fail(InstallHeld* held, const char* format, ...);
// Formats a path into a PATH_SIZE buffer. A path that would not fit is never cut short: it is
// named on standard error, what held holds (when given) is released and the process ends with 1.
void install_compose_path_or_exit(InstallHeld* held, char* path, const char* format, ...);
// Ends the process with a message when memory has run out.
[[noreturn]] void install_fail_no_memory(InstallHeld* held);
// How install_relative_path judged a path.
enum {
    INSTALL_BELOW = 0,    // below the folder, resolved
    INSTALL_OUTSIDE = 1,  // leading out of the folder
    INSTALL_TRAILING = 2, // a component ends in a dot or a space
};

// Resolves "." and ".." in relative, a path below some folder judged by its text alone, into
// resolved (PATH_SIZE bytes, backslashes between parts): INSTALL_BELOW. INSTALL_OUTSIDE when it
// would lead out of that folder: a ".." above it, a leading separator, a part that is no plain
// name (plat_plain_name: a drive or stream colon), or a part of dots and spaces only, which
// Windows may read as a step up. INSTALL_TRAILING for a part that ends in a dot or a space:
// Windows paths drop those, the names reached below the root keep them, so the two would name
// different folders.
int32_t install_relative_path(const char* relative, char* resolved);

// Copies the launchers and boot files, selects the active boot file and writes the launcher
// configuration, working below the held root; gives the process's exit status (0) or ends the
// process on a fatal failure.
int install_files(const InstallOptions* options, const InstallPaths* paths, InstallHeld* held);

#endif
