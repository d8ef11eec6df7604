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

// What the operations share: the document under test, what a call gave, and the document's
// dump from before the call.
struct Scratch {
    IniFile* ini = nullptr;
    IniFile* read = nullptr;
    IniSection* section = nullptr;
    IniSection* copy = nullptr;
    int32_t result = 0;
    std::string before;
};

// Twelve sections, the first with eleven entries: both kinds of array grow past ten.
std::string growing_arrays() {
    std::string bytes;
    for (int s = 0; s < 12; s++) {
        bytes += "[s" + std::to_string(s) + "]\n";
        for (int e = 0; e < (s == 0 ? 11 : 1); e++) {
            bytes += "k" + std::to_string(e) + " = v ; note\r\n";
        }
    }
    return bytes;
}

// A value of escapes, one byte at a time past the room on the stack and past the first heap
// room too.
std::string escapes_past_the_room_on_the_stack() {
    std::string escapes;
    for (int i = 0; i < 1100; i++) {
        escapes += "\\;";
    }
    return "[s]\nk=" + escapes + "\n";
}

// Reading each file: the document (or the reason for none) that an unharmed read gives, or
// none for want of memory.
std::vector<Operation> reading(const TempDir& dir, Scratch& s) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"manifest", "; packager\n[Install]\nVSN = 5.7\nSYSTEM_VSN=R9\n"},
        {"a long line",
         "[s]\nk=" + std::string(3000, 'x') + "\\\n" + std::string(2000, 'y') + "\n"},
        {"growing arrays", growing_arrays()},
        {"escapes past the room on the stack", escapes_past_the_room_on_the_stack()},
        {"a bad line at the end", "[s]\nk=v\nbad\n"},
        {"nothing", "; only a comment\n"},
    };
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
             [&s, path] { s.read = ini_read_file(path.c_str(), &s.result); },
             [&s, expected](bool failed) {
                 std::string got = dump(s.read) + std::to_string(s.result);
                 EXPECT_EQ(failed ? "none" + std::to_string(INI_READ_NO_MEMORY) : expected, got);
             },
             [&s] {
                 if (s.read != nullptr) {
                     ini_destroy(s.read);
                 }
             }});
    }
    return operations;
}

// Setup for an operation on a document: a sample, and its dump to compare with.
std::function<void()> document(Scratch& s, int32_t sections, int32_t entries) {
    return [&s, sections, entries] {
        s.ini = sample(sections, entries);
        s.section = s.ini->sections[0];
        s.before = dump(s.ini);
    };
}

// Check of a mutator: its result on success, INI_NO_MEMORY and the document as before when an
// allocation failed.
std::function<void(bool)> unchanged_unless(Scratch& s, int32_t on_success) {
    return [&s, on_success](bool failed) {
        EXPECT_EQ(failed ? INI_NO_MEMORY : on_success, s.result);
        if (failed) {
            EXPECT_EQ(s.before, dump(s.ini));
        }
    };
}

// The mutators, each where it must allocate: a key past ten, a value from the entry's own text,
// an eleventh section.
std::vector<Operation> changing(Scratch& s) {
    auto release = [&s] { ini_destroy(s.ini); };
    return {
        {"setting a new key past ten", document(s, 1, 10),
         [&s] { s.result = ini_set_value(s.section, "new", "value"); }, unchanged_unless(s, 1),
         release},
        {"replacing a value with its own key", document(s, 1, 3),
         [&s] {
             s.result =
                 ini_set_value(s.section, s.section->entries[1]->key, s.section->entries[2]->value);
         },
         unchanged_unless(s, 0), release},
        {"putting an eleventh section", document(s, 10, 1),
         [&s] {
             s.copy = ini_section_create("new");
             s.result = s.copy != nullptr ? ini_put_section(s.ini, s.copy) : INI_NO_MEMORY;
         },
         [&s](bool failed) {
             unchanged_unless(s, 1)(failed);
             if (failed && s.copy != nullptr) {
                 ini_section_destroy(s.copy); // not taken over
             }
         },
         release},
    };
}

// What makes something new out of a document, or a document: writing it, copying a section,
// creating one. The document written from or copied from stays as it was.
std::vector<Operation> producing(const std::string& written, Scratch& s) {
    auto release = [&s] { ini_destroy(s.ini); };
    return {
        {"writing", document(s, 2, 12),
         [&s, written] { s.result = ini_write_file(s.ini, written.c_str()); },
         [&s](bool failed) {
             EXPECT_EQ(failed ? INI_WRITE_NO_MEMORY : INI_WRITE_OK, s.result);
             EXPECT_EQ(s.before, dump(s.ini));
         },
         release},
        {"copying a section", document(s, 1, 12),
         [&s] { s.copy = ini_copy_section(s.section, "copy"); },
         [&s](bool failed) {
             EXPECT_EQ(failed, s.copy == nullptr);
             EXPECT_EQ(s.before, dump(s.ini));
             if (s.copy != nullptr) {
                 EXPECT_EQ(dump(s.section).substr(dump(s.section).find('/')),
                           dump(s.copy).substr(dump(s.copy).find('/')));
                 ini_section_destroy(s.copy);
             }
         },
         release},
        {"creating", [] {}, [&s] { s.ini = ini_create(); },
         [&s](bool failed) { EXPECT_EQ(failed, s.ini == nullptr); },
         [&s] {
             if (s.ini != nullptr) {
                 ini_destroy(s.ini);
             }
         }},
    };
}

TEST(IniMemory, EveryAllocationOfEveryOperationMayFail) {
    TempDir dir;
    Scratch scratch;
    std::vector<Operation> operations = reading(dir, scratch);
    for (const std::vector<Operation>& more :
         {changing(scratch), producing(dir.file("written.ini"), scratch)}) {
        operations.insert(operations.end(), more.begin(), more.end());
    }
    for (const Operation& op : operations) {
        every_failure(op);
    }
}

} // namespace
