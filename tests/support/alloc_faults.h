// Allocation faults for the tests. Code linked with -Wl,--wrap=malloc,--wrap=realloc,--wrap=free
// allocates through this counter: while armed, the allocation with the chosen number fails.
// A program linked with it takes that number from INSTALL_FAIL_ALLOCATION (counting from its
// start) and reports on standard error any block still held when it exits. Linked with
// -Wl,--wrap=close too, a close can be made to fail.
#ifndef ALLOC_FAULTS_H
#define ALLOC_FAULTS_H

// Makes the n-th allocation from now fail (n from 1); the count starts again.
void alloc_faults_arm(long n);
// Stops failing; gives how many allocations were asked for since arming.
long alloc_faults_disarm();
// Blocks allocated through the counter and not yet released.
long alloc_faults_live();
// Makes the next close fail with EIO once the descriptor is closed, as a file system that
// reports a failed write only when the file is closed does.
void alloc_faults_fail_next_close();

#endif
