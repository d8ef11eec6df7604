// Times one reader over one file: bench_reader ours|before|scan|lines FILE REPEAT
// ours is ini_read_file, before the reader it replaced (baseline_reader.cpp); scan and lines are
// floors: 1024-byte reads with a search for line feeds, and the same with one allocation and
// copy per physical line, kept until the end as a document keeps its lines.
// Prints: best seconds per parse, peak memory growth in KiB, sections, entries (for scan and
// lines: physical lines, 0). On Linux the peak is of the bytes the heap hands out (counted here
// around glibc's allocator in the bench_reader_heap build, whose times are not used, since
// counting slows every allocation), which is exact; on Windows it is the growth of the peak
// working set.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "baseline_reader.h"
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
#elif !defined(BENCH_COUNT_HEAP)
// Without the count the allocator runs at its own speed: the times come from this build.
static long peak_kib() {
    return 0;
}
#else
#include <malloc.h>

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

// The sections and entries of a document, which it then releases.
static void count_and_destroy(IniFile* ini, size_t* sections, size_t* entries) {
    *sections = static_cast<size_t>(ini->section_count);
    *entries = 0;
    for (int32_t s = 0; s < ini->section_count; s++) {
        *entries += static_cast<size_t>(ini->sections[s]->entry_count);
    }
    ini_destroy(ini);
}

// Reads the file in 1024-byte blocks and counts its physical lines; with keep_lines, each line
// is also copied into an allocation of its own, all released at the end.
static bool floor_read(const char* path, bool keep_lines, size_t* lines) {
    PlatFile file = plat_open_read(path);
    if (file == PLAT_NO_FILE) {
        return false;
    }
    char buffer[INI_READ_BLOCK];
    char partial[INI_READ_BLOCK * 64];
    size_t partial_length = 0;
    char** kept = nullptr;
    size_t kept_capacity = 0;
    *lines = 0;
    uint32_t got = 0;
    while (plat_read(file, buffer, sizeof buffer, &got) && got > 0) {
        const char* p = buffer;
        const char* end = buffer + got;
        while (p < end) {
            const char* feed = static_cast<const char*>(memchr(p, '\n', end - p));
            size_t piece = static_cast<size_t>((feed != nullptr ? feed : end) - p);
            if (keep_lines && partial_length + piece <= sizeof partial) {
                memcpy(partial + partial_length, p, piece);
                partial_length += piece;
            }
            if (feed == nullptr) {
                break;
            }
            if (keep_lines) {
                if (*lines == kept_capacity) {
                    kept_capacity = kept_capacity > 0 ? kept_capacity * 2 : 1024;
                    kept = static_cast<char**>(realloc(kept, kept_capacity * sizeof(char*)));
                }
                kept[*lines] = static_cast<char*>(malloc(partial_length + 1));
                memcpy(kept[*lines], partial, partial_length);
                kept[*lines][partial_length] = '\0';
                partial_length = 0;
            }
            (*lines)++;
            p = feed + 1;
        }
    }
    plat_close(file);
    for (size_t i = 0; keep_lines && i < *lines; i++) {
        free(kept[i]);
    }
    free(kept);
    return true;
}

// Parses the file with the named reader; false when it failed.
static bool parse(const char* reader, const char* path, size_t* sections, size_t* entries) {
    IniFile* ini = nullptr;
    if (strcmp(reader, "ours") == 0) {
        ini = ini_read_file(path);
    } else if (strcmp(reader, "before") == 0) {
        ini = baseline_read_file(path);
    } else if (strcmp(reader, "scan") == 0 || strcmp(reader, "lines") == 0) {
        *entries = 0;
        return floor_read(path, strcmp(reader, "lines") == 0, sections);
    }
    if (ini == nullptr) {
        return false;
    }
    count_and_destroy(ini, sections, entries);
    return true;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bench_reader ours|before|scan|lines FILE REPEAT\n");
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
