// Sectioned key/value configuration files: an in-memory document, a reader and a writer.
//
// A document (IniFile) is an ordered list of named sections; a section (IniSection) is an
// ordered list of key/value entries (IniEntry). Every string is an 8-bit, NUL-terminated byte
// string that is never converted. Names and keys are compared byte for byte, letter case
// included, and a lookup takes the first match in array order; duplicates may exist.
//
// Every growable array starts with 10 slots and grows by 10 when an element is added to a full
// one; it never shrinks. Removal moves the last element into the freed slot.
//
// Ownership: a document returned by ini_create or ini_read_file belongs to the caller until
// ini_destroy. A document owns its sections, a section its name and its entries, an entry one
// allocation that holds its key first and its value after it (`value` points into it).
// Strings handed out by lookups are the document's own storage, valid until that entry or
// section is replaced, removed or destroyed.
//
// The module never prints and never ends the process. Running out of memory is reported
// through the results marked below; the document is then left as it was before the call.
//
// File format (read by ini_read_file, written by ini_write_file):
//   - lines end with a line feed; carriage returns are dropped wherever they occur;
//   - ';' starts a comment to the end of the physical line;
//   - '\' escapes the next byte ("\;" is ';', "\\" is '\', '\' at the end of a line joins the
//     next line, '\' before any other byte is dropped);
//   - spaces (only the space byte) around a logical line are removed; empty lines are skipped;
//   - "[name]" (3 bytes or more) starts a section; "key = value" is an entry; the first
//     logical line must be a section header and every line a header or an entry.
#ifndef INI_H
#define INI_H

#include <stdint.h>

#include "platform.h"

struct IniEntry {
    char* key;   // owns one allocation: key, NUL, value, NUL
    char* value; // points into the allocation that key owns
};

struct IniSection {
    int32_t entry_count;
    int32_t entry_capacity;
    char* name;
    IniEntry** entries;
};

struct IniFile {
    int32_t section_count;
    int32_t section_capacity;
    IniSection** sections;
};

// Result of ini_put_section and ini_set_value when memory ran out; nothing was changed.
#define INI_NO_MEMORY (-1)

// --- Document model ---------------------------------------------------------------------

// New empty document (count 0, capacity 10), or none when memory ran out.
IniFile* ini_create();
// Releases every section, the section array and the document.
void ini_destroy(IniFile* ini);

// New detached section holding its own copy of name, or none when memory ran out.
IniSection* ini_section_create(const char* name);
// Releases every entry, the entry array, the name and the section.
void ini_section_destroy(IniSection* section);

// Index of the first section named name, or -1.
int32_t ini_find_section(const IniFile* ini, const char* name);
// The first section named name, or none.
IniSection* ini_get_section(const IniFile* ini, const char* name);
// Takes over a detached section. A present section of the same name is destroyed and the new
// one takes its slot: 0. Otherwise it is appended: 1. INI_NO_MEMORY: not taken over.
int32_t ini_put_section(IniFile* ini, IniSection* section);
// 1 when no section has that name; otherwise destroys the first such section, moves the last
// section into its slot and gives 0.
int32_t ini_remove_section(IniFile* ini, const char* name);
// Name of the section at index, or none when index is negative or not below the count.
const char* ini_section_name_at(const IniFile* ini, int32_t index);

// Index of the first entry with that key, or -1.
int32_t ini_find_key(const IniSection* section, const char* key);
// Value of the first entry with that key, or none.
const char* ini_get_value(const IniSection* section, const char* key);
// Stores key and value in one new allocation. A present key takes it in place: 0. Otherwise a
// new entry is appended: 1. INI_NO_MEMORY: nothing changed. key and value may point into the
// section's own storage.
int32_t ini_set_value(IniSection* section, const char* key, const char* value);
// 1 when no entry has that key; otherwise releases the first such entry, moves the last entry
// into its slot and gives 0.
int32_t ini_remove_key(IniSection* section, const char* key);
// Key of the entry at index, or none when index is negative or not below the count.
const char* ini_key_at(const IniSection* section, int32_t index);
// New detached section named new_name holding each distinct key of section once, in the order
// of its first occurrence, with the value of that first occurrence; none when memory ran out.
IniSection* ini_copy_section(const IniSection* section, const char* new_name);

// --- Reader -----------------------------------------------------------------------------

#define INI_READ_BLOCK 1024

// Why ini_read_file gave none (INI_READ_OK when it gave a document).
enum {
    INI_READ_OK = 0,
    INI_READ_CANNOT_OPEN = 1,
    INI_READ_IO_ERROR = 2,   // a read failed before the end of the file
    INI_READ_BAD_FORMAT = 3, // the lines do not form sections
    INI_READ_NO_MEMORY = 4,
};

// The lexer's state over one open file.
struct IniLineReader {
    PlatFile file;
    int32_t at_end;   // set once a read has failed or returned no bytes
    uint32_t filled;  // bytes in buffer from the last read
    int32_t position; // index of the next byte to take from buffer
    char buffer[INI_READ_BLOCK];
    int32_t error; // INI_READ_IO_ERROR or INI_READ_NO_MEMORY once either happened, else 0
};

// Next logical line as a new string owned by the caller (release with free), or none when no
// logical line is left or reader->error became set.
char* ini_read_line(IniLineReader* reader);
// Loads the file at path. None when it cannot be opened, cannot be read to its end, its lines
// do not form sections, or memory ran out; *error (when given) then says which.
IniFile* ini_read_file(const char* path, int32_t* error = nullptr);
// Loads the rest of a file that the caller opened, as ini_read_file does, and leaves it open:
// closing it stays the caller's task. None, with INI_READ_CANNOT_OPEN, when file is PLAT_NO_FILE.
IniFile* ini_read_from(PlatFile file, int32_t* error = nullptr);

// --- Writer -----------------------------------------------------------------------------

// Results of ini_write_file.
enum {
    INI_WRITE_OK = 0,
    INI_WRITE_CANNOT_CREATE = -1,
    INI_WRITE_FAILED = -2,    // a write or the close failed; the file is left as far as it got
    INI_WRITE_NO_MEMORY = -3, // the line buffer could not grow; the file is left as far as it got
};

// Saves ini to path, creating or truncating the file. The document is only read.
int32_t ini_write_file(const IniFile* ini, const char* path);
// Writes ini into a file that the caller created, and leaves it open: closing it stays the
// caller's task. INI_WRITE_OK, INI_WRITE_FAILED or INI_WRITE_NO_MEMORY.
int32_t ini_write_to(const IniFile* ini, PlatFile file);

#endif
