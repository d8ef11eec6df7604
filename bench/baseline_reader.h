// The reader as it was before its single pass, for the benchmark's comparison.
#ifndef BASELINE_READER_H
#define BASELINE_READER_H

#include "ini.h"

// ini_read_file as it was.
IniFile* baseline_read_file(const char* path, int32_t* error = nullptr);

#endif
