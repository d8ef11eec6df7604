// A scratch folder per test, and whole-file helpers for the tests that touch the disk.
#ifndef TEMP_DIR_H
#define TEMP_DIR_H

#include <string>
#include <vector>

struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The path of name inside the folder.
    std::string file(const std::string& name) const;

    std::string path;
};

void write_bytes(const std::string& path, const std::string& bytes);
std::string read_bytes(const std::string& path);
// The names in folder, sorted.
std::vector<std::string> names_in(const std::string& folder);

#endif
