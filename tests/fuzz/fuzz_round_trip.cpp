// A document built from the input within the format's round-trip bounds is written, read back
// and compared section by section and entry by entry; any difference is a crash.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ini.h"
#include "scratch_file.h"

// Drops the bytes the format cannot carry in this place.
static std::string without(std::string text, const char* banned) {
    std::string out;
    for (char c : text) {
        if (strchr(banned, c) == nullptr && c != '\0') {
            out += c;
        }
    }
    return out;
}

// Removes leading and trailing spaces.
static std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Builds the document: input lines starting with '[' name sections, other lines are key=value.
static IniFile* document_from(const uint8_t* data, size_t size) {
    IniFile* ini = ini_create();
    IniSection* section = nullptr;
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        end = end == std::string::npos ? input.size() : end;
        std::string line = input.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            // Only the first section's name may hold '='; none may be empty.
            std::string name =
                without(line.substr(1), ini->section_count == 0 ? ";\\\r" : ";\\\r=");
            name = name.empty() ? "s" : name;
            section = ini_section_create(name.c_str());
            if (ini_put_section(ini, section) == INI_NO_MEMORY) {
                abort();
            }
        } else if (section != nullptr) {
            size_t equals = line.find('=');
            std::string key = trimmed(without(line.substr(0, equals), "=\r"));
            std::string value =
                equals == std::string::npos ? "" : trimmed(without(line.substr(equals + 1), "\r"));
            if (ini_set_value(section, key.empty() ? "k" : key.c_str(), value.c_str()) ==
                INI_NO_MEMORY) {
                abort();
            }
        }
    }
    return ini;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    IniFile* ini = document_from(data, size);
    const char* path = scratch_file_other();
    if (ini_write_file(ini, path) != INI_WRITE_OK) {
        abort();
    }
    IniFile* back = ini_read_file(path);
    if (back == nullptr || back->section_count != ini->section_count) {
        abort();
    }
    for (int32_t s = 0; s < ini->section_count; s++) {
        const IniSection* a = ini->sections[s];
        const IniSection* b = back->sections[s];
        if (strcmp(a->name, b->name) != 0 || a->entry_count != b->entry_count) {
            abort();
        }
        for (int32_t e = 0; e < a->entry_count; e++) {
            if (strcmp(a->entries[e]->key, b->entries[e]->key) != 0 ||
                strcmp(a->entries[e]->value, b->entries[e]->value) != 0) {
                abort();
            }
        }
    }
    ini_destroy(back);
    ini_destroy(ini);
    return 0;
}
