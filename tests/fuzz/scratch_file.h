// One scratch file per fuzzing process, rewritten for every input.
#ifndef SCRATCH_FILE_H
#define SCRATCH_FILE_H

#include <stddef.h>
#include <stdint.h>

// Writes the bytes to this process's scratch file and gives its path; aborts when it cannot.
const char* scratch_file_write(const uint8_t* data, size_t size);
// The path of a second scratch file (not written here).
const char* scratch_file_other();

#endif
