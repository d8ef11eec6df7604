// The writer: exact bytes, results, and the round trip through the reader.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>

#include "alloc_faults.h"
#endif

#include <string>
#include <vector>

#include "ini.h"
#include "temp_dir.h"

namespace {

// Builds a document from "[name]" and "key=value" elements (split at the first '=').
IniFile* build(const std::vector<std::string>& elements) {
    IniFile* ini = ini_create();
    IniSection* section = nullptr;
    for (const std::string& e : elements) {
        if (e.size() >= 2 && e.front() == '[' && e.back() == ']') {
            section = ini_section_create(e.substr(1, e.size() - 2).c_str());
            ini->sections[ini->section_count++] = section; // duplicates allowed, as the reader
        } else {
            size_t equals = e.find('=');
            ini_set_value(section, e.substr(0, equals).c_str(), e.substr(equals + 1).c_str());
        }
    }
    return ini;
}

// The bytes ini_write_file puts into a new file for the document.
std::string written(const std::vector<std::string>& elements) {
    TempDir dir;
    std::string path = dir.file("out.ini");
    IniFile* ini = build(elements);
    EXPECT_EQ(INI_WRITE_OK, ini_write_file(ini, path.c_str()));
    ini_destroy(ini);
    return read_bytes(path);
}

TEST(IniWriteFile, ExactBytes) {
    struct Case {
        std::vector<std::string> elements;
        std::string bytes;
    };
    const Case cases[] = {
        {{}, ""},
        {{"[x]"}, "[x]\n"},
        {{"[a]", "k=v", "[empty]", "[b]", "x=", "y=1"}, "[a]\nk=v\n[empty]\n[b]\nx=\ny=1\n"},
        {{"[s]", "Bindir=C:\\R\\zrun-5.7\\bin", "Rootdir=C:\\a;b"},
         "[s]\nBindir=C:\\\\R\\\\zrun-5.7\\\\bin\nRootdir=C:\\\\a\\;b\n"},
        {{"[s]", "k;\\=v", "sp = v "}, "[s]\nk\\;\\\\=v\nsp = v \n"},
        // Names are written as they are stored.
        {{"[a;b\\c]"}, "[a;b\\c]\n"},
        {{"[s]", std::string(25, 'k') + "=" + std::string(30, ';')},
         "[s]\n" + std::string(25, 'k') + "=" +
             [] {
                 std::string s;
                 for (int i = 0; i < 30; i++) {
                     s += "\\;";
                 }
                 return s;
             }() +
             "\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.bytes, written(c.elements));
    }
}

TEST(IniWriteFile, TruncatesALongerFile) {
    TempDir dir;
    std::string path = dir.file("out.ini");
    write_bytes(path, std::string(4096, 'x'));
    IniFile* ini = build({"[x]"});
    EXPECT_EQ(INI_WRITE_OK, ini_write_file(ini, path.c_str()));
    ini_destroy(ini);
    EXPECT_EQ("[x]\n", read_bytes(path));
}

TEST(IniWriteFile, FailureResults) {
    TempDir dir;
    IniFile* ini = build({"[x]", "k=v"});
    EXPECT_EQ(INI_WRITE_CANNOT_CREATE, ini_write_file(ini, dir.file("no/such/dir.ini").c_str()));
    EXPECT_EQ(INI_WRITE_CANNOT_CREATE, ini_write_file(ini, dir.path.c_str()));
#ifndef _WIN32
    // A device is never written; a file that may not grow past 6 bytes fails in its first entry,
    // and one whose close reports a failure fails as well.
    EXPECT_EQ(INI_WRITE_CANNOT_CREATE, ini_write_file(ini, "/dev/full"));
    alloc_faults_fail_next_close();
    EXPECT_EQ(INI_WRITE_FAILED, ini_write_file(ini, dir.file("unclosed.ini").c_str()));
    struct rlimit limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &limit));
    struct rlimit small = {6, limit.rlim_max};
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    int32_t result = ini_write_file(ini, dir.file("limited.ini").c_str());
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(INI_WRITE_FAILED, result);
    EXPECT_EQ("[x]\nk=", read_bytes(dir.file("limited.ini")));
#endif
    ini_destroy(ini);
}

TEST(IniWriteFile, RoundTripWithinTheFormatsBounds) {
    const std::vector<std::string> elements = {
        "[first=ok]",      "k=v",         "semi;colon=back\\slash;",
        "inner space=a b", "tab\t=\tx\t", "eq=a=b=c",
        "empty=",          "dup=1",       "dup=2",
        "[ spaced name ]", "[\x80\xff]",  "\x01\x7f=\xfe",
        "[no entries]",    "[again]",     "k=second",
    };
    TempDir dir;
    std::string path = dir.file("round.ini");
    IniFile* ini = build(elements);
    ASSERT_EQ(INI_WRITE_OK, ini_write_file(ini, path.c_str()));
    IniFile* back = ini_read_file(path.c_str());
    ASSERT_NE(nullptr, back);
    ASSERT_EQ(ini->section_count, back->section_count);
    for (int32_t s = 0; s < ini->section_count; s++) {
        const IniSection* a = ini->sections[s];
        const IniSection* b = back->sections[s];
        EXPECT_STREQ(a->name, b->name);
        ASSERT_EQ(a->entry_count, b->entry_count) << a->name;
        for (int32_t e = 0; e < a->entry_count; e++) {
            EXPECT_STREQ(a->entries[e]->key, b->entries[e]->key);
            EXPECT_STREQ(a->entries[e]->value, b->entries[e]->value);
        }
    }
    ini_destroy(back);
    ini_destroy(ini);
}

} // namespace
