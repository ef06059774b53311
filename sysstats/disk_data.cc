// Running I/O totals of every whole disk (rank 1 GEOM provider) that the
// GEOM tree held at start-up.  Each sample takes a statistics snapshot and
// walks it in step with the start-up snapshot, whose records it then
// overwrites; a record is matched to its disk through the tree.
#include "sysstats/disk_data.h"

#include <sys/types.h>
#include <sys/devicestat.h>

#include <devstat.h>
#include <libgeom.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define DISK_NAME_LEN 4096

// SysStats.disk_stat and its DiskStat fields.
enum {
	SYS_STATS_DISK_STAT = 13,
	DISK_STAT_DEVICE_NAME = 1,
	DISK_STAT_READ_SECTORS = 2,
	DISK_STAT_READ_TIME_MS = 3,
	DISK_STAT_WRITE_SECTORS = 4,
	DISK_STAT_WRITE_TIME_MS = 5,
};

struct disk_state disk_state = {};

void
setup_disk_data(void)
{
	struct disk_state *d = &disk_state;

	// Without a tree no record can be matched to a disk, and a lookup in
	// a tree that was never read is not safe: the section stays empty.
	d->geom_tree_valid = geom_gettree(&d->geom_tree) == 0;
	(void)geom_stats_open();
	d->snap_base = geom_stats_snapshot_get();
	if (d->snap_base != NULL)
		geom_stats_snapshot_timestamp(d->snap_base, &d->ts_prev);
}

// The provider a statistics record counts, if it is a whole disk.
static struct gprovider *
whole_disk(const struct devstat *rec)
{
	struct gident *gid;
	struct gprovider *pp;

	if (rec->id == NULL)
		return (NULL);
	gid = geom_lookupid(&disk_state.geom_tree, rec->id);
	if (gid == NULL || gid->lg_what != gident::ISPROVIDER)
		return (NULL);
	pp = (struct gprovider *)gid->lg_ptr;
	if (pp->lg_geom == NULL || pp->lg_geom->lg_rank != 1)
		return (NULL);
	return (pp);
}

static void
write_disk_stat(struct PerfettoPbMsg *sys_stats, const char *name,
    uint64_t read_blocks, long double read_s, uint64_t write_blocks,
    long double write_s)
{
	struct PerfettoPbMsg disk;

	PerfettoPbMsgBeginNested(sys_stats, &disk, SYS_STATS_DISK_STAT);
	PerfettoPbMsgAppendType2Field(&disk, DISK_STAT_DEVICE_NAME,
	    (const uint8_t *)name, strlen(name));
	PerfettoPbMsgAppendType0Field(&disk, DISK_STAT_READ_SECTORS,
	    read_blocks);
	PerfettoPbMsgAppendType0Field(&disk, DISK_STAT_READ_TIME_MS,
	    (uint64_t)(read_s * 1000));
	PerfettoPbMsgAppendType0Field(&disk, DISK_STAT_WRITE_SECTORS,
	    write_blocks);
	PerfettoPbMsgAppendType0Field(&disk, DISK_STAT_WRITE_TIME_MS,
	    (uint64_t)(write_s * 1000));
	PerfettoPbMsgEndNested(sys_stats);
}

void
populate_disk_data(struct PerfettoPbMsg *sys_stats)
{
	struct disk_state *d = &disk_state;
	struct devstat *cur, *base;
	struct gprovider *pp;
	struct timespec ts;
	char name[DISK_NAME_LEN];
	uint64_t read_blocks, write_blocks;
	long double read_s, write_s;
	void *snap;

	if (!d->geom_tree_valid || d->snap_base == NULL)
		return;
	snap = geom_stats_snapshot_get();
	if (snap == NULL)
		return;
	geom_stats_snapshot_timestamp(snap, &ts);
	d->elapsed = (float)((double)(ts.tv_sec - d->ts_prev.tv_sec) +
	    (double)(ts.tv_nsec - d->ts_prev.tv_nsec) * 1e-9);
	d->ts_prev = ts;

	geom_stats_snapshot_reset(snap);
	geom_stats_snapshot_reset(d->snap_base);
	for (;;) {
		cur = geom_stats_snapshot_next(snap);
		base = geom_stats_snapshot_next(d->snap_base);
		if (cur == NULL || base == NULL)
			break;
		if ((pp = whole_disk(cur)) == NULL)
			continue;
		snprintf(name, sizeof(name), "%s", pp->lg_name);
		read_blocks = write_blocks = 0;
		read_s = write_s = 0;
		(void)devstat_compute_statistics(cur, NULL,
		    (long double)d->elapsed,
		    DSM_TOTAL_BLOCKS_READ, &read_blocks,
		    DSM_TOTAL_DURATION_READ, &read_s,
		    DSM_TOTAL_BLOCKS_WRITE, &write_blocks,
		    DSM_TOTAL_DURATION_WRITE, &write_s,
		    DSM_NONE);
		write_disk_stat(sys_stats, name, read_blocks, read_s,
		    write_blocks, write_s);
		memcpy(base, cur, sizeof(*base));
	}
	geom_stats_snapshot_free(snap);
}
