// A CPU's track is named by the FNV-1a hash of its label, mixed with the
// CPU number.  Both are the same for every firing on that CPU, so the
// record callback takes them from a table made once per CPU.
#include "dtrace/cpu_track.h"

#include <stdio.h>

static struct cpu_track kept_tracks[CPU_TRACKS_KEPT];

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

static void
make_track(int32_t cpu, struct cpu_track *t)
{
	int n = snprintf(t->label, sizeof(t->label), "CPU %d", (int)cpu);

	t->uuid = cpu_label_uuid(t->label, (size_t)n, cpu);
	t->label_len = (uint8_t)n;
}

uint64_t
cpu_track_uuid(int32_t cpu)
{
	struct cpu_track t;

	make_track(cpu, &t);
	return t.uuid;
}

const struct cpu_track *
cpu_track_of(int32_t cpu, struct cpu_track *scratch)
{
	struct cpu_track *t;

	if (cpu < 0 || cpu >= CPU_TRACKS_KEPT) {
		make_track(cpu, scratch);
		return scratch;
	}
	t = &kept_tracks[cpu];
	if (t->label_len == 0)
		make_track(cpu, t);
	return t;
}
