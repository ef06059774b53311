// Per-CPU tracks: the label "CPU n" and the uuid made from it.
#ifndef DTRACE_CPU_TRACK_H
#define DTRACE_CPU_TRACK_H

#include <stddef.h>
#include <stdint.h>

// "CPU -2147483648" and its NUL.
#define CPU_LABEL_SIZE 16
// CPUs whose track is made once and kept: FreeBSD's MAXCPU on amd64.
#define CPU_TRACKS_KEPT 1024

struct cpu_track {
	uint64_t uuid;
	uint8_t label_len;		// 0 while not made
	char label[CPU_LABEL_SIZE];	// without terminating NUL in label_len
};

uint64_t fnv1a_64(const void *data, size_t len);
// The uuid of a CPU's track from its label "CPU n" and the number.
uint64_t cpu_label_uuid(const char *label, size_t len, int32_t cpu);
uint64_t cpu_track_uuid(int32_t cpu);
// The track of `cpu`.  A CPU from 0 to CPU_TRACKS_KEPT - 1 has its track
// made on first use and kept for the life of the process; another is made
// into `scratch` every time.  Main thread only (the record callback).
const struct cpu_track *cpu_track_of(int32_t cpu, struct cpu_track *scratch);

#endif
