#include "alloc_faults.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_realloc(void* block, size_t size);
extern "C" void __real_free(void* block);
extern "C" int __real_close(int fd);

static long fail_at;     // 0: nothing fails
static long counted;     // allocations asked for since arming
static long live;        // blocks held
static bool close_fails; // the next close reports a failure

// Reports blocks that a program armed from its environment still holds at its end.
static void report_held_blocks() {
    if (live != 0) {
        fprintf(stderr, "alloc_faults: %ld blocks still held at exit\n", live);
    }
}

// True when this allocation is the one to fail.
static bool this_one_fails() {
    static bool started;
    if (!started) {
        started = true;
        const char* number = getenv("INSTALL_FAIL_ALLOCATION");
        if (number != nullptr) {
            fail_at = atol(number);
            atexit(report_held_blocks);
        }
    }
    return fail_at > 0 && ++counted == fail_at;
}

void alloc_faults_arm(long n) {
    fail_at = n;
    counted = 0;
}

long alloc_faults_disarm() {
    fail_at = 0;
    return counted;
}

long alloc_faults_live() {
    return live;
}

void alloc_faults_fail_next_close() {
    close_fails = true;
}

extern "C" void* __wrap_malloc(size_t size) {
    void* block = this_one_fails() ? nullptr : __real_malloc(size);
    live += block != nullptr ? 1 : 0;
    return block;
}

extern "C" void* __wrap_realloc(void* block, size_t size) {
    void* moved = this_one_fails() ? nullptr : __real_realloc(block, size);
    live += block == nullptr && moved != nullptr ? 1 : 0;
    return moved;
}

extern "C" void __wrap_free(void* block) {
    live -= block != nullptr ? 1 : 0;
    __real_free(block);
}

extern "C" int __wrap_close(int fd) {
    int result = __real_close(fd);
    if (close_fails) {
        close_fails = false;
        errno = EIO;
        return -1;
    }
    return result;
}
