// Helpers that the model, the reader and the writer share; not part of the module's interface.
#ifndef INI_INTERNAL_H
#define INI_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "ini.h"

// How many slots a document's or section's array starts with and grows by; a working buffer
// starts with as many and doubles.
#define INI_GROWTH 10

// Makes room for at least needed elements in a document's or section's array (*items,
// *capacity slots of item_size bytes), growing it in steps of INI_GROWTH slots, so that its
// capacity is always the smallest multiple of INI_GROWTH that holds what it has held. 0 when
// memory ran out (*items unchanged).
int32_t ini_reserve_by_steps(void** items, int32_t needed, int32_t* capacity, size_t item_size);
// Makes room for at least needed elements in a working buffer that never leaves the module (a
// line being written, the reader's working arrays of sections and entries), doubling it until
// they fit, so that building it costs linear time with any allocator (bench/README.md). 0 when
// memory ran out (*items unchanged).
int32_t ini_reserve_by_doubling(void** items, size_t needed, size_t* capacity, size_t item_size);
// Appends one byte to a byte buffer that grows as ini_reserve_by_doubling does. 0 when memory
// ran out (*bytes unchanged).
int32_t ini_buffer_append(char** bytes, size_t* length, size_t* capacity, char byte);
// New detached section that takes over name (allocated with malloc) as its own, or none when
// memory ran out (name is then still the caller's).
IniSection* ini_section_adopt(char* name);
// Appends a section to a document. 0 when memory ran out (the section is not taken).
int32_t ini_append_section(IniFile* ini, IniSection* section);
// Appends an entry to a section. 0 when memory ran out (the entry is not taken).
int32_t ini_append_entry(IniSection* section, IniEntry* entry);

#endif
