// Heap allocations made on the calling thread, told apart by who made
// them: the daemon's own code (with the FreeBSD libraries it links, libgeom,
// libsbuf), the SDK (inside its packet-path calls), or the kernel (inside
// sysctl(3) and ioctl(2), which the simulated kernel serves in process and
// FreeBSD serves in the kernel).  Other threads' allocations (the SDK's
// service threads) are never counted.
#ifndef TESTS_ALLOC_ALLOC_COUNT_H
#define TESTS_ALLOC_ALLOC_COUNT_H

#include <stdint.h>

struct alloc_counts {
	uint64_t daemon;	// malloc, calloc, realloc, aligned, new
	uint64_t sdk;
	uint64_t kernel;
	uint64_t daemon_frees;	// free of a block, by the daemon's code
};

// False where the counting hook is not built in (under a sanitizer, which
// brings its own malloc).
bool alloc_counting_available(void);
// Counts from zero on this thread until alloc_count_end.
void alloc_count_begin(void);
struct alloc_counts alloc_count_end(void);

#endif
