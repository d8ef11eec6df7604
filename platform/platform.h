// The few operating-system services the program uses, behind one neutral interface.
//
// Paths are the program's own: 8-bit byte strings with the backslash as separator. The Windows
// backend hands them to KERNEL32 unchanged; the POSIX backend turns every backslash into a
// slash before it touches the file system, and gives the executable's path with every slash
// turned into a backslash.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <stdint.h>

// An open file, or PLAT_NO_FILE.
typedef intptr_t PlatFile;
#define PLAT_NO_FILE ((PlatFile)-1)

// Opens an existing file for sequential reading, sharing it with other readers.
PlatFile plat_open_read(const char* path);
// Creates a file for writing, truncating an existing one, sharing it with other writers.
PlatFile plat_create_write(const char* path);
// Reads up to size bytes; *got says how many (0 at the end of the file). 0 on failure, else 1.
int32_t plat_read(PlatFile file, void* buffer, uint32_t size, uint32_t* got);
// Writes size bytes; *written says how many went out. 0 on failure, else 1.
int32_t plat_write(PlatFile file, const void* buffer, uint32_t size, uint32_t* written);
// 0 when closing reported an error, else 1.
int32_t plat_close(PlatFile file);

// Copies a whole file over target, which is replaced when it exists. 0 on failure, else 1.
int32_t plat_copy_file(const char* source, const char* target);
// 1 when something (file or directory) exists at path, else 0.
int32_t plat_exists(const char* path);
// Creates a directory. 0 on failure (it may exist already), else 1.
int32_t plat_make_dir(const char* path);
// Writes the running executable's full path into buffer (size bytes) and gives its length, or
// 0 on failure. A result of size means the path did not fit and buffer holds no path.
uint32_t plat_executable_path(char* buffer, uint32_t size);
// Makes standard input, output and error carry bytes unchanged (no line-end translation).
void plat_binary_stdio();

#endif
