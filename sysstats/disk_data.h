// Whole-disk I/O totals from the GEOM statistics records.
#ifndef SYSSTATS_DISK_DATA_H
#define SYSSTATS_DISK_DATA_H

#include <sys/types.h>
#include <sys/time.h>

#include <libgeom.h>
#include <stdbool.h>

#include "perfetto/public/pb_msg.h"

// Built once at start-up and kept for the whole run.
struct disk_state {
	struct gmesh geom_tree;		// the disks known at start-up
	bool geom_tree_valid;		// geom_tree was read
	void *snap_base;		// walked in step with every sample
	struct timespec ts_prev;	// time of the last snapshot taken
	float elapsed;			// seconds between the last two
};

extern struct disk_state disk_state;

void setup_disk_data(void);
void populate_disk_data(struct PerfettoPbMsg *sys_stats);

#endif
