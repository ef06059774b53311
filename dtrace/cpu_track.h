// Per-CPU track uuids.
#ifndef DTRACE_CPU_TRACK_H
#define DTRACE_CPU_TRACK_H

#include <stddef.h>
#include <stdint.h>

uint64_t fnv1a_64(const void *data, size_t len);
// The uuid of a CPU's track from its label "CPU n" and the number.
uint64_t cpu_label_uuid(const char *label, size_t len, int32_t cpu);
uint64_t cpu_track_uuid(int32_t cpu);

#endif
