// The writer: saves a document in the format that the reader reads.
#include <stdlib.h>
#include <string.h>

#include "ini.h"
#include "ini_internal.h"

// One write that must take every byte it is given.
static bool write_exact(PlatFile file, const char* bytes, size_t size) {
    uint32_t written = 0;
    return size <= UINT32_MAX && plat_write(file, bytes, static_cast<uint32_t>(size), &written) &&
           written == size;
}

// Appends text to the line, with a backslash before every semicolon and backslash.
static bool append_escaped(char** line, size_t* length, size_t* capacity, const char* text) {
    for (; *text != '\0'; text++) {
        if ((*text == ';' || *text == '\\') && !ini_buffer_append(line, length, capacity, '\\')) {
            return false;
        }
        if (!ini_buffer_append(line, length, capacity, *text)) {
            return false;
        }
    }
    return true;
}

// Writes the document's lines, reusing one line buffer for every entry.
static int32_t write_sections(const IniFile* ini, PlatFile file, char** line, size_t* capacity) {
    for (int32_t s = 0; s < ini->section_count; s++) {
        const IniSection* section = ini->sections[s];
        if (!write_exact(file, "[", 1) ||
            !write_exact(file, section->name, strlen(section->name)) ||
            !write_exact(file, "]\n", 2)) {
            return INI_WRITE_FAILED;
        }
        for (int32_t e = 0; e < section->entry_count; e++) {
            const IniEntry* entry = section->entries[e];
            size_t length = 0;
            if (!append_escaped(line, &length, capacity, entry->key) ||
                !ini_buffer_append(line, &length, capacity, '=') ||
                !append_escaped(line, &length, capacity, entry->value) ||
                !ini_buffer_append(line, &length, capacity, '\n')) {
                return INI_WRITE_NO_MEMORY;
            }
            if (!write_exact(file, *line, length)) {
                return INI_WRITE_FAILED;
            }
        }
    }
    return INI_WRITE_OK;
}

int32_t ini_write_to(const IniFile* ini, PlatFile file) {
    size_t capacity = INI_GROWTH;
    char* line = static_cast<char*>(malloc(capacity));
    int32_t result =
        line == nullptr ? INI_WRITE_NO_MEMORY : write_sections(ini, file, &line, &capacity);
    free(line);
    return result;
}

int32_t ini_write_file(const IniFile* ini, const char* path) {
    PlatFile file = plat_create_write(path);
    if (file == PLAT_NO_FILE) {
        return INI_WRITE_CANNOT_CREATE;
    }
    int32_t result = ini_write_to(ini, file);
    // Bytes that did not reach the file by the close were not written.
    if (!plat_close(file) && result == INI_WRITE_OK) {
        result = INI_WRITE_FAILED;
    }
    return result;
}
