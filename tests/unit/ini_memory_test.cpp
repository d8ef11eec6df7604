// Running out of memory at every allocation of every operation of the module: each time the
// documented result, nothing leaked, and the document as it was before the call.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "alloc_faults.h"
#include "ini.h"
#include "temp_dir.h"

namespace {

// Everything a caller can see of a section: name, capacity, keys and values.
std::string dump(const IniSection* section) {
    std::string out =
        "[" + std::string(section->name) + "]/" + std::to_string(section->entry_capacity) + "\n";
    for (int32_t e = 0; e < section->entry_count; e++) {
        out += std::string(section->entries[e]->key) + "=" + section->entries[e]->value + "\n";
    }
    return out;
}

std::string dump(const IniFile* ini) {
    if (ini == nullptr) {
        return "none";
    }
    std::string out = std::to_string(ini->section_capacity) + "\n";
    for (int32_t s = 0; s < ini->section_count; s++) {
        out += dump(ini->sections[s]);
    }
    return out;
}

// A document of sections s0.. with entries k0.. each, the values long enough to grow a line.
IniFile* sample(int32_t sections, int32_t entries) {
    IniFile* ini = ini_create();
    for (int32_t s = 0; s < sections; s++) {
        IniSection* section = ini_section_create(("s" + std::to_string(s)).c_str());
        for (int32_t e = 0; e < entries; e++) {
            std::string value = "v;\\" + std::string(static_cast<size_t>(e) * 7, 'x');
            ini_set_value(section, ("k" + std::to_string(e)).c_str(), value.c_str());
        }
        ini_put_section(ini, section);
    }
    return ini;
}

// Runs call with its k-th allocation failing and gives whether one failed.
bool with_failure(long k, const std::function<void()>& call) {
    alloc_faults_arm(k);
    call();
    return alloc_faults_disarm() >= k;
}

// One operation: set up (unharmed), call with a failure armed, check; the check is told
// whether an allocation failed. Teardown releases what setup and the call left.
struct Operation {
    std::string what;
    std::function<void()> setup;
    std::function<void()> call;
    std::function<void(bool failed)> check;
    std::function<void()> teardown;
};

// Runs the operation with its first, second, ... allocation failing, until one run fails none,
// and checks that no run leaves a block behind.
void every_failure(const Operation& op) {
    for (long k = 1;; k++) {
        long live = alloc_faults_live();
        op.setup();
        bool failed = with_failure(k, op.call);
        op.check(failed);
        op.teardown();
        EXPECT_EQ(live, alloc_faults_live()) << op.what << ", allocation " << k << " failing";
        if (!failed || ::testing::Test::HasFailure()) {
            break;
        }
    }
}

TEST(IniMemory, EveryAllocationOfEveryOperationMayFail) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> files = {
        {"manifest", "; packager\n[Install]\nVSN = 5.7\nSYSTEM_VSN=R9\n"},
        {"a long line",
         "[s]\nk=" + std::string(3000, 'x') + "\\\n" + std::string(2000, 'y') + "\n"},
        {"growing arrays",
         [] {
             std::string bytes;
             for (int s = 0; s < 12; s++) {
                 bytes += "[s" + std::to_string(s) + "]\n";
                 for (int e = 0; e < (s == 0 ? 11 : 1); e++) {
                     bytes += "k" + std::to_string(e) + " = v ; note\r\n";
                 }
             }
             return bytes;
         }()},
        // One byte at a time past the room on the stack and past the first heap room too.
        {"escapes past the room on the stack", "[s]\nk=" +
                                                   [] {
                                                       std::string escapes;
                                                       for (int i = 0; i < 1100; i++) {
                                                           escapes += "\\;";
                                                       }
                                                       return escapes;
                                                   }() +
                                                   "\n"},
        {"a bad line at the end", "[s]\nk=v\nbad\n"},
        {"nothing", "; only a comment\n"},
    };
    IniFile* ini = nullptr;
    IniFile* read = nullptr;
    IniSection* section = nullptr;
    IniSection* copy = nullptr;
    int32_t result = 0;
    std::string before;
    std::vector<Operation> operations;
    for (const auto& file : files) {
        std::string path = dir.file(file.first + ".ini");
        write_bytes(path, file.second);
        int32_t unharmed_error = 0;
        IniFile* unharmed = ini_read_file(path.c_str(), &unharmed_error);
        std::string expected = dump(unharmed) + std::to_string(unharmed_error);
        if (unharmed != nullptr) {
            ini_destroy(unharmed);
        }
        operations.push_back(
            {"reading " + file.first, [] {},
             [&, path] { read = ini_read_file(path.c_str(), &result); },
             [&, expected](bool failed) {
                 std::string got = dump(read) + std::to_string(result);
                 EXPECT_EQ(failed ? "none" + std::to_string(INI_READ_NO_MEMORY) : expected, got);
             },
             [&] {
                 if (read != nullptr) {
                     ini_destroy(read);
                 }
             }});
    }
    // Setup for the operations on a document: a sample, and its dump to compare with.
    auto document = [&](int32_t sections, int32_t entries) {
        return [&, sections, entries] {
            ini = sample(sections, entries);
            section = ini->sections[0];
            before = dump(ini);
        };
    };
    auto unchanged_unless = [&](int32_t on_success) {
        return [&, on_success](bool failed) {
            EXPECT_EQ(failed ? INI_NO_MEMORY : on_success, result);
            if (failed) {
                EXPECT_EQ(before, dump(ini));
            }
        };
    };
    auto release = [&] { ini_destroy(ini); };
    std::string written = dir.file("written.ini");
    operations.insert(
        operations.end(),
        {
            {"writing", document(2, 12), [&] { result = ini_write_file(ini, written.c_str()); },
             [&](bool failed) {
                 EXPECT_EQ(failed ? INI_WRITE_NO_MEMORY : INI_WRITE_OK, result);
                 EXPECT_EQ(before, dump(ini));
             },
             release},
            {"setting a new key past ten", document(1, 10),
             [&] { result = ini_set_value(section, "new", "value"); }, unchanged_unless(1),
             release},
            {"replacing a value with its own key", document(1, 3),
             [&] {
                 result =
                     ini_set_value(section, section->entries[1]->key, section->entries[2]->value);
             },
             unchanged_unless(0), release},
            {"putting an eleventh section", document(10, 1),
             [&] {
                 copy = ini_section_create("new");
                 result = copy != nullptr ? ini_put_section(ini, copy) : INI_NO_MEMORY;
             },
             [&](bool failed) {
                 unchanged_unless(1)(failed);
                 if (failed && copy != nullptr) {
                     ini_section_destroy(copy); // not taken over
                 }
             },
             release},
            {"copying a section", document(1, 12),
             [&] { copy = ini_copy_section(section, "copy"); },
             [&](bool failed) {
                 EXPECT_EQ(failed, copy == nullptr);
                 EXPECT_EQ(before, dump(ini));
                 if (copy != nullptr) {
                     EXPECT_EQ(dump(section).substr(dump(section).find('/')),
                               dump(copy).substr(dump(copy).find('/')));
                     ini_section_destroy(copy);
                 }
             },
             release},
            {"creating", [] {}, [&] { ini = ini_create(); },
             [&](bool failed) { EXPECT_EQ(failed, ini == nullptr); },
             [&] {
                 if (ini != nullptr) {
                     ini_destroy(ini);
                 }
             }},
        });
    for (const Operation& op : operations) {
        every_failure(op);
    }
}

} // namespace
