// Helpers that the model, the reader and the writer share; not part of the module's interface.
#ifndef INI_INTERNAL_H
#define INI_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "ini.h"

// How many slots or bytes a growable array starts with and grows by.
#define INI_GROWTH 10

// Makes room for one more element in *items (count in use, *capacity slots of item_size bytes),
// growing it by INI_GROWTH slots when it is full. 0 when memory ran out (*items unchanged).
int32_t ini_reserve(void** items, int32_t count, int32_t* capacity, size_t item_size);
// Makes room for one more byte in *bytes (length in use, *capacity bytes), growing it by
// INI_GROWTH bytes when it is full. 0 when memory ran out (*bytes unchanged).
int32_t ini_reserve_byte(char** bytes, size_t length, size_t* capacity);
// New detached section that takes over name (allocated with malloc) as its own, or none when
// memory ran out (name is then still the caller's).
IniSection* ini_section_adopt(char* name);
// Appends a section to a document. 0 when memory ran out (the section is not taken).
int32_t ini_append_section(IniFile* ini, IniSection* section);
// Appends an entry to a section. 0 when memory ran out (the entry is not taken).
int32_t ini_append_entry(IniSection* section, IniEntry* entry);

#endif
