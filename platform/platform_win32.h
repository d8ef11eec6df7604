// What the Win32 backend lends the Windows Installer package's custom action, which judges the
// folders the package installs into as the program opens them, and refuses the roots the program
// refuses. Windows only; the program itself uses platform.h alone.
#ifndef PLATFORM_WIN32_H
#define PLATFORM_WIN32_H

#include <windows.h>

// Opens the folder name (a plain name, or "" for the folder itself) in the held folder itself,
// never what a link, junction or other reparse point there leads to, with access, not sharing
// deletion, so that neither it nor a folder above it can be renamed while it is held;
// INVALID_HANDLE_VALUE, with the last error set, unless it is a folder with no reparse point but
// a sync client's, which leads nowhere else.
HANDLE win32_hold_in(HANDLE folder, const char* name, ACCESS_MASK access);

// True when count wide characters of text convert to the system's 8-bit code page, none lost or
// replaced by a look-alike: the 8-bit form names the same file.
bool win32_fits_code_page(const wchar_t* text, int count);

#endif
