// Holds a file open without sharing it for a while, as a scanner does when a file appears:
// hold PATH MILLISECONDS. Prints "held" once the file is open, lets go after the time, and ends.
// Built with the tests under Wine, never shipped.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: hold PATH MILLISECONDS\n", stderr);
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    fputs("held\n", stdout);
    fflush(stdout);
    Sleep(static_cast<DWORD>(strtoul(argv[2], nullptr, 10)));
    CloseHandle(file);
    return 0;
}
