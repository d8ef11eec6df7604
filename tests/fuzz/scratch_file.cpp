#include "scratch_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

// The input and output scratch paths of this process; removed when it exits.
static char paths[2][512];

static void remove_scratch_files() {
    unlink(paths[0]);
    unlink(paths[1]);
}

// Names both scratch files after this process, once.
static void make_paths() {
    if (paths[0][0] != '\0') {
        return;
    }
    const char* folder = getenv("TMPDIR");
    folder = folder != nullptr ? folder : "/tmp";
    int pid = static_cast<int>(getpid());
    snprintf(paths[0], sizeof paths[0], "%s/ini-fuzz-%d-in", folder, pid);
    snprintf(paths[1], sizeof paths[1], "%s/ini-fuzz-%d-out", folder, pid);
    atexit(remove_scratch_files);
}

const char* scratch_file_write(const uint8_t* data, size_t size) {
    make_paths();
    FILE* file = fopen(paths[0], "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) {
        abort();
    }
    return paths[0];
}

const char* scratch_file_other() {
    make_paths();
    return paths[1];
}
