// The platform layer as the installer uses it, through the program's backslash paths.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "platform.h"
#include "temp_dir.h"

namespace {

// The program's form of a native path: backslashes only.
std::string program_path(std::string path) {
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

TEST(Platform, ExistsMakeDirAndCopyOverwrite) {
    TempDir dir;
    std::string base = program_path(dir.path);
    std::string sub = base + "\\sub";
    EXPECT_EQ(0, plat_exists(sub.c_str()));
    EXPECT_EQ(1, plat_make_dir(sub.c_str()));
    EXPECT_EQ(1, plat_exists(sub.c_str()));
    EXPECT_EQ(0, plat_make_dir(sub.c_str())); // already there

    write_bytes(dir.file("sub/a"), std::string("new\0bytes", 9));
    write_bytes(dir.file("sub/b"), std::string(10000, 'o'));
    EXPECT_EQ(1, plat_copy_file((sub + "\\a").c_str(), (sub + "\\b").c_str()));
    EXPECT_EQ(std::string("new\0bytes", 9), read_bytes(dir.file("sub/b")));
    EXPECT_EQ(1, plat_copy_file((sub + "\\a").c_str(), (sub + "\\c").c_str()));
    EXPECT_EQ(std::string("new\0bytes", 9), read_bytes(dir.file("sub/c")));
}

TEST(Platform, CopyFailures) {
    TempDir dir;
    std::string base = program_path(dir.path);
    write_bytes(dir.file("a"), "keep");
    // A folder as the source, a missing source, a missing target folder, the file onto itself.
    EXPECT_EQ(0, plat_copy_file(base.c_str(), (base + "\\x").c_str()));
    EXPECT_EQ(0, plat_copy_file((base + "\\missing").c_str(), (base + "\\x").c_str()));
    EXPECT_EQ(0, plat_copy_file((base + "\\a").c_str(), (base + "\\no\\x").c_str()));
    EXPECT_EQ(0, plat_copy_file((base + "\\a").c_str(), (base + "\\a").c_str()));
    EXPECT_EQ("keep", read_bytes(dir.file("a")));
}

TEST(Platform, ReadWriteAndClose) {
    TempDir dir;
    std::string path = program_path(dir.file("f"));
    PlatFile out = plat_create_write(path.c_str());
    ASSERT_NE(PLAT_NO_FILE, out);
    uint32_t count = 0;
    EXPECT_EQ(1, plat_write(out, "abc", 3, &count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(1, plat_close(out));

    PlatFile in = plat_open_read(path.c_str());
    ASSERT_NE(PLAT_NO_FILE, in);
    char buffer[8] = {};
    EXPECT_EQ(1, plat_read(in, buffer, sizeof buffer, &count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(0, memcmp(buffer, "abc", 3));
    EXPECT_EQ(1, plat_read(in, buffer, sizeof buffer, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(1, plat_close(in));
    EXPECT_EQ(PLAT_NO_FILE, plat_open_read((path + "-missing").c_str()));
}

TEST(Platform, ExecutablePathUsesBackslashesAndReportsTruncation) {
    char path[260];
    uint32_t length = plat_executable_path(path, sizeof path);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof path);
    EXPECT_EQ(length, strlen(path));
    EXPECT_EQ(nullptr, strchr(path, '/'));
    EXPECT_NE(nullptr, strstr(path, "unit_tests"));
    char small[4];
    EXPECT_EQ(sizeof small, plat_executable_path(small, sizeof small));
}

} // namespace
