// The configuration document: sections of key/value entries in memory.
#include <stdlib.h>
#include <string.h>

#include "ini.h"
#include "ini_internal.h"

int32_t ini_reserve_by_steps(void** items, int32_t needed, int32_t* capacity, size_t item_size) {
    if (needed <= *capacity) {
        return 1;
    }
    if (needed > INT32_MAX - INI_GROWTH) {
        return 0;
    }
    int32_t grown = (needed + INI_GROWTH - 1) / INI_GROWTH * INI_GROWTH;
    void* moved = realloc(*items, static_cast<size_t>(grown) * item_size);
    if (moved == nullptr) {
        return 0;
    }
    *items = moved;
    *capacity = grown;
    return 1;
}

int32_t ini_reserve_by_doubling(void** items, size_t needed, size_t* capacity, size_t item_size) {
    if (needed <= *capacity) {
        return 1;
    }
    size_t grown = *capacity > 0 ? *capacity : INI_GROWTH;
    while (grown < needed) {
        if (grown > SIZE_MAX / 2 / item_size) {
            return 0;
        }
        grown *= 2;
    }
    void* moved = realloc(*items, grown * item_size);
    if (moved == nullptr) {
        return 0;
    }
    *items = moved;
    *capacity = grown;
    return 1;
}

int32_t ini_buffer_append(char** bytes, size_t* length, size_t* capacity, char byte) {
    void* grown = *bytes;
    if (!ini_reserve_by_doubling(&grown, *length + 1, capacity, 1)) {
        return 0;
    }
    *bytes = static_cast<char*>(grown);
    (*bytes)[(*length)++] = byte;
    return 1;
}

int32_t ini_append_section(IniFile* ini, IniSection* section) {
    void* sections = ini->sections;
    if (!ini_reserve_by_steps(&sections, ini->section_count + 1, &ini->section_capacity,
                              sizeof(ini->sections[0]))) {
        return 0;
    }
    ini->sections = static_cast<IniSection**>(sections);
    ini->sections[ini->section_count++] = section;
    return 1;
}

int32_t ini_append_entry(IniSection* section, IniEntry* entry) {
    void* entries = section->entries;
    if (!ini_reserve_by_steps(&entries, section->entry_count + 1, &section->entry_capacity,
                              sizeof(section->entries[0]))) {
        return 0;
    }
    section->entries = static_cast<IniEntry**>(entries);
    section->entries[section->entry_count++] = entry;
    return 1;
}

IniFile* ini_create() {
    IniFile* ini = static_cast<IniFile*>(malloc(sizeof(IniFile)));
    IniSection** sections = static_cast<IniSection**>(malloc(INI_GROWTH * sizeof(*sections)));
    if (ini == nullptr || sections == nullptr) {
        free(ini);
        free(sections);
        return nullptr;
    }
    ini->section_count = 0;
    ini->section_capacity = INI_GROWTH;
    ini->sections = sections;
    return ini;
}

void ini_destroy(IniFile* ini) {
    for (int32_t i = 0; i < ini->section_count; i++) {
        ini_section_destroy(ini->sections[i]);
    }
    free(ini->sections);
    free(ini);
}

IniSection* ini_section_adopt(char* name) {
    IniSection* section = static_cast<IniSection*>(malloc(sizeof(IniSection)));
    IniEntry** entries = static_cast<IniEntry**>(malloc(INI_GROWTH * sizeof(*entries)));
    if (section == nullptr || entries == nullptr) {
        free(section);
        free(entries);
        return nullptr;
    }
    section->entry_count = 0;
    section->entry_capacity = INI_GROWTH;
    section->name = name;
    section->entries = entries;
    return section;
}

IniSection* ini_section_create(const char* name) {
    size_t size = strlen(name) + 1;
    char* copy = static_cast<char*>(malloc(size));
    if (copy == nullptr) {
        return nullptr;
    }
    memcpy(copy, name, size);
    IniSection* section = ini_section_adopt(copy);
    if (section == nullptr) {
        free(copy);
    }
    return section;
}

// Releases the entry's text (the allocation that begins at its key) and the entry.
static void entry_destroy(IniEntry* entry) {
    free(entry->key);
    free(entry);
}

void ini_section_destroy(IniSection* section) {
    for (int32_t i = 0; i < section->entry_count; i++) {
        entry_destroy(section->entries[i]);
    }
    free(section->entries);
    free(section->name);
    free(section);
}

int32_t ini_find_section(const IniFile* ini, const char* name) {
    for (int32_t i = 0; i < ini->section_count; i++) {
        if (strcmp(ini->sections[i]->name, name) == 0) {
            return i;
        }
    }
    return -1;
}

IniSection* ini_get_section(const IniFile* ini, const char* name) {
    int32_t index = ini_find_section(ini, name);
    return index < 0 ? nullptr : ini->sections[index];
}

int32_t ini_put_section(IniFile* ini, IniSection* section) {
    int32_t index = ini_find_section(ini, section->name);
    if (index < 0) {
        return ini_append_section(ini, section) ? 1 : INI_NO_MEMORY;
    }
    // Putting a section that is already in place must not destroy it.
    if (ini->sections[index] != section) {
        ini_section_destroy(ini->sections[index]);
        ini->sections[index] = section;
    }
    return 0;
}

int32_t ini_remove_section(IniFile* ini, const char* name) {
    int32_t index = ini_find_section(ini, name);
    if (index < 0) {
        return 1;
    }
    ini_section_destroy(ini->sections[index]);
    ini->section_count--;
    ini->sections[index] = ini->sections[ini->section_count];
    return 0;
}

const char* ini_section_name_at(const IniFile* ini, int32_t index) {
    if (index < 0 || index >= ini->section_count) {
        return nullptr;
    }
    return ini->sections[index]->name;
}

int32_t ini_find_key(const IniSection* section, const char* key) {
    for (int32_t i = 0; i < section->entry_count; i++) {
        if (strcmp(section->entries[i]->key, key) == 0) {
            return i;
        }
    }
    return -1;
}

const char* ini_get_value(const IniSection* section, const char* key) {
    int32_t index = ini_find_key(section, key);
    return index < 0 ? nullptr : section->entries[index]->value;
}

int32_t ini_set_value(IniSection* section, const char* key, const char* value) {
    // key or value may live in the entry that is replaced: compose before releasing.
    int32_t index = ini_find_key(section, key);
    size_t key_size = strlen(key) + 1;
    size_t value_size = strlen(value) + 1;
    char* text = static_cast<char*>(malloc(key_size + value_size));
    if (text == nullptr) {
        return INI_NO_MEMORY;
    }
    memcpy(text, key, key_size);
    memcpy(text + key_size, value, value_size);
    if (index >= 0) {
        IniEntry* entry = section->entries[index];
        free(entry->key);
        entry->key = text;
        entry->value = text + key_size;
        return 0;
    }
    IniEntry* entry = static_cast<IniEntry*>(malloc(sizeof(IniEntry)));
    if (entry == nullptr) {
        free(text);
        return INI_NO_MEMORY;
    }
    entry->key = text;
    entry->value = text + key_size;
    if (!ini_append_entry(section, entry)) {
        entry_destroy(entry);
        return INI_NO_MEMORY;
    }
    return 1;
}

int32_t ini_remove_key(IniSection* section, const char* key) {
    int32_t index = ini_find_key(section, key);
    if (index < 0) {
        return 1;
    }
    entry_destroy(section->entries[index]);
    section->entry_count--;
    section->entries[index] = section->entries[section->entry_count];
    return 0;
}

const char* ini_key_at(const IniSection* section, int32_t index) {
    if (index < 0 || index >= section->entry_count) {
        return nullptr;
    }
    return section->entries[index]->key;
}

IniSection* ini_copy_section(const IniSection* section, const char* new_name) {
    IniSection* copy = ini_section_create(new_name);
    if (copy == nullptr) {
        return nullptr;
    }
    for (int32_t i = 0; i < section->entry_count; i++) {
        const char* key = section->entries[i]->key;
        if (ini_set_value(copy, key, ini_get_value(section, key)) == INI_NO_MEMORY) {
            ini_section_destroy(copy);
            return nullptr;
        }
    }
    return copy;
}
