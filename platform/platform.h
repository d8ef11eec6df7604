// The few operating-system services the program uses, behind one neutral interface.
//
// Paths are the program's own: 8-bit byte strings with the backslash as separator. The Windows
// backend hands them to KERNEL32 unchanged; the POSIX backend turns every backslash into a
// slash before it touches the file system, and gives the executable's path with every slash
// turned into a backslash.
//
// The installation tree is not trusted: others may write into it while a privileged run goes
// on. So every file the program puts in place goes through a replacement: a new temporary file
// beside the target, created exclusively, filled, closed and renamed over the target, in a
// folder opened one component at a time without following links and held until the rename is
// done. Only an absent target or a regular file is ever replaced, never a link, folder, FIFO or
// device, and every file read or folder written must lie beneath the installation root once
// links are resolved. The root itself is the user's choice and is trusted as given.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <stdint.h>

// An open file, or PLAT_NO_FILE.
typedef intptr_t PlatFile;
#define PLAT_NO_FILE ((PlatFile)-1)

// A folder held open while the program works in it, or PLAT_NO_FOLDER.
typedef intptr_t PlatFolder;
#define PLAT_NO_FOLDER ((PlatFolder)-1)
// Room for the path of a held folder.
#define PLAT_FOLDER_PATH 1024

// Opens an existing regular file for sequential reading, sharing it with other readers.
PlatFile plat_open_read(const char* path);
// Creates a regular file for writing, truncating an existing one, sharing it with other
// writers. Refuses a link, a folder, a FIFO or a device at path.
PlatFile plat_create_write(const char* path);
// Reads up to size bytes; *got says how many (0 at the end of the file). 0 on failure, else 1.
int32_t plat_read(PlatFile file, void* buffer, uint32_t size, uint32_t* got);
// Writes size bytes; *written says how many went out. 0 on failure, else 1.
int32_t plat_write(PlatFile file, const void* buffer, uint32_t size, uint32_t* written);
// 0 when closing reported an error, else 1.
int32_t plat_close(PlatFile file);

// Opens path for reading as plat_open_read does, links followed, and keeps it only when the
// file it reaches lies beneath the folder root.
PlatFile plat_open_read_below(const char* root, const char* path);

// A file being put in place: the held folder and the temporary file beside the target.
struct PlatReplacement {
    PlatFolder folder;
    PlatFile file; // write the new contents here
    const char* name;
    char folder_path[PLAT_FOLDER_PATH]; // where a backend that names files by path finds them
};

// Starts replacing name in the folder root\relative, which is opened one component at a time
// without following links, each a plain folder, the last beneath root; relative is made of
// plain names ("." and ".." are refused). Clears a temporary file that an earlier,
// interrupted run left, and creates a new one exclusively. Refuses a target that is not absent
// or a regular file, or that is the file source (when given, whose permissions the new file
// takes). 0 on failure, when nothing is left open or created; else 1.
int32_t plat_replace_begin(PlatReplacement* replacement, const char* root, const char* relative,
                           const char* name, PlatFile source);
// Closes the temporary file and, when keep is set, renames it over the target (which must still
// be absent or a regular file); otherwise, or when that fails, removes it. Releases the folder.
// 1 when the target now holds the new contents, else 0.
int32_t plat_replace_end(PlatReplacement* replacement, int32_t keep);

// Copies source, a regular file beneath root, over name in the folder root\relative, as a
// replacement. 0 on failure, with whatever stood at the target left as it was; else 1.
int32_t plat_copy_file(const char* root, const char* source, const char* relative,
                       const char* name);
// 1 when something (file or directory) exists at path, else 0.
int32_t plat_exists(const char* path);
// Creates a directory. 0 on failure (it may exist already), else 1.
int32_t plat_make_dir(const char* path);
// Writes the running executable's full path into buffer (size bytes) and gives its length, or
// 0 on failure. A result of size means the path did not fit and buffer holds no path.
uint32_t plat_executable_path(char* buffer, uint32_t size);
// 0 when the installation root, given on the command line (given set) or taken from the
// executable's path, holds characters that the system's 8-bit code page cannot represent, so
// that its 8-bit form names another folder; else 1.
int32_t plat_root_fits_code_page(int32_t given);
// Makes standard input, output and error carry bytes unchanged (no line-end translation).
void plat_binary_stdio();

#endif
