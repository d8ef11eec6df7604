// The reader as it was before its single pass: the baseline that the benchmark measures the
// module's reader against. A byte at a time through the lexer, each line grown from 10 bytes,
// all lines collected into a list, then checked and built in a second pass. Kept unchanged but
// for its names.
#include <stdlib.h>
#include <string.h>

#include "baseline_reader.h"
#include "ini.h"
#include "ini_internal.h"

// Takes the next byte of the file into *byte. 0 at the end of the file or after a failed read,
// which sets the end flag (and the error for a failed read).
static int32_t next_byte(IniLineReader* reader, char* byte) {
    if (static_cast<uint32_t>(reader->position) >= reader->filled) {
        uint32_t got = 0;
        if (!plat_read(reader->file, reader->buffer, INI_READ_BLOCK, &got)) {
            reader->error = INI_READ_IO_ERROR;
            got = 0;
        }
        if (got == 0) {
            reader->at_end = 1;
            return 0;
        }
        reader->filled = got;
        reader->position = 0;
    }
    *byte = reader->buffer[reader->position++];
    return 1;
}

// A line starts with room for this many bytes, its terminator included.
#define LINE_START 10

// Appends a byte to the growing line. 0 when memory ran out, which sets the reader's error.
static int32_t append(IniLineReader* reader, char** line, size_t* length, size_t* capacity,
                      char byte) {
    if (!ini_buffer_append(line, length, capacity, byte)) {
        reader->error = INI_READ_NO_MEMORY;
        reader->at_end = 1;
        return 0;
    }
    return 1;
}

// Strips trailing spaces and terminates the line; none (the line released) when that fails. A
// line that outgrew its first block gives back the room that doubling left unused, since the
// document keeps every line's storage.
static char* finish_line(IniLineReader* reader, char* line, size_t length, size_t capacity) {
    while (length > 0 && line[length - 1] == ' ') {
        length--;
    }
    if (!append(reader, &line, &length, &capacity, '\0')) {
        free(line);
        return nullptr;
    }
    if (capacity > LINE_START && capacity > length) {
        char* fitted = static_cast<char*>(realloc(line, length));
        line = fitted != nullptr ? fitted : line;
    }
    return line;
}

static char* baseline_read_line(IniLineReader* reader) {
    if (reader->at_end) {
        return nullptr;
    }
    size_t capacity = LINE_START;
    size_t length = 0;
    char* line = static_cast<char*>(malloc(capacity));
    if (line == nullptr) {
        reader->error = INI_READ_NO_MEMORY;
        reader->at_end = 1;
        return nullptr;
    }
    bool escape = false;
    bool comment = false;
    char byte;
    while (next_byte(reader, &byte)) {
        bool keep = false;
        switch (byte) {
        case '\n':
            if (escape) {
                escape = comment = false; // continuation
            } else if (length == 0) {
                comment = false; // empty, blank or comment-only line
            } else {
                return finish_line(reader, line, length, capacity);
            }
            continue;
        case '\r':
            continue; // leaves both flags, so "\\\r\n" still continues the line
        case ' ':
            keep = !comment && length > 0;
            break;
        case ';':
            if (!comment && !escape) {
                comment = true;
            } else {
                keep = !comment;
            }
            break;
        case '\\':
            if (comment) {
                break;
            }
            if (!escape) {
                escape = true;
                continue;
            }
            keep = true;
            break;
        default:
            keep = !comment;
            break;
        }
        escape = false;
        if (keep && !append(reader, &line, &length, &capacity, byte)) {
            free(line);
            return nullptr;
        }
    }
    if (length == 0 || reader->error != 0) {
        free(line);
        return nullptr;
    }
    return finish_line(reader, line, length, capacity);
}

// "[name]": at least 3 bytes, first '[' and last ']'.
static bool is_header(const char* line) {
    size_t length = strlen(line);
    return length >= 3 && line[0] == '[' && line[length - 1] == ']';
}

// "key=value": holds an '=' that is not its first byte.
static bool is_key_line(const char* line) {
    return line[0] != '=' && strchr(line, '=') != nullptr;
}

// Builds a section out of a header line, moving its name one byte down in place.
static IniSection* section_from_line(char* line) {
    size_t length = strlen(line);
    memmove(line, line + 1, length - 2);
    line[length - 2] = '\0';
    return ini_section_adopt(line);
}

// Builds an entry out of a key line by splitting it in place at its first '='.
static IniEntry* entry_from_line(char* line) {
    IniEntry* entry = static_cast<IniEntry*>(malloc(sizeof(IniEntry)));
    if (entry == nullptr) {
        return nullptr;
    }
    char* equals = strchr(line, '=');
    char* value = equals + 1;
    *equals = '\0';
    while (equals > line && equals[-1] == ' ') {
        *--equals = '\0';
    }
    while (*value == ' ') {
        value++;
    }
    entry->key = line;
    entry->value = value;
    return entry;
}

// The number of key lines that follow the header at lines[header]. The key line test comes
// first: after a header, "[a=b]" is an entry, not the next header.
static int32_t entries_after(char* const* lines, int32_t count, int32_t header) {
    int32_t i = header + 1;
    while (i < count && is_key_line(lines[i])) {
        i++;
    }
    return i - header - 1;
}

// The number of sections when the lines form sections (a header first, then key lines or
// further headers), else -1.
static int32_t count_sections(char* const* lines, int32_t count) {
    int32_t sections = 0;
    for (int32_t i = 0; i < count; i += 1 + entries_after(lines, count, i)) {
        if (!is_header(lines[i])) {
            return -1;
        }
        sections++;
    }
    return sections;
}

// Builds the document from lines that form the given number of sections. Arrays are sized at
// once as appending one element at a time would have left them. Each line that the document
// takes over is cleared in the list; on failure (none) the caller releases the rest.
static IniFile* build_document(char** lines, int32_t count, int32_t sections) {
    IniFile* ini = ini_create();
    if (ini == nullptr) {
        return nullptr;
    }
    void* array = ini->sections;
    bool ok = ini_reserve_by_steps(&array, sections, &ini->section_capacity,
                                   sizeof(ini->sections[0])) != 0;
    ini->sections = static_cast<IniSection**>(array);
    for (int32_t i = 0; ok && i < count; i++) {
        int32_t entries = entries_after(lines, count, i);
        IniSection* section = section_from_line(lines[i]);
        ok = section != nullptr;
        if (!ok) {
            break;
        }
        lines[i] = nullptr;
        ini->sections[ini->section_count++] = section;
        array = section->entries;
        ok = ini_reserve_by_steps(&array, entries, &section->entry_capacity,
                                  sizeof(section->entries[0])) != 0;
        section->entries = static_cast<IniEntry**>(array);
        for (; ok && section->entry_count < entries; i++) {
            IniEntry* entry = entry_from_line(lines[i + 1]);
            ok = entry != nullptr;
            if (ok) {
                lines[i + 1] = nullptr;
                section->entries[section->entry_count++] = entry;
            }
        }
    }
    if (!ok) {
        ini_destroy(ini);
        return nullptr;
    }
    return ini;
}

// Releases count lines and the list that holds them.
static void release_lines(char** lines, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        free(lines[i]);
    }
    free(lines);
}

// Reads every logical line of an open file into *lines; an error code, or INI_READ_OK.
static int32_t collect_lines(PlatFile file, char*** lines, int32_t* count) {
    IniLineReader reader;
    reader.file = file;
    reader.at_end = 0;
    reader.filled = 0;
    reader.position = 0;
    reader.error = 0;
    size_t capacity = 0;
    *count = 0;
    *lines = nullptr;
    char* line;
    while ((line = baseline_read_line(&reader)) != nullptr) {
        void* grown = *lines;
        if (*count == INT32_MAX || !ini_reserve_by_doubling(&grown, static_cast<size_t>(*count) + 1,
                                                            &capacity, sizeof(char*))) {
            free(line);
            return INI_READ_NO_MEMORY;
        }
        *lines = static_cast<char**>(grown);
        (*lines)[(*count)++] = line;
    }
    return reader.error;
}

IniFile* baseline_read_file(const char* path, int32_t* error) {
    int32_t why = INI_READ_CANNOT_OPEN;
    IniFile* ini = nullptr;
    PlatFile file = plat_open_read(path);
    if (file != PLAT_NO_FILE) {
        char** lines = nullptr;
        int32_t count = 0;
        why = collect_lines(file, &lines, &count);
        plat_close(file);
        int32_t sections = why == INI_READ_OK ? count_sections(lines, count) : 0;
        if (sections < 0) {
            why = INI_READ_BAD_FORMAT;
        }
        if (why == INI_READ_OK) {
            ini = build_document(lines, count, sections);
            why = ini == nullptr ? INI_READ_NO_MEMORY : INI_READ_OK;
        }
        release_lines(lines, count);
    }
    if (error != nullptr) {
        *error = why;
    }
    return ini;
}
