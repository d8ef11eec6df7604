// The input drives a sequence of document operations, each checked against a simple reference
// model kept beside the document.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
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

// The document under test beside its reference, and per section slot the most entries it has
// held.
struct State {
    IniFile* ini;
    RefDocument ref;
    std::vector<size_t> most_entries;
};

// Puts a new section named name, or (copy) a copy of the section at index.
void put_section(State& st, const std::string& name, bool copy, int32_t index) {
    IniSection* section = copy ? ini_copy_section(st.ini->sections[index], name.c_str())
                               : ini_section_create(name.c_str());
    RefSection entries;
    if (copy) {
        for (const auto& entry : st.ref.sections[static_cast<size_t>(index)].second) {
            if (ref_find_key(entries, entry.first) < 0) {
                entries.push_back(entry);
            }
        }
    }
    int32_t at = ref_find(st.ref, name);
    check(ini_put_section(st.ini, section) == (at < 0 ? 1 : 0));
    if (at < 0) {
        st.ref.sections.push_back({name, entries});
        st.most_entries.push_back(entries.size());
    } else {
        st.ref.sections[static_cast<size_t>(at)].second = entries;
        st.most_entries[static_cast<size_t>(at)] = entries.size();
    }
    st.ref.most_sections = std::max(st.ref.most_sections, st.ref.sections.size());
}

// Removes the first section named name, when there is one.
void remove_section(State& st, const std::string& name) {
    int32_t at = ref_find(st.ref, name);
    check(ini_remove_section(st.ini, name.c_str()) == (at < 0 ? 1 : 0));
    if (at >= 0) {
        st.ref.sections[static_cast<size_t>(at)] = st.ref.sections.back();
        st.most_entries[static_cast<size_t>(at)] = st.most_entries.back();
        st.ref.sections.pop_back();
        st.most_entries.pop_back();
    }
}

// Sets key name in section s to a value from the input or (own_text) from the section's own
// text, when it has any.
void set_value(State& st, Input& in, size_t s, const std::string& name, bool own_text) {
    IniSection* section = st.ini->sections[s];
    RefSection& entries = st.ref.sections[s].second;
    int32_t at = ref_find_key(entries, name);
    std::string value = pick_value(in);
    const char* own = nullptr;
    if (own_text && section->entry_count > 0) {
        const IniEntry* entry = section->entries[in.next() % section->entry_count];
        own = in.next() % 2 ? entry->key : entry->value;
        value = own;
    }
    check(ini_set_value(section, name.c_str(), own ? own : value.c_str()) == (at < 0 ? 1 : 0));
    if (at < 0) {
        entries.push_back({name, value});
        st.most_entries[s] = std::max(st.most_entries[s], entries.size());
    } else {
        entries[static_cast<size_t>(at)].second = value;
    }
}

// Removes the first entry with key name from section s, when there is one.
void remove_key(State& st, size_t s, const std::string& name) {
    RefSection& entries = st.ref.sections[s].second;
    int32_t at = ref_find_key(entries, name);
    check(ini_remove_key(st.ini->sections[s], name.c_str()) == (at < 0 ? 1 : 0));
    if (at >= 0) {
        entries[static_cast<size_t>(at)] = entries.back();
        entries.pop_back();
    }
}

// Looks name up as a key of section s and as a section.
void look_up(const State& st, size_t s, const std::string& name) {
    const IniSection* section = st.ini->sections[s];
    const RefSection& entries = st.ref.sections[s].second;
    int32_t at = ref_find_key(entries, name);
    const char* value = ini_get_value(section, name.c_str());
    check(ini_find_key(section, name.c_str()) == at);
    check(at < 0 ? value == nullptr : entries[static_cast<size_t>(at)].second == value);
    check(ini_find_section(st.ini, name.c_str()) == ref_find(st.ref, name));
}

// The index accessors at an index from the input, negative and past the end included.
void probe_indexes(const State& st, Input& in, size_t s) {
    const IniSection* section = st.ini->sections[s];
    int32_t probe = static_cast<int8_t>(in.next());
    const char* key = ini_key_at(section, probe);
    const char* section_name = ini_section_name_at(st.ini, probe);
    check((key != nullptr) == (probe >= 0 && probe < section->entry_count));
    check((section_name != nullptr) == (probe >= 0 && probe < st.ini->section_count));
}

// One operation on the section at s (3 to 8 of apply's choice).
void apply_to_section(State& st, Input& in, uint8_t op, size_t s, const std::string& name) {
    if (op == 3 || op == 4) {
        set_value(st, in, s, name, op == 4);
    } else if (op == 5) {
        remove_key(st, s, name);
    } else if (op == 6) {
        look_up(st, s, name);
    } else {
        probe_indexes(st, in, s);
    }
}

// One operation, chosen by the input, then the document compared with the reference.
void apply(State& st, Input& in) {
    uint8_t op = in.next() % 9;
    std::string name = pick_name(in);
    int32_t index =
        st.ref.sections.empty() ? -1 : static_cast<int32_t>(in.next() % st.ref.sections.size());
    if (op == 0 || op == 1) {
        put_section(st, name, op == 1 && index >= 0, index);
    } else if (op == 2) {
        remove_section(st, name);
    } else if (index >= 0) {
        apply_to_section(st, in, op, static_cast<size_t>(index), name);
    }
    compare(st.ini, st.ref, st.most_entries);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in = {data, size};
    State st = {ini_create(), {}, {}};
    while (in.size > 0) {
        apply(st, in);
    }
    ini_destroy(st.ini);
    return 0;
}
