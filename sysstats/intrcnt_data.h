// Interrupts taken per interrupt source since the previous sample
// ("hw.intrcnt").
#ifndef SYSSTATS_INTRCNT_DATA_H
#define SYSSTATS_INTRCNT_DATA_H

#include <stdint.h>

#include "perfetto/public/pb_msg.h"

// Counter slots read per sample, and the first slots that are reported.
#define INTRCNT_SLOTS		0x20000
#define INTRCNT_REPORTED	1024

struct intrcnt_table {
	uint32_t intrcnt_slots;
	uint64_t *intrcnt_cur;		// this reading
	uint64_t *intrcnt_prev;		// the last successful one
};

extern struct intrcnt_table intrcnt_table;

void setup_intrcnt_data(void);
void populate_intrcnt_data(struct PerfettoPbMsg *sys_stats);

#endif
