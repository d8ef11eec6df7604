// Times one parser over one file: bench_reader ours|inih FILE REPEAT
// Prints: best seconds per parse, peak memory growth in KiB, sections, entries. On Linux the
// peak is of the bytes the heap hands out (counted here around glibc's allocator), which is
// exact; on Windows it is the growth of the peak working set.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "ini.h"
#ifdef _WIN32
#include <windows.h>

#include <psapi.h>
// Peak working set of this process, in KiB.
static long peak_kib() {
    PROCESS_MEMORY_COUNTERS counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}
#else
#include <malloc.h>

#include "inih_store.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);
extern "C" void __libc_free(void* block);

// Bytes the heap has handed out and not taken back, and their most.
static size_t heap_live;
static size_t heap_peak;

static void heap_add(void* block) {
    if (block != nullptr) {
        heap_live += malloc_usable_size(block);
        heap_peak = heap_live > heap_peak ? heap_live : heap_peak;
    }
}

static void heap_remove(void* block) {
    if (block != nullptr) {
        heap_live -= malloc_usable_size(block);
    }
}

extern "C" void* malloc(size_t size) {
    void* block = __libc_malloc(size);
    heap_add(block);
    return block;
}

extern "C" void* calloc(size_t count, size_t size) {
    void* block = __libc_calloc(count, size);
    heap_add(block);
    return block;
}

extern "C" void* realloc(void* block, size_t size) {
    size_t old = block != nullptr ? malloc_usable_size(block) : 0;
    void* moved = __libc_realloc(block, size);
    if (moved != nullptr || size == 0) {
        heap_live -= old;
        heap_add(moved);
    }
    return moved;
}

extern "C" void free(void* block) {
    heap_remove(block);
    __libc_free(block);
}

// Most heap bytes in use so far, in KiB.
static long peak_kib() {
    return static_cast<long>(heap_peak / 1024);
}
#endif

// Parses the file with the named parser; false when it failed.
static bool parse(const char* parser, const char* path, size_t* sections, size_t* entries) {
    if (strcmp(parser, "ours") == 0) {
        IniFile* ini = ini_read_file(path);
        if (ini == nullptr) {
            return false;
        }
        *sections = static_cast<size_t>(ini->section_count);
        *entries = 0;
        for (int32_t s = 0; s < ini->section_count; s++) {
            *entries += static_cast<size_t>(ini->sections[s]->entry_count);
        }
        ini_destroy(ini);
        return true;
    }
#ifndef _WIN32
    StoreCounts counts;
    if (strcmp(parser, "inih") == 0 && inih_store(path, &counts)) {
        *sections = counts.sections;
        *entries = counts.entries;
        return true;
    }
#endif
    return false;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bench_reader ours|inih FILE REPEAT\n");
        return 2;
    }
    int repeat = atoi(argv[3]);
    long baseline = peak_kib();
    double best = 1e30;
    size_t sections = 0;
    size_t entries = 0;
    for (int i = 0; i < repeat; i++) {
        auto start = std::chrono::steady_clock::now();
        if (!parse(argv[1], argv[2], &sections, &entries)) {
            fprintf(stderr, "bench_reader: %s could not parse %s\n", argv[1], argv[2]);
            return 1;
        }
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = took.count() < best ? took.count() : best;
    }
    printf("%.6f %ld %zu %zu\n", best, peak_kib() - baseline, sections, entries);
    return 0;
}
