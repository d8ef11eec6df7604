// The reader: logical lines from bytes, and documents (or rejection) from logical lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ini.h"
#include "temp_dir.h"

namespace {

// Every logical line the lexer makes of bytes, through a real file. A line is reported as the
// expected one at its place when its bytes, NULs and terminator included, equal it.
std::vector<std::string> logical_lines(const std::string& bytes,
                                       const std::vector<std::string>& expected) {
    TempDir dir;
    std::string path = dir.file("lines.ini");
    write_bytes(path, bytes);
    IniLineReader reader = {};
    reader.file = plat_open_read(path.c_str());
    EXPECT_NE(PLAT_NO_FILE, reader.file);
    std::vector<std::string> lines;
    while (char* line = ini_read_line(&reader)) {
        size_t i = lines.size();
        bool same = i < expected.size();
        for (size_t b = 0; same && b <= expected[i].size(); b++) {
            same = line[b] == expected[i].c_str()[b]; // stops at the first difference
        }
        lines.push_back(same ? expected[i] : std::string(line));
        free(line);
    }
    EXPECT_EQ(1, reader.at_end);
    EXPECT_EQ(0, reader.error);
    plat_close(reader.file);
    return lines;
}

// The document read from bytes, one "[name]" or "<key>=<value>" string per element, or
// {"rejected"}.
std::vector<std::string> document(const std::string& bytes) {
    TempDir dir;
    std::string path = dir.file("doc.ini");
    write_bytes(path, bytes);
    int32_t error = -1;
    IniFile* ini = ini_read_file(path.c_str(), &error);
    if (ini == nullptr) {
        EXPECT_EQ(INI_READ_BAD_FORMAT, error);
        return {"rejected"};
    }
    EXPECT_EQ(INI_READ_OK, error);
    std::vector<std::string> out;
    for (int32_t s = 0; s < ini->section_count; s++) {
        const IniSection* section = ini->sections[s];
        out.push_back("[" + std::string(section->name) + "]");
        for (int32_t e = 0; e < section->entry_count; e++) {
            out.push_back("<" + std::string(section->entries[e]->key) + ">=<" +
                          section->entries[e]->value + ">");
        }
    }
    ini_destroy(ini);
    return out;
}

struct LexCase {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
};

TEST(IniReadLine, FormatRules) {
    using S = std::string;
    const LexCase cases[] = {
        {"empty file", "", {}},
        {"blank and comment lines", "\n   \n; note\n  ;x\n\n", {}},
        {"surrounding spaces", "  a b  \n", {"a b"}},
        {"tabs are ordinary bytes", "\tx\t\n", {"\tx\t"}},
        {"comment after text", "key = value ; note\n", {"key = value"}},
        {"escaped semicolon", "a=b\\;c\n", {"a=b;c"}},
        {"escaped backslash", "a=b\\\\c\n", {"a=b\\c"}},
        {"escape drops itself", "a=b\\c\n", {"a=bc"}},
        {"an escape covers one byte only", "a=\\xy;z\n", {"a=xy"}},
        {"escaped space is still trimmed", "a=b\\ \n", {"a=b"}},
        {"continuation keeps next line's spaces", "a=b\\\n  c\n", {"a=b  c"}},
        {"spaces before the joining backslash", "k=a \\\nb\n", {"k=a b"}},
        {"continuation over CR LF", "a=b\\\r\nc\r\n", {"a=bc"}},
        {"backslash in a comment does not join", "k=a ;x\\\nb=c\n", {"k=a", "b=c"}},
        {"carriage returns are dropped", "a\r=\rb\r\n", {"a=b"}},
        {"carriage returns alone end nothing", "[s]\rk=v\r", {"[s]k=v"}},
        {"last line without line feed", "[s]\nk=v", {"[s]", "k=v"}},
        {"pending escape at the end", "k=v\\", {"k=v"}},
        {"pending comment at the end", "k=v;", {"k=v"}},
        {"NUL stays in the line", S("k=ab\0cd\n", 8), {S("k=ab\0cd", 7)}},
        {"escaped leading space is still dropped", "\\ x\n", {"x"}},
        {"high bytes", "\x80\xff=\xfe\n", {"\x80\xff=\xfe"}},
    };
    for (const LexCase& c : cases) {
        EXPECT_EQ(c.lines, logical_lines(c.bytes, c.lines)) << c.what;
    }
}

TEST(IniReadLine, LinesLongerThanABlockAndAcrossBlocks) {
    std::string long_value(5000, 'v');
    std::string bytes = "[s]\n" + std::string(1020, ' ') + "k=" + long_value + "\n";
    std::vector<std::string> expected = {"[s]", "k=" + long_value};
    EXPECT_EQ(expected, logical_lines(bytes, expected));
}

TEST(IniReadLine, GivesNoneOnceAtTheEnd) {
    TempDir dir;
    std::string path = dir.file("one.ini");
    write_bytes(path, "x\n");
    IniLineReader reader = {};
    reader.file = plat_open_read(path.c_str());
    char* line = ini_read_line(&reader);
    EXPECT_STREQ("x", line);
    free(line);
    EXPECT_EQ(nullptr, ini_read_line(&reader));
    EXPECT_EQ(1, reader.at_end);
    EXPECT_EQ(nullptr, ini_read_line(&reader));
    plat_close(reader.file);
}

struct DocCase {
    const char* what;
    std::string bytes;
    std::vector<std::string> elements;
};

TEST(IniReadFile, HeadersKeyLinesAndRejection) {
    using S = std::string;
    const std::vector<std::string> rejected = {"rejected"};
    const DocCase cases[] = {
        {"empty file", "", {}},
        {"only comments", "; a\n;b\n\n", {}},
        {"sections and entries in order",
         "[a]\nx=1\ny=2\n[b]\n[c]\nz=3\n",
         {"[a]", "<x>=<1>", "<y>=<2>", "[b]", "[c]", "<z>=<3>"}},
        {"spaces around the split", "[s]\n  key  =   value  \n", {"[s]", "<key>=<value>"}},
        {"tab before a key stays", "[s]\n\tk=v\n", {"[s]", "<\tk>=<v>"}},
        {"empty value", "[s]\nk=\n", {"[s]", "<k>=<>"}},
        {"only the first = splits", "[s]\na=b=c\n", {"[s]", "<a>=<b=c>"}},
        {"escaped = still splits", "[s]\na\\=b=c\n", {"[s]", "<a>=<b=c>"}},
        {"header name keeps spaces", "[ a b ]\n", {"[ a b ]"}},
        {"one-space name", "[ ]\n", {"[ ]"}},
        {"duplicates are kept", "[d]\nk=1\nk=2\n[d]\n", {"[d]", "<k>=<1>", "<k>=<2>", "[d]"}},
        {"[a=b] after a header is a key line", "[s]\n[a=b]\n", {"[s]", "<[a>=<b]>"}},
        {"[a=b] first is a header", "[a=b]\nk=v\n", {"[a=b]", "<k>=<v>"}},
        {"NUL ends a value", S("[s]\nk=ab\0cd\n", 12), {"[s]", "<k>=<ab>"}},
        {"CR LF reads as LF", "[s]\r\nk=v\r\n", {"[s]", "<k>=<v>"}},
        {"key before any header", "k=v\n[s]\n", rejected},
        {"[] is no header", "[]\n", rejected},
        {"line starting with =", "[s]\n=x\n", rejected},
        {"=a=b", "[s]\n=a=b\n", rejected},
        {"line of a tab", "[s]\n\t\n", rejected},
        {"text without =", "[s]\nplain\n", rejected},
        {"byte-order mark", "\xef\xbb\xbf[s]\n", rejected},
        {"unclosed header", "[s\n", rejected},
        {"NUL before the =", S("[s]\nk\0=v\n", 9), rejected},
        {"CR alone joins everything", "[s]\rk=v\r", rejected},
    };
    for (const DocCase& c : cases) {
        EXPECT_EQ(c.elements, document(c.bytes)) << c.what;
    }
}

TEST(IniReadFile, ArraysHaveTheCapacityThatAppendingOneByOneGives) {
    // Capacity is the smallest multiple of 10 that holds the elements, and at least 10.
    const int counts[][2] = {{0, 10}, {1, 10}, {10, 10}, {11, 20}, {20, 20}, {21, 30}};
    for (const auto& count : counts) {
        std::string bytes;
        for (int s = 0; s < count[0]; s++) {
            bytes += "[s" + std::to_string(s) + "]\n";
        }
        bytes += "[last]\n";
        for (int e = 0; e < count[0]; e++) {
            bytes += "k" + std::to_string(e) + " = v\n";
        }
        TempDir dir;
        std::string path = dir.file("grow.ini");
        write_bytes(path, bytes);
        IniFile* ini = ini_read_file(path.c_str());
        ASSERT_NE(nullptr, ini);
        EXPECT_EQ(count[0] + 1, ini->section_count);
        int expected_sections = count[0] + 1 <= 10 ? 10 : (count[0] + 1 + 9) / 10 * 10;
        EXPECT_EQ(expected_sections, ini->section_capacity) << count[0];
        const IniSection* last = ini->sections[count[0]];
        EXPECT_EQ(count[0], last->entry_count);
        EXPECT_EQ(count[1], last->entry_capacity) << count[0];
        EXPECT_EQ(10, ini->sections[0]->entry_capacity);
        if (count[0] > 0) {
            // The value lies in the key's allocation, past the "=" and the spaces around it.
            EXPECT_EQ(last->entries[0]->key + 5, last->entries[0]->value);
        }
        ini_destroy(ini);
    }
}

TEST(IniReadFile, ReportsWhyItGaveNone) {
    TempDir dir;
    int32_t error = INI_READ_OK;
    EXPECT_EQ(nullptr, ini_read_file(dir.file("missing.ini").c_str(), &error));
    EXPECT_EQ(INI_READ_CANNOT_OPEN, error);
    // Only a regular file is opened, never a folder or a device.
    std::vector<std::string> refused = {dir.path};
#ifndef _WIN32
    refused.push_back("/dev/zero");
    // /proc/self/mem opens as a regular file, but its first bytes cannot be read.
    error = INI_READ_OK;
    EXPECT_EQ(nullptr, ini_read_file("/proc/self/mem", &error));
    EXPECT_EQ(INI_READ_IO_ERROR, error);
#endif
    for (const std::string& path : refused) {
        error = INI_READ_OK;
        EXPECT_EQ(nullptr, ini_read_file(path.c_str(), &error));
        EXPECT_EQ(INI_READ_CANNOT_OPEN, error) << path;
    }
}

TEST(IniReadFile, ClosesTheFileItOpenedAndNoOther) {
    TempDir dir;
    std::string path = dir.file("closing.ini");
    write_bytes(path, "[s]\nk=v\n");
    PlatFile callers = plat_open_read(path.c_str());
    IniFile* ini = ini_read_from(callers);
    ASSERT_NE(nullptr, ini);
    ini_destroy(ini);
    EXPECT_EQ(1, plat_close(callers)); // still open: the caller's close is the one that closes it
#ifndef _WIN32
    // A POSIX open takes the lowest free descriptor: the same one again after a closing read.
    ini = ini_read_file(path.c_str());
    ASSERT_NE(nullptr, ini);
    ini_destroy(ini);
    PlatFile next = plat_open_read(path.c_str());
    EXPECT_EQ(callers, next);
    plat_close(next);
#endif
}

} // namespace
