// A CPU's track is named by the FNV-1a hash of its label, mixed with the
// CPU number.
#include "dtrace/cpu_track.h"

#include <stdio.h>

uint64_t
fnv1a_64(const void *data, size_t len)
{
	const uint8_t *p = (const uint8_t *)data;
	uint64_t hash = 0xcbf29ce484222325ULL;

	for (size_t i = 0; i < len; i++) {
		hash ^= p[i];
		hash *= 0x100000001b3ULL;
	}
	return hash;
}

uint64_t
cpu_label_uuid(const char *label, size_t len, int32_t cpu)
{
	return fnv1a_64(label, len) ^ (uint64_t)(int64_t)cpu;
}

uint64_t
cpu_track_uuid(int32_t cpu)
{
	char label[32];
	int n = snprintf(label, sizeof(label), "CPU %d", (int)cpu);

	return cpu_label_uuid(label, (size_t)n, cpu);
}
