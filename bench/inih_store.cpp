// Stores what the comparison parser reports: a list of sections, each a list of key/value
// pairs, as the document model does.
#include "inih_store.h"

#include <ini.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;
};

int on_entry(void* user, const char* section, const char* key, const char* value) {
    auto* sections = static_cast<std::vector<Section>*>(user);
    if (sections->empty() || sections->back().name != section) {
        sections->push_back(Section{section, {}});
    }
    sections->back().entries.emplace_back(key, value);
    return 1;
}

} // namespace

int inih_store(const char* path, StoreCounts* counts) {
    std::vector<Section> sections;
    if (ini_parse(path, on_entry, &sections) < 0) {
        return 0;
    }
    counts->sections = sections.size();
    counts->entries = 0;
    for (const Section& section : sections) {
        counts->entries += section.entries.size();
    }
    return 1;
}
