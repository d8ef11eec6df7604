// The platform layer as the installer uses it, through the program's backslash paths.
#include <gtest/gtest.h>

#include <string.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

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

// A folder held as the installation root for the length of a test.
struct HeldRoot {
    explicit HeldRoot(const std::string& path) : folder(plat_hold_root(path.c_str())) {}
    ~HeldRoot() {
        if (folder != PLAT_NO_FOLDER) {
            plat_release_folder(folder);
        }
    }
    HeldRoot(const HeldRoot&) = delete;
    HeldRoot& operator=(const HeldRoot&) = delete;
    PlatFolder folder;
};

TEST(Platform, MakeDirAndCopyOverwrite) {
    TempDir dir;
    std::string base = program_path(dir.path);
    std::string sub = base + "\\sub";
    HeldRoot root(base);
    ASSERT_NE(PLAT_NO_FOLDER, root.folder);
    EXPECT_EQ(PLAT_NO_FOLDER, plat_hold_root(sub.c_str()));
    EXPECT_EQ(PLAT_DONE, plat_make_dir(root.folder, "sub"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("sub")));
    EXPECT_EQ(PLAT_ABSENT, plat_make_dir(root.folder, "sub")); // already there
    EXPECT_EQ(PLAT_ABSENT,
              plat_make_dir(root.folder, std::string(2000, 'n').c_str())); // no such name
    EXPECT_EQ(PLAT_ABSENT, plat_make_dir(root.folder, "a:b"));             // no plain name

    write_bytes(dir.file("sub/a"), std::string("new\0bytes", 9));
    write_bytes(dir.file("sub/b"), std::string(10000, 'o'));
    write_bytes(dir.file("sub/c.tmp"), "left by an interrupted run");
    EXPECT_EQ(PLAT_DONE, plat_copy_file(root.folder, "sub", "a", "sub", "b"));
    EXPECT_EQ(std::string("new\0bytes", 9), read_bytes(dir.file("sub/b")));
    EXPECT_EQ(PLAT_DONE, plat_copy_file(root.folder, "sub", "a", "sub", "c"));
    EXPECT_EQ(std::string("new\0bytes", 9), read_bytes(dir.file("sub/c")));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), names_in(dir.file("sub")));

    // The top folder of the file system ("/", or a drive's "C:\") as the root: every name lies
    // beneath it.
    size_t top = base.find('\\') + 1;
    HeldRoot whole(base.substr(0, top));
    std::string relative = base.substr(top) + "\\sub";
    EXPECT_EQ(PLAT_DONE,
              plat_copy_file(whole.folder, relative.c_str(), "b", relative.c_str(), "d"));
    EXPECT_EQ(std::string("new\0bytes", 9), read_bytes(dir.file("sub/d")));
}

TEST(Platform, RefusedCopiesLeaveEverythingAsItWas) {
    TempDir dir;
    std::string base = program_path(dir.path);
    std::filesystem::create_directory(dir.file("root"));
    std::filesystem::create_directory(dir.file("root/sub"));
    write_bytes(dir.file("root/a"), "keep");
    write_bytes(dir.file("outside"), "secret");
    std::filesystem::create_hard_link(dir.file("outside"), dir.file("root/hard"));
    std::filesystem::create_directory(dir.file("root/z.tmp"));
    std::string root = base + "\\root";
    HeldRoot held(root);
    struct Case {
        const char* source_relative;
        const char* source_name;
        const char* relative;
        std::string name;
        int32_t copied = PLAT_FAILED;
    };
    std::vector<Case> cases = {
        {"", "sub", "", "x"},                     // a folder as the source
        {"", "missing", "", "x", PLAT_ABSENT},    // a missing source
        {"no", "a", "", "x", PLAT_ABSENT},        // a missing folder on the source's way
        {"", "a", "no", "x"},                     // a missing target folder
        {"", "a", "", "a"},                       // the file onto itself
        {"", "a", "", "sub"},                     // a folder as the target
        {"", "a", "sub\\..", "x"},                // a step up
        {"", "a", ".", "x"},                      // a step nowhere
        {"..", "outside", "", "y"},               // a source outside the root
        {"", "a", "", "sub\\x"},                  // a target name with a separator
        {"", "hard", "", "y"},                    // a second name of a file outside
        {"", "a", "\\sub", "x"},                  // an empty component
        {"a:b", "a", "", "x"},                    // a folder with a colon (a drive or stream)
        {"", "a", "", "z"},                       // a folder at the temporary name
        {"", "a", "sub", std::string(2000, 'n')}, // a name no system takes
    };
#ifndef _WIN32
    std::filesystem::create_symlink(dir.file("outside"), dir.file("root/to-outside"));
    std::filesystem::create_directory_symlink(dir.path, dir.file("root/up"));
    std::filesystem::create_symlink(dir.file("outside"), dir.file("root/sub/x"));
    mkfifo(dir.file("root/fifo").c_str(), 0600);
    cases.push_back({"", "to-outside", "", "y"}); // a link out of the root as the source
    cases.push_back({"", "a", "up", "x"});        // a link as the target folder
    cases.push_back({"", "a", "sub", "x"});       // a link as the target
    cases.push_back({"", "a", "", "fifo"});       // a FIFO as the target
#endif
    std::vector<std::string> before = names_in(dir.file("root")),
                             before_sub = names_in(dir.file("root/sub"));
    for (const Case& c : cases) {
        EXPECT_EQ(c.copied, plat_copy_file(held.folder, c.source_relative, c.source_name,
                                           c.relative, c.name.c_str()))
            << c.source_relative << "\\" << c.source_name << " to " << c.relative << "\\" << c.name;
        EXPECT_EQ(before, names_in(dir.file("root")));
        EXPECT_EQ(before_sub, names_in(dir.file("root/sub")));
    }
    EXPECT_EQ(PLAT_FAILED, plat_copy_file(PLAT_NO_FOLDER, "", "a", "sub", "x")); // no root held
    EXPECT_EQ("keep", read_bytes(dir.file("root/a")));
    EXPECT_EQ("secret", read_bytes(dir.file("outside")));
    EXPECT_EQ((std::vector<std::string>{"outside", "root"}), names_in(dir.path));
}

TEST(Platform, ReplacementKeepsOrDiscards) {
    TempDir dir;
    std::string base = program_path(dir.path);
    HeldRoot root(base);
    struct Case {
        int32_t keep;
        bool folder_takes_its_place; // a folder takes the target's place before the end
    };
    for (const Case& c : {Case{0, false}, Case{1, false}, Case{1, true}}) {
        write_bytes(dir.file("t"), "old");
        PlatReplacement replacement;
        ASSERT_EQ(1, plat_replace_begin(&replacement, root.folder, "", "t", PLAT_NO_FILE));
        uint32_t count = 0;
        EXPECT_EQ(1, plat_write(replacement.file, "new", 3, &count));
        // Refused, with nothing left to release: a name with a colon, and a name with no room
        // for its temporary name beside it, once the folder is open.
        for (const std::string& name : {std::string("t:s"), std::string(2000, 'n')}) {
            PlatReplacement refused;
            EXPECT_EQ(0, plat_replace_begin(&refused, root.folder, "", name.c_str(), PLAT_NO_FILE));
            EXPECT_TRUE(refused.folder == PLAT_NO_FOLDER && refused.file == PLAT_NO_FILE);
        }
        EXPECT_EQ("old", read_bytes(dir.file("t"))); // nothing in place before the end
        if (c.folder_takes_its_place) {
            std::filesystem::rename(dir.file("t"), dir.file("kept"));
            std::filesystem::create_directory(dir.file("t"));
        }
        EXPECT_EQ(c.keep && !c.folder_takes_its_place, plat_replace_end(&replacement, c.keep));
        if (c.folder_takes_its_place) {
            EXPECT_TRUE(std::filesystem::is_directory(dir.file("t")));
            EXPECT_EQ((std::vector<std::string>{"kept", "t"}), names_in(dir.path));
        } else {
            EXPECT_EQ(c.keep ? "new" : "old", read_bytes(dir.file("t")));
            EXPECT_EQ((std::vector<std::string>{"t"}), names_in(dir.path));
        }
    }
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
    // A file that another name shares is refused before a byte of it is cut.
    std::filesystem::create_hard_link(dir.file("f"), dir.file("g"));
    EXPECT_EQ(PLAT_NO_FILE, plat_create_write(program_path(dir.file("g")).c_str()));
    EXPECT_EQ("abc", read_bytes(dir.file("f")));
#ifdef _WIN32
    EXPECT_EQ(PLAT_NO_FILE, plat_open_read("NUL")); // a device, not a file on disk
    EXPECT_EQ(PLAT_NO_FILE, plat_create_write("NUL"));
#else
    EXPECT_EQ(PLAT_NO_FILE, plat_open_read("/dev/null"));
    EXPECT_EQ(PLAT_NO_FILE, plat_create_write("/dev/null"));
#endif
}

TEST(Platform, ExecutablePathUsesBackslashesAndReportsTruncation) {
    char path[260];
    memset(path, 'x', sizeof path); // the terminator must come from the call
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
