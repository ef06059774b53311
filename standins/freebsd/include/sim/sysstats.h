// Control of the simulated machine's statistics sources, for tests: the
// GEOM tree and its statistics records, the statistics device, and helpers
// for the per-CPU and interrupt sysctl nodes.  Every call is thread-safe.
#ifndef SIM_SYSSTATS_H
#define SIM_SYSSTATS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/devicestat.h>

// --- GEOM -------------------------------------------------------------------

// Counters of one provider's statistics record.
struct sim_disk_stats {
	uint64_t	bytes_read;
	uint64_t	bytes_written;
	uint64_t	reads;
	uint64_t	writes;
	struct bintime	read_time;
	struct bintime	write_time;
};

// A whole disk: a geom of rank 1 in class DISK with one provider `name`,
// and a statistics record for it in the next free slot.
void sim_geom_add_disk(const char *name, uint32_t sector_size,
    int64_t media_size);
// A partition of `disk`: a provider `name` on the PART geom named after the
// disk (rank 2, created with its consumer of the disk on first use), with a
// statistics record of its own.
void sim_geom_add_partition(const char *disk, const char *name);
// No class, geom, provider or statistics record; no failure.
void sim_geom_reset(void);
// Any provider: geom `geom_name` of class `class_name` with `rank` (created
// when new), a provider `name` on it and a statistics record.
void sim_geom_add_provider(const char *class_name, const char *geom_name,
    unsigned rank, const char *name);

// The live counters of provider `name`'s record (false if unknown).
bool sim_geom_set_stats(const char *name, const struct sim_disk_stats *st);
bool sim_geom_get_stats(const char *name, struct sim_disk_stats *st);
// Added to provider `name`'s counters just before every snapshot is taken.
bool sim_geom_set_growth(const char *name, const struct sim_disk_stats *step);

// geom_gettree fails with `err` (0: reads the tree again).
void sim_geom_tree_fail(int err);
// geom_stats_open fails with `err` (0: opens again).
void sim_geom_stats_open_fail(int err);
// The next `count` calls of geom_stats_snapshot_get return NULL.
void sim_geom_snapshot_fail(unsigned count);

// Snapshots taken so far, and those not yet freed.
unsigned sim_geom_snapshots_taken(void);
unsigned sim_geom_snapshots_live(void);
// Statistics records that one snapshot page holds.
unsigned sim_geom_records_per_page(void);

// An exact binary time of `ns` nanoseconds.
struct bintime sim_bintime_ns(uint64_t ns);
// `sec` seconds and `fraction` (0 <= fraction < 1) of a second.
struct bintime sim_bintime(time_t sec, long double fraction);

// --- sysctl nodes -----------------------------------------------------------

// "hw.intrcnt": a u_long array of `count` counters.
void sim_intrcnt_set(const uint64_t *counters, size_t count);
// "dev.cpu.<cpu>.cx_method" and "dev.cpu.<cpu>.cx_duration_counters",
// strings as given (NULL removes the node).
void sim_cpu_cx_set(int cpu, const char *method, const char *durations);
// "dev.cpu.<cpu>.freq" in MHz.
void sim_cpu_freq_set(int cpu, int mhz);

#endif
