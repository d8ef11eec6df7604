// The few operating-system services the program uses, behind one neutral interface, and the
// contract that keeps a tree others may write into from leading a privileged run astray.
// docs/safety.md states it in depth: what is refused, how each system keeps it, what the tests
// show.
//
// Paths are the program's own: 8-bit byte strings with the backslash as separator; the POSIX
// backend turns every backslash into a slash before it touches the file system, and gives the
// executable's path with every slash turned into a backslash. Which names a part of a path may be
// is one rule for every system (plat_plain_name).
//
// - Only the root is followed: it is the user's choice, opened once, links followed, and held
//   for the run. Everything below it is reached from that handle, one folder at a time, each
//   opened relative to its held parent and never through a link, junction or other reparse
//   point: nothing below the root is looked up by a path that the system walks again.
// - A source is read only when it is a regular file on disk with no other name (a hard link
//   could reach a file outside the tree) that lies beneath the root. On Windows, a file whose
//   reparse point only says how its contents are kept is such a file, read through the system's
//   filter; a cloud file not kept on this device is not read (PLAT_IN_CLOUD).
// - Every file is put in place whole: a new temporary file beside the target, created
//   exclusively and never through a link at its name, filled, flushed, renamed over the target,
//   then the renamed file and its folder flushed (what that writes depends on the file system).
//   Only an absent target or a regular file is replaced, never a link, folder, FIFO or device.
// - A failure leaves what stood at the target as it was, but for PLAT_UNFLUSHED (the new file
//   is in place, a flush after the rename failed) and PLAT_STRANDED (Windows).
// - A step that another program's handle holds up for a moment, as scanners do, is tried again
//   for about a second before it fails; a denial is not.
//
// The backends (platform_posix.cpp, platform_win32.cpp) keep it with their own system calls; the
// checks that every system shares are in platform_copy.cpp.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <stdint.h>

// An open file, or PLAT_NO_FILE.
typedef intptr_t PlatFile;
#define PLAT_NO_FILE ((PlatFile)-1)

// A folder held open while the program works in it, or PLAT_NO_FOLDER.
typedef intptr_t PlatFolder;
#define PLAT_NO_FOLDER ((PlatFolder)-1)

// Sets the process up before anything else: standard streams carry bytes unchanged (no line-end
// translation), and where the system offers it, links that non-administrators made are not
// followed.
void plat_setup_process();

// Opens the folder root, links followed, and holds it until plat_release_folder, so that it
// cannot be renamed or removed meanwhile; PLAT_NO_FOLDER when it cannot be opened or is no
// folder on disk.
PlatFolder plat_hold_root(const char* root);
void plat_release_folder(PlatFolder folder);

// Opens an existing regular file for sequential reading, sharing it with other readers.
PlatFile plat_open_read(const char* path);
// Creates a regular file for writing, truncating an existing one, sharing it with other
// writers. Refuses a link, a folder, a FIFO, a device or a file with a second name at path
// before anything of it is cut.
PlatFile plat_create_write(const char* path);
// Reads up to size bytes; *got says how many (0 at the end of the file). 0 on failure, else 1.
int32_t plat_read(PlatFile file, void* buffer, uint32_t size, uint32_t* got);
// Writes size bytes; *written says how many went out. 0 on failure, else 1.
int32_t plat_write(PlatFile file, const void* buffer, uint32_t size, uint32_t* written);
// 0 when closing reported an error, else 1.
int32_t plat_close(PlatFile file);

// What looking for a source found: PLAT_DONE once it is open (or copied), PLAT_ABSENT when
// nothing is there (the file, or a folder on its way, is absent), PLAT_IN_CLOUD (Windows) for a
// cloud file not kept on this device, which reading would fetch, and PLAT_FAILED for anything
// else: a link, junction or other reparse point that is not only a way of storing the contents,
// a folder, a device or a file with a second name, or a step the system refused. A replacement
// ends PLAT_UNFLUSHED when the new file took the name but a flush after the rename failed, so
// that the name may not survive a power cut; and PLAT_STRANDED (Windows) when the target was set
// aside as <name>.old and neither the new file nor the old one could then take the name: the new
// one stays as <name>.tmp.
enum {
    PLAT_FAILED = 0,
    PLAT_DONE = 1,
    PLAT_ABSENT = 2,
    PLAT_IN_CLOUD = 3,
    PLAT_STRANDED = 4,
    PLAT_UNFLUSHED = 5,
};

// What follows a target's name in the names of the files that stand beside it: the temporary
// file that becomes the target once it is complete, and (Windows) a running target set aside.
static const char plat_temporary_suffix[] = ".tmp";
static const char plat_set_aside_suffix[] = ".old";

// True when name may be a part of a path below the root, as every system takes it: not empty,
// "." or "..", and with no separator and no colon (a drive or a stream). The one rule for a part,
// which both backends and the installer's checks apply.
int32_t plat_plain_name(const char* name);

// Opens name in the folder relative below the held root for reading, reaching the folder as
// plat_replace_begin does and never through a link at name. Keeps it only when it is a regular
// file on disk (on Windows, such a file with a reparse point that only says how its contents
// are kept is read through the system's filter) with no other name (a hard link could reach a
// file outside the tree) that lies beneath the root. *file is the open file on PLAT_DONE, else
// PLAT_NO_FILE.
int32_t plat_open_below(PlatFolder root, const char* relative, const char* name, PlatFile* file);

// A file being put in place: the held folder and the temporary file beside the target.
struct PlatReplacement {
    PlatFolder folder;
    PlatFile file; // write the new contents here
    const char* name;
};

// Starts replacing name, a plain name, in the folder relative below the held root, which is
// opened one component at a time without following links, each a plain folder beneath the root;
// relative is made of plain names ("." and ".." are refused; "" is the root itself). Clears a
// temporary file that an earlier, interrupted run left, and creates a new one exclusively.
// Refuses a target that is not absent or a regular file, or that is the file source (when
// given; on POSIX the new file takes its permissions, on Windows the folder's inherited access
// list). 0 on failure, when nothing is left open or created and the record holds PLAT_NO_FOLDER
// and PLAT_NO_FILE; else 1.
int32_t plat_replace_begin(PlatReplacement* replacement, PlatFolder root, const char* relative,
                           const char* name, PlatFile source);
// Flushes the temporary file and, when keep is set, renames it over the target (which must
// still be absent or a regular file), then flushes the renamed file and the folder, asking the
// system to write the new name to the disk; otherwise, or when the rename fails, removes it. On
// Windows the rename replaces in one step where the system offers it (Windows 10 1809 on);
// elsewhere a target that cannot be renamed over but can itself be renamed (a running program)
// is set aside as <name>.old first, and put back when the new file cannot take its name; once
// the new file is in place, a <name>.old that nothing runs from any more is removed. Closes the
// file and releases the folder. PLAT_DONE when the target holds the new contents and every flush
// was done or refused as having nothing to write; PLAT_UNFLUSHED when it holds them but a flush
// after the rename failed; PLAT_STRANDED (above); else PLAT_FAILED, the target as it was.
int32_t plat_replace_end(PlatReplacement* replacement, int32_t keep);

// Copies source_name in the folder source_relative, a file that plat_open_below accepts, over
// name in the folder relative, both below the held root, as a replacement. PLAT_DONE,
// PLAT_ABSENT when the source is not there, or PLAT_FAILED, with whatever stood at the target
// left as it was; also PLAT_IN_CLOUD as plat_open_below finds it, and PLAT_UNFLUSHED or
// PLAT_STRANDED as plat_replace_end ends.
int32_t plat_copy_file(PlatFolder root, const char* source_relative, const char* source_name,
                       const char* relative, const char* name);
// Creates the folder name, a plain name, directly in the held root and flushes the root, asking
// the system to write the new name to the disk. PLAT_DONE when both are done, PLAT_ABSENT when
// no folder was made (something may stand there already), PLAT_FAILED when it was made but the
// root's flush failed.
int32_t plat_make_dir(PlatFolder root, const char* name);
// Writes the running executable's full path into buffer (size bytes) and gives its length, or
// 0 on failure. A result of size means the path did not fit and buffer holds no path.
uint32_t plat_executable_path(char* buffer, uint32_t size);
// 0 when the installation root, given on the command line (given set) or taken from the
// executable's path, holds characters that the system's 8-bit code page cannot represent, so
// that its 8-bit form names another folder; else 1.
int32_t plat_root_fits_code_page(int32_t given);

#endif
