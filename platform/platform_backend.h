// The steps that need a system call, which each backend takes with its own, beneath the checks
// that every system shares (platform_copy.cpp): which names a part may be, how a relative path is
// walked, which arguments are refused. Only the platform layer includes this header.
#ifndef PLATFORM_BACKEND_H
#define PLATFORM_BACKEND_H

#include "platform.h"

// Opens the folder name, a plain name or "" for the folder itself, in the held folder: never what
// a link, junction or other reparse point there points to, and waiting as other steps do for a
// program that holds it. PLAT_DONE with *opened held, else PLAT_ABSENT when nothing is at name or
// PLAT_FAILED, with *opened PLAT_NO_FOLDER.
int32_t backend_open_folder(PlatFolder folder, const char* name, PlatFolder* opened);

// True when the held folder is the held root or lies beneath it once links are resolved.
bool backend_folder_lies_below(PlatFolder root, PlatFolder folder);

// Opens name, a plain name, in the held folder below the held root, for reading as
// plat_open_below describes; the same outcomes.
int32_t backend_open_file(PlatFolder root, PlatFolder folder, const char* name, PlatFile* file);

// Creates the temporary file that stands in for name, a plain name, in the held folder, as
// plat_replace_begin describes; PLAT_NO_FILE when the target may not be replaced or the file
// cannot be made.
PlatFile backend_create_temporary(PlatFolder folder, const char* name, PlatFile source);

#endif
