// Arbitrary bytes as a configuration file: the reader must give exactly what a plain reading of
// the format's rules, one byte at a time, gives: the same verdict, sections, keys, values and
// array capacities.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ini.h"
#include "scratch_file.h"

namespace {

struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
};

// The logical lines of the bytes, straight from the rules.
std::vector<std::string> lex(const uint8_t* data, size_t size) {
    std::vector<std::string> lines;
    std::string line;
    bool escape = false;
    bool comment = false;
    auto finish = [&] {
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        line.clear();
    };
    for (size_t i = 0; i < size; i++) {
        char c = static_cast<char>(data[i]);
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            if (!escape) {
                finish();
            }
            escape = comment = false;
        } else if (comment) {
        } else if (escape) {
            if (c != ' ' || !line.empty()) {
                line += c;
            }
            escape = false;
        } else if (c == '\\') {
            escape = true;
        } else if (c == ';') {
            comment = true;
        } else if (c != ' ' || !line.empty()) {
            line += c;
        }
    }
    finish();
    return lines;
}

// The sections that the logical lines form, or false. A line ends at its first NUL.
bool load(const std::vector<std::string>& lines, std::vector<Section>* sections) {
    for (const std::string& whole : lines) {
        std::string line = whole.c_str();
        size_t equals = line.find('=');
        if (!sections->empty() && equals != std::string::npos && equals > 0) {
            std::string key = line.substr(0, equals);
            std::string value = line.substr(equals + 1);
            key.erase(key.find_last_not_of(' ') + 1);
            value.erase(0, std::min(value.find_first_not_of(' '), value.size()));
            sections->back().entries.push_back({key, value});
        } else if (line.size() >= 3 && line.front() == '[' && line.back() == ']') {
            sections->push_back({line.substr(1, line.size() - 2), {}});
        } else {
            return false;
        }
    }
    return true;
}

// The capacity that appending count elements one at a time leaves.
int32_t capacity_for(size_t count) {
    return count <= 10 ? 10 : static_cast<int32_t>((count + 9) / 10 * 10);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = scratch_file_write(data, size);
    int32_t error = -1;
    IniFile* ini = ini_read_file(path, &error);
    std::vector<Section> expected;
    bool formed = load(lex(data, size), &expected);
    if ((ini != nullptr) != formed || error != (formed ? INI_READ_OK : INI_READ_BAD_FORMAT)) {
        abort();
    }
    if (ini == nullptr) {
        return 0;
    }
    if (static_cast<size_t>(ini->section_count) != expected.size() ||
        ini->section_capacity != capacity_for(expected.size())) {
        abort();
    }
    for (size_t s = 0; s < expected.size(); s++) {
        const IniSection* section = ini->sections[s];
        const Section& want = expected[s];
        if (want.name != section->name ||
            static_cast<size_t>(section->entry_count) != want.entries.size() ||
            section->entry_capacity != capacity_for(want.entries.size())) {
            abort();
        }
        for (size_t e = 0; e < want.entries.size(); e++) {
            const IniEntry* entry = section->entries[e];
            // The value lies past the key, in the allocation that the key owns.
            if (want.entries[e].first != entry->key || want.entries[e].second != entry->value ||
                entry->value <= entry->key + strlen(entry->key)) {
                abort();
            }
        }
    }
    ini_destroy(ini);
    return 0;
}
