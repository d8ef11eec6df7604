// The document model's contract: growth, ownership, lookups and the results of its mutators.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ini.h"

namespace {

// The section's entries as "key=value" strings, in array order.
std::vector<std::string> entries_of(const IniSection* section) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < section->entry_count; i++) {
        out.push_back(std::string(section->entries[i]->key) + "=" + section->entries[i]->value);
    }
    return out;
}

// The document's section names, in array order.
std::vector<std::string> names_of(const IniFile* ini) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < ini->section_count; i++) {
        out.push_back(ini->sections[i]->name);
    }
    return out;
}

// Adds a new section named name holding one entry k=tag.
IniSection* put_tagged(IniFile* ini, const char* name, const char* tag, int32_t expected) {
    IniSection* section = ini_section_create(name);
    ini_set_value(section, "k", tag);
    EXPECT_EQ(expected, ini_put_section(ini, section));
    return section;
}

TEST(IniModel, NewDocumentAndSectionStartEmptyWithTenSlots) {
    IniFile* ini = ini_create();
    EXPECT_EQ(0, ini->section_count);
    EXPECT_EQ(10, ini->section_capacity);
    IniSection* section = ini_section_create("name");
    EXPECT_EQ(0, section->entry_count);
    EXPECT_EQ(10, section->entry_capacity);
    EXPECT_STREQ("name", section->name);

    EXPECT_EQ(-1, ini_find_section(ini, "name"));
    EXPECT_EQ(nullptr, ini_get_section(ini, "name"));
    EXPECT_EQ(nullptr, ini_section_name_at(ini, 0));
    EXPECT_EQ(-1, ini_find_key(section, "k"));
    EXPECT_EQ(nullptr, ini_get_value(section, "k"));
    EXPECT_EQ(nullptr, ini_key_at(section, 0));
    EXPECT_EQ(1, ini_remove_section(ini, "name"));
    EXPECT_EQ(1, ini_remove_key(section, "k"));
    ini_section_destroy(section);
    ini_destroy(ini);
}

TEST(IniModel, SectionCopiesItsName) {
    char name[] = "abc";
    IniSection* section = ini_section_create(name);
    name[0] = 'x';
    EXPECT_STREQ("abc", section->name);
    ini_section_destroy(section);
}

TEST(IniModel, ArraysGrowByTenWhenFull) {
    IniFile* ini = ini_create();
    IniSection* first = nullptr;
    for (int32_t i = 0; i < 21; i++) {
        std::string name = "s" + std::to_string(i);
        IniSection* section = ini_section_create(name.c_str());
        first = first == nullptr ? section : first;
        ASSERT_EQ(1, ini_put_section(ini, section));
        EXPECT_EQ(i < 10 ? 10 : i < 20 ? 20 : 30, ini->section_capacity) << i;
        std::string key = "k" + std::to_string(i);
        ASSERT_EQ(1, ini_set_value(first, key.c_str(), "v"));
        EXPECT_EQ(i < 10 ? 10 : i < 20 ? 20 : 30, first->entry_capacity) << i;
    }
    EXPECT_EQ(21, ini->section_count);
    EXPECT_EQ(21, first->entry_count);
    // Arrays never shrink.
    for (int32_t i = 0; i < 21; i++) {
        std::string key = "k" + std::to_string(i);
        EXPECT_EQ(0, ini_remove_key(first, key.c_str()));
    }
    EXPECT_EQ(0, first->entry_count);
    EXPECT_EQ(30, first->entry_capacity);
    ini_destroy(ini);
}

TEST(IniModel, SetValueMakesOneAllocationAndKeepsPositionOnReplace) {
    IniSection* section = ini_section_create("s");
    EXPECT_EQ(1, ini_set_value(section, "a", "1"));
    EXPECT_EQ(1, ini_set_value(section, "b", "2"));
    EXPECT_EQ(1, ini_set_value(section, "c", ""));
    const IniEntry* entry = section->entries[1];
    EXPECT_EQ(entry->key + 2, entry->value); // "b", NUL, then the value
    EXPECT_EQ(0, ini_set_value(section, "b", "two"));
    EXPECT_EQ(entry, section->entries[1]);
    EXPECT_EQ(section->entries[1]->key + 2, section->entries[1]->value);
    EXPECT_EQ((std::vector<std::string>{"a=1", "b=two", "c="}), entries_of(section));
    // An empty value is a value, not a missing key.
    EXPECT_STREQ("", ini_get_value(section, "c"));
    ini_section_destroy(section);
}

TEST(IniModel, SetValueAcceptsTheEntrysOwnText) {
    IniSection* section = ini_section_create("s");
    ini_set_value(section, "key", "value");
    ini_set_value(section, "other", "x");
    EXPECT_EQ(0, ini_set_value(section, section->entries[0]->key, section->entries[0]->value));
    EXPECT_EQ(0, ini_set_value(section, "other", section->entries[1]->key));
    EXPECT_EQ((std::vector<std::string>{"key=value", "other=other"}), entries_of(section));
    ini_section_destroy(section);
}

TEST(IniModel, KeysAndNamesMatchExactlyAndFirstMatchWins) {
    IniSection* section = ini_section_create("s");
    ini_set_value(section, "Key", "upper");
    EXPECT_EQ(nullptr, ini_get_value(section, "key"));
    EXPECT_EQ(nullptr, ini_get_value(section, "Key "));
    EXPECT_STREQ("upper", ini_get_value(section, "Key"));

    IniFile* ini = ini_create();
    ASSERT_EQ(1, ini_put_section(ini, section));
    EXPECT_EQ(nullptr, ini_get_section(ini, "S"));
    EXPECT_EQ(section, ini_get_section(ini, "s"));
    ini_destroy(ini);
}

TEST(IniModel, PutSectionReplacesTheFirstOfItsNameInPlace) {
    IniFile* ini = ini_create();
    put_tagged(ini, "a", "1", 1);
    put_tagged(ini, "b", "2", 1);
    IniSection* replacement = put_tagged(ini, "a", "3", 0);
    EXPECT_EQ(2, ini->section_count);
    EXPECT_EQ(replacement, ini->sections[0]);
    EXPECT_EQ((std::vector<std::string>{"k=3"}), entries_of(ini_get_section(ini, "a")));
    // Putting the section that is already there keeps it alive.
    EXPECT_EQ(0, ini_put_section(ini, replacement));
    EXPECT_STREQ("3", ini_get_value(ini->sections[0], "k"));
    ini_destroy(ini);
}

TEST(IniModel, RemovalMovesTheLastElementIntoTheFreedSlot) {
    struct Case {
        const char* removed;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {"a", {"c", "b"}}, {"b", {"a", "c"}}, {"c", {"a", "b"}}, // the last one: nothing moves
    };
    for (const Case& c : cases) {
        IniFile* ini = ini_create();
        IniSection* section = ini_section_create("s");
        for (const char* name : {"a", "b", "c"}) {
            ini_put_section(ini, ini_section_create(name));
            ini_set_value(section, name, "v");
        }
        EXPECT_EQ(0, ini_remove_section(ini, c.removed));
        EXPECT_EQ(c.left, names_of(ini)) << c.removed;
        EXPECT_EQ(0, ini_remove_key(section, c.removed));
        std::vector<std::string> keys;
        for (int32_t i = 0; i < section->entry_count; i++) {
            keys.push_back(ini_key_at(section, i));
        }
        EXPECT_EQ(c.left, keys) << c.removed;
        EXPECT_EQ(1, ini_remove_section(ini, c.removed));
        EXPECT_EQ(1, ini_remove_key(section, c.removed));
        ini_section_destroy(section);
        ini_destroy(ini);
    }
}

TEST(IniModel, RemoveTakesOnlyTheFirstOfDuplicates) {
    IniFile* ini = ini_create();
    put_tagged(ini, "d", "1", 1);
    // Duplicates can only come from the reader, which appends; mimic it.
    IniSection* twin = ini_section_create("d");
    ini->sections[ini->section_count++] = twin;
    EXPECT_EQ(0, ini_remove_section(ini, "d"));
    EXPECT_EQ(twin, ini_get_section(ini, "d"));
    EXPECT_EQ(1, ini->section_count);
    ini_destroy(ini);
}

TEST(IniModel, IndexAccessorsRejectOutOfRangeIndexes) {
    IniFile* ini = ini_create();
    IniSection* section = ini_section_create("s");
    ini_put_section(ini, section);
    ini_set_value(section, "k", "v");
    for (int32_t index : {-1, 1, 2, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(nullptr, ini_section_name_at(ini, index)) << index;
        EXPECT_EQ(nullptr, ini_key_at(section, index)) << index;
    }
    EXPECT_STREQ("s", ini_section_name_at(ini, 0));
    EXPECT_STREQ("k", ini_key_at(section, 0));
    ini_destroy(ini);
}

TEST(IniModel, CopySectionKeepsFirstOccurrenceOfEachKey) {
    IniSection* source = ini_section_create("src");
    ini_set_value(source, "a", "1");
    ini_set_value(source, "b", "2");
    // A duplicate key, as the reader may produce.
    IniSection* donor = ini_section_create("x");
    ini_set_value(donor, "a", "late");
    source->entries[source->entry_count++] = donor->entries[0];
    donor->entry_count = 0;
    ini_section_destroy(donor);
    ini_set_value(source, "c", "3");

    IniSection* copy = ini_copy_section(source, "dst");
    EXPECT_STREQ("dst", copy->name);
    EXPECT_EQ((std::vector<std::string>{"a=1", "b=2", "c=3"}), entries_of(copy));
    // The copy owns its own text.
    ini_set_value(source, "b", "changed");
    EXPECT_STREQ("2", ini_get_value(copy, "b"));
    ini_section_destroy(copy);
    ini_section_destroy(source);
}

} // namespace
