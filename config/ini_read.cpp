// The reader: a lexer that turns a file's bytes into logical lines, and a loader that checks,
// line by line as they come, that they form sections, building the document out of their own
// storage.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ini.h"
#include "ini_internal.h"

// Reads the next block into the buffer once the last one is used up. 0 at the end of the file
// or after a failed read, which sets the end flag (and the error for a failed read).
static int32_t refill(IniLineReader* reader) {
    if (static_cast<uint32_t>(reader->position) < reader->filled) {
        return 1;
    }
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
    return 1;
}

// What the lexer does with a byte outside a comment and an escape.
enum ByteClass : unsigned char {
    KEPT,      // appended as it is
    SPACE,     // appended, but not at the start of a line
    LINE_FEED, // ends the physical line
    RETURN,    // dropped
    SEMICOLON, // starts a comment
    BACKSLASH, // escapes the next byte
};

struct ByteClasses {
    ByteClass of[256];
    constexpr ByteClasses() : of() {
        of[static_cast<unsigned char>(' ')] = SPACE;
        of[static_cast<unsigned char>('\n')] = LINE_FEED;
        of[static_cast<unsigned char>('\r')] = RETURN;
        of[static_cast<unsigned char>(';')] = SEMICOLON;
        of[static_cast<unsigned char>('\\')] = BACKSLASH;
    }
};

static constexpr ByteClasses byte_classes;

static ByteClass class_of(char byte) {
    return byte_classes.of[static_cast<unsigned char>(byte)];
}

// A line is built in room of this many bytes on the stack; only a longer one goes to the heap.
#define LINE_LOCAL 512

// The line being built: its bytes (in local until it outgrows it), length and room.
struct LineBuffer {
    char* bytes;
    size_t length;
    size_t capacity;
    char local[LINE_LOCAL];
};

// Appends count bytes, doubling the room when full. 0 when memory ran out, which sets the
// reader's error and end flag.
static int32_t append(IniLineReader* reader, LineBuffer* line, const char* bytes, size_t count) {
    size_t needed = line->length + count;
    if (needed > line->capacity) {
        size_t grown = line->capacity;
        while (grown < needed && grown <= PTRDIFF_MAX / 2) {
            grown *= 2;
        }
        char* moved = nullptr;
        if (grown >= needed) {
            moved = static_cast<char*>(line->bytes == line->local ? malloc(grown)
                                                                  : realloc(line->bytes, grown));
        }
        if (moved == nullptr) {
            reader->error = INI_READ_NO_MEMORY;
            reader->at_end = 1;
            return 0;
        }
        if (line->bytes == line->local) {
            memcpy(moved, line->local, line->length);
        }
        line->bytes = moved;
        line->capacity = grown;
    }
    memcpy(line->bytes + line->length, bytes, count);
    line->length = needed;
    return 1;
}

// Releases the line's heap room, if it has any.
static void discard(LineBuffer* line) {
    if (line->bytes != line->local) {
        free(line->bytes);
    }
}

// Strips trailing spaces and gives the line in an allocation of exactly its size, or none (the
// room released) when memory ran out.
static char* finish_line(IniLineReader* reader, LineBuffer* line) {
    while (line->length > 0 && line->bytes[line->length - 1] == ' ') {
        line->length--;
    }
    char* text;
    if (line->bytes == line->local) {
        text = static_cast<char*>(malloc(line->length + 1));
        if (text != nullptr) {
            memcpy(text, line->local, line->length);
        }
    } else {
        text = static_cast<char*>(realloc(line->bytes, line->length + 1));
        if (text == nullptr) {
            free(line->bytes);
        }
    }
    if (text == nullptr) {
        reader->error = INI_READ_NO_MEMORY;
        reader->at_end = 1;
        return nullptr;
    }
    text[line->length] = '\0';
    return text;
}

// The end of the run of bytes from p (before end) that a line in progress keeps as they are.
static const char* kept_run(const char* p, const char* end) {
    while (p < end && class_of(*p) <= SPACE) {
        p++;
    }
    return p;
}

// Appends count bytes, straight into the room when they fit.
static inline int32_t append_fast(IniLineReader* reader, LineBuffer* line, const char* bytes,
                                  size_t count) {
    if (line->capacity - line->length >= count) {
        memcpy(line->bytes + line->length, bytes, count);
        line->length += count;
        return 1;
    }
    return append(reader, line, bytes, count);
}

// What the lexer carries from one byte to the next within a logical line.
struct LineState {
    bool escape;  // the last byte was a backslash that escapes the next one
    bool comment; // a ';' started a comment, which runs to the line feed
};

// Skips a comment up to its line feed, or appends a run of bytes that a line in progress keeps
// as they are: most bytes go one of these two ways. Gives where the bytes to take one at a time
// begin (end when the block is used up), or none when memory ran out.
static const char* take_run(IniLineReader* reader, LineBuffer* line, const LineState* state,
                            const char* p, const char* end) {
    // A comment runs to the line feed, so of a comment take_byte only ever sees that line feed.
    if (state->comment) {
        const char* feed = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        return feed != nullptr ? feed : end;
    }
    if (state->escape || line->length == 0) {
        return p;
    }
    const char* run = kept_run(p, end);
    if (run > p && !append_fast(reader, line, p, static_cast<size_t>(run - p))) {
        return nullptr;
    }
    return run;
}

// What taking one byte did.
enum ByteOutcome : unsigned char { BYTE_TAKEN, LINE_ENDED, BYTE_NO_MEMORY };

// Takes one byte by its class: it ends the line, continues it, starts a comment or an escape,
// is dropped, or is appended.
static ByteOutcome take_byte(IniLineReader* reader, LineBuffer* line, LineState* state, char byte) {
    bool keep = false;
    switch (class_of(byte)) {
    case LINE_FEED:
        if (state->escape) {
            state->escape = state->comment = false; // continuation
        } else if (line->length == 0) {
            state->comment = false; // empty, blank or comment-only line
        } else {
            return LINE_ENDED;
        }
        return BYTE_TAKEN;
    case RETURN:
        return BYTE_TAKEN; // leaves the escape, so "\\\r\n" still continues the line
    case SPACE:
        keep = line->length > 0;
        break;
    case SEMICOLON:
        state->comment = !state->escape;
        keep = state->escape;
        break;
    case BACKSLASH:
        if (!state->escape) {
            state->escape = true;
            return BYTE_TAKEN;
        }
        keep = true;
        break;
    case KEPT:
        keep = true;
        break;
    }
    state->escape = false;
    if (keep && !append_fast(reader, line, &byte, 1)) {
        return BYTE_NO_MEMORY;
    }
    return BYTE_TAKEN;
}

char* ini_read_line(IniLineReader* reader) {
    if (reader->at_end) {
        return nullptr;
    }
    LineBuffer line;
    line.bytes = line.local;
    line.length = 0;
    line.capacity = LINE_LOCAL;
    LineState state = {false, false};
    while (refill(reader)) {
        const char* p = reader->buffer + reader->position;
        const char* end = reader->buffer + reader->filled;
        while (p < end) {
            p = take_run(reader, &line, &state, p, end);
            if (p == nullptr) {
                discard(&line);
                return nullptr;
            }
            if (p == end) {
                break;
            }
            ByteOutcome outcome = take_byte(reader, &line, &state, *p++);
            if (outcome == LINE_ENDED) {
                reader->position = static_cast<int32_t>(p - reader->buffer);
                return finish_line(reader, &line);
            }
            if (outcome == BYTE_NO_MEMORY) {
                discard(&line);
                return nullptr;
            }
        }
        reader->position = static_cast<int32_t>(p - reader->buffer);
    }
    if (line.length == 0 || reader->error != 0) {
        discard(&line);
        return nullptr;
    }
    return finish_line(reader, &line);
}

// "[name]": at least 3 bytes, first '[' and last ']'.
static bool is_header(const char* line) {
    size_t length = strlen(line);
    return length >= 3 && line[0] == '[' && line[length - 1] == ']';
}

// The first '=' of a key line ("key=value": an '=' that is not its first byte), else none.
static char* key_line_equals(char* line) {
    return line[0] != '=' ? strchr(line, '=') : nullptr;
}

// Builds a section out of a header line, moving its name one byte down in place.
static IniSection* section_from_line(char* line) {
    size_t length = strlen(line);
    memmove(line, line + 1, length - 2);
    line[length - 2] = '\0';
    return ini_section_adopt(line);
}

// Builds an entry out of a key line by splitting it in place at its first '=', equals.
static IniEntry* entry_from_line(char* line, char* equals) {
    IniEntry* entry = static_cast<IniEntry*>(malloc(sizeof(IniEntry)));
    if (entry == nullptr) {
        return nullptr;
    }
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

// The document being built while its lines are read: the sections so far and the entries of
// the last one, each in a working array that doubles. When a section is complete its entries
// move into an array of exactly the capacity that appending them one at a time would have left,
// and so do the sections at the end.
struct Loader {
    IniSection** sections;
    size_t section_count;
    size_t section_capacity;
    IniEntry** entries;
    size_t entry_count;
    size_t entry_capacity;
    int32_t why; // INI_READ_OK, or why the lines give no document
};

// The most elements a document's or section's array may hold.
#define MOST_ELEMENTS (INT32_MAX - INI_GROWTH)

// Moves the working entries into the last section. false when memory ran out.
static bool close_section(Loader* loader) {
    if (loader->section_count == 0) {
        return true;
    }
    IniSection* section = loader->sections[loader->section_count - 1];
    void* array = section->entries;
    int32_t count = static_cast<int32_t>(loader->entry_count);
    if (!ini_reserve_by_steps(&array, count, &section->entry_capacity,
                              sizeof(section->entries[0]))) {
        return false;
    }
    section->entries = static_cast<IniEntry**>(array);
    if (count > 0) {
        memcpy(section->entries, loader->entries, loader->entry_count * sizeof(IniEntry*));
    }
    section->entry_count = count;
    loader->entry_count = 0;
    return true;
}

// Adds one logical line to the document: an entry of the last section, a new section, or the
// proof that the lines do not form sections. The key line test comes first: after a header,
// "[a=b]" is an entry, not the next header.
static void take_line(Loader* loader, char* line) {
    if (loader->why != INI_READ_OK) {
        free(line);
        return;
    }
    char* equals = loader->section_count > 0 ? key_line_equals(line) : nullptr;
    if (equals != nullptr) {
        void* array = loader->entries;
        IniEntry* entry = nullptr;
        if (loader->entry_count < loader->entry_capacity ||
            (loader->entry_count < MOST_ELEMENTS &&
             ini_reserve_by_doubling(&array, loader->entry_count + 1, &loader->entry_capacity,
                                     sizeof(IniEntry*)))) {
            loader->entries = static_cast<IniEntry**>(array);
            entry = entry_from_line(line, equals);
        }
        if (entry == nullptr) {
            free(line);
            loader->why = INI_READ_NO_MEMORY;
            return;
        }
        loader->entries[loader->entry_count++] = entry;
    } else if (is_header(line)) {
        void* array = loader->sections;
        IniSection* section = nullptr;
        if (loader->section_count < MOST_ELEMENTS && close_section(loader) &&
            ini_reserve_by_doubling(&array, loader->section_count + 1, &loader->section_capacity,
                                    sizeof(IniSection*))) {
            loader->sections = static_cast<IniSection**>(array);
            section = section_from_line(line);
        }
        if (section == nullptr) {
            free(line);
            loader->why = INI_READ_NO_MEMORY;
            return;
        }
        loader->sections[loader->section_count++] = section;
    } else {
        free(line);
        loader->why = INI_READ_BAD_FORMAT;
    }
}

// The document the loader built when *why is INI_READ_OK, else none; either way the loader's
// working arrays, and whatever the document did not take, are released.
static IniFile* finish_document(Loader* loader, int32_t* why) {
    IniFile* ini = nullptr;
    if (*why == INI_READ_OK && close_section(loader)) {
        ini = ini_create();
        void* array = ini != nullptr ? ini->sections : nullptr;
        if (ini != nullptr &&
            ini_reserve_by_steps(&array, static_cast<int32_t>(loader->section_count),
                                 &ini->section_capacity, sizeof(ini->sections[0]))) {
            ini->sections = static_cast<IniSection**>(array);
            if (loader->section_count > 0) {
                memcpy(ini->sections, loader->sections,
                       loader->section_count * sizeof(IniSection*));
            }
            ini->section_count = static_cast<int32_t>(loader->section_count);
            loader->section_count = 0;
        } else if (ini != nullptr) {
            ini_destroy(ini);
            ini = nullptr;
        }
    }
    if (*why == INI_READ_OK && ini == nullptr) {
        *why = INI_READ_NO_MEMORY;
    }
    for (size_t i = 0; i < loader->entry_count; i++) {
        free(loader->entries[i]->key);
        free(loader->entries[i]);
    }
    for (size_t i = 0; i < loader->section_count; i++) {
        ini_section_destroy(loader->sections[i]);
    }
    free(loader->entries);
    free(loader->sections);
    return ini;
}

// Whether read_document closes the file once it has read it.
enum Closing : unsigned char { LEAVE_OPEN, CLOSE_WHEN_READ };

// Loads an open file (none when it is PLAT_NO_FILE), closing it once read when asked to. The
// lines are read to the end even after one that does not fit, so that a read error or running
// out of memory is what the caller hears of rather than the format.
static IniFile* read_document(PlatFile file, Closing closing, int32_t* error) {
    int32_t why = INI_READ_CANNOT_OPEN;
    IniFile* ini = nullptr;
    if (file != PLAT_NO_FILE) {
        IniLineReader reader = {};
        reader.file = file;
        Loader loader = {};
        loader.why = INI_READ_OK;
        while (char* line = ini_read_line(&reader)) {
            take_line(&loader, line);
        }
        if (closing == CLOSE_WHEN_READ) {
            plat_close(file);
        }
        why = reader.error != 0 ? reader.error : loader.why;
        ini = finish_document(&loader, &why);
    }
    if (error != nullptr) {
        *error = why;
    }
    return ini;
}

IniFile* ini_read_file(const char* path, int32_t* error) {
    return read_document(plat_open_read(path), CLOSE_WHEN_READ, error);
}

IniFile* ini_read_from(PlatFile file, int32_t* error) {
    return read_document(file, LEAVE_OPEN, error);
}
