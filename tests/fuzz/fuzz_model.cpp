// The input drives a sequence of document operations, each checked against a simple reference
// model kept beside the document.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "ini.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> RefSection;

struct RefDocument {
    std::vector<std::pair<std::string, RefSection>> sections;
    size_t most_sections = 0;
};

// Reads the input one byte at a time; 0 once it is used up.
struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t next() {
        if (size == 0) {
            return 0;
        }
        size--;
        return *data++;
    }
};

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

// A name from a small set, so that operations meet the same names often.
std::string pick_name(Input& in) {
    static const char* const names[] = {"a", "b", "Install", "install", "", "a b", "x;y", "z"};
    return names[in.next() % 8];
}

std::string pick_value(Input& in) {
    size_t length = in.next() % 12;
    std::string value;
    for (size_t i = 0; i < length; i++) {
        value += static_cast<char>(in.next() % 95 + 32);
    }
    return value;
}

int32_t ref_find(const RefDocument& ref, const std::string& name) {
    for (size_t i = 0; i < ref.sections.size(); i++) {
        if (ref.sections[i].first == name) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

int32_t ref_find_key(const RefSection& section, const std::string& key) {
    for (size_t i = 0; i < section.size(); i++) {
        if (section[i].first == key) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

// The capacity the growth rule gives an array that once held most elements.
int32_t capacity_for(size_t most) {
    return most <= 10 ? 10 : static_cast<int32_t>((most + 9) / 10 * 10);
}

// The document equals the reference, element by element, capacities included.
void compare(const IniFile* ini, const RefDocument& ref, const std::vector<size_t>& most_entries) {
    check(ini->section_count == static_cast<int32_t>(ref.sections.size()));
    check(ini->section_capacity == capacity_for(ref.most_sections));
    for (size_t s = 0; s < ref.sections.size(); s++) {
        const IniSection* section = ini->sections[s];
        const RefSection& entries = ref.sections[s].second;
        check(ref.sections[s].first == section->name);
        check(section->entry_count == static_cast<int32_t>(entries.size()));
        check(section->entry_capacity == capacity_for(most_entries[s]));
        for (size_t e = 0; e < entries.size(); e++) {
            check(entries[e].first == section->entries[e]->key);
            check(entries[e].second == section->entries[e]->value);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in = {data, size};
    IniFile* ini = ini_create();
    RefDocument ref;
    std::vector<size_t> most_entries; // per section slot, the most entries it has held
    while (in.size > 0) {
        uint8_t op = in.next() % 9;
        std::string name = pick_name(in);
        int32_t index =
            ref.sections.empty() ? -1 : static_cast<int32_t>(in.next() % ref.sections.size());
        if (op == 0 || op == 1) { // put a new section, or a copy of an existing one
            IniSection* section = op == 1 && index >= 0
                                      ? ini_copy_section(ini->sections[index], name.c_str())
                                      : ini_section_create(name.c_str());
            RefSection entries;
            if (op == 1 && index >= 0) {
                for (const auto& entry : ref.sections[static_cast<size_t>(index)].second) {
                    if (ref_find_key(entries, entry.first) < 0) {
                        entries.push_back(entry);
                    }
                }
            }
            int32_t at = ref_find(ref, name);
            check(ini_put_section(ini, section) == (at < 0 ? 1 : 0));
            if (at < 0) {
                ref.sections.push_back({name, entries});
                most_entries.push_back(entries.size());
            } else {
                ref.sections[static_cast<size_t>(at)].second = entries;
                most_entries[static_cast<size_t>(at)] = entries.size();
            }
            ref.most_sections = std::max(ref.most_sections, ref.sections.size());
        } else if (op == 2) { // remove a section
            int32_t at = ref_find(ref, name);
            check(ini_remove_section(ini, name.c_str()) == (at < 0 ? 1 : 0));
            if (at >= 0) {
                ref.sections[static_cast<size_t>(at)] = ref.sections.back();
                most_entries[static_cast<size_t>(at)] = most_entries.back();
                ref.sections.pop_back();
                most_entries.pop_back();
            }
        } else if (index >= 0) {
            size_t s = static_cast<size_t>(index);
            IniSection* section = ini->sections[s];
            RefSection& entries = ref.sections[s].second;
            int32_t at = ref_find_key(entries, name);
            if (op == 3 || op == 4) { // set a value, sometimes from the section's own text
                std::string value = pick_value(in);
                const char* own = nullptr;
                if (op == 4 && section->entry_count > 0) {
                    const IniEntry* entry = section->entries[in.next() % section->entry_count];
                    own = in.next() % 2 ? entry->key : entry->value;
                    value = own;
                }
                check(ini_set_value(section, name.c_str(), own ? own : value.c_str()) ==
                      (at < 0 ? 1 : 0));
                if (at < 0) {
                    entries.push_back({name, value});
                    most_entries[s] = std::max(most_entries[s], entries.size());
                } else {
                    entries[static_cast<size_t>(at)].second = value;
                }
            } else if (op == 5) { // remove a key
                check(ini_remove_key(section, name.c_str()) == (at < 0 ? 1 : 0));
                if (at >= 0) {
                    entries[static_cast<size_t>(at)] = entries.back();
                    entries.pop_back();
                }
            } else if (op == 6) { // look up
                const char* value = ini_get_value(section, name.c_str());
                check(ini_find_key(section, name.c_str()) == at);
                check(at < 0 ? value == nullptr : entries[static_cast<size_t>(at)].second == value);
                check(ini_find_section(ini, name.c_str()) == ref_find(ref, name));
            } else { // index accessors, negative and past the end included
                int32_t probe = static_cast<int8_t>(in.next());
                const char* key = ini_key_at(section, probe);
                const char* section_name = ini_section_name_at(ini, probe);
                check((key != nullptr) == (probe >= 0 && probe < section->entry_count));
                check((section_name != nullptr) == (probe >= 0 && probe < ini->section_count));
            }
        }
        compare(ini, ref, most_entries);
    }
    ini_destroy(ini);
    return 0;
}
