// Arbitrary bytes as a configuration file: the reader must give a sound document or none.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ini.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = scratch_file_write(data, size);
    int32_t error = -1;
    IniFile* ini = ini_read_file(path, &error);
    if ((ini != nullptr) != (error == INI_READ_OK)) {
        abort();
    }
    if (ini == nullptr) {
        return 0;
    }
    if (ini->section_count > ini->section_capacity || ini->section_capacity % 10 != 0) {
        abort();
    }
    for (int32_t s = 0; s < ini->section_count; s++) {
        const IniSection* section = ini->sections[s];
        if (section->entry_count > section->entry_capacity || strlen(section->name) + 2 > size) {
            abort();
        }
        for (int32_t e = 0; e < section->entry_count; e++) {
            const IniEntry* entry = section->entries[e];
            // A key is never empty, and its value lies past it in the same allocation.
            size_t key_length = strlen(entry->key);
            if (key_length == 0 || entry->value <= entry->key + key_length ||
                strlen(entry->value) + key_length + 1 > size) {
                abort();
            }
        }
    }
    ini_destroy(ini);
    return 0;
}
