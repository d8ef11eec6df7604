// The comparison parser, behind a function of our own so that its header never meets ours.
#ifndef INIH_STORE_H
#define INIH_STORE_H

#include <stddef.h>

struct StoreCounts {
    size_t sections;
    size_t entries;
};

// Parses the file with the comparison parser into a structure that stores every section and
// key/value pair, then releases it. 0 when the file could not be opened.
int inih_store(const char* path, StoreCounts* counts);

#endif
