// Interrupt counts per source, as differences against the previous
// successful reading.  A source is known only by its slot in the kernel's
// counter array; a zero counter, now or before, means no usable value.
#include "sysstats/intrcnt_data.h"

#include <sys/types.h>
#include <sys/sysctl.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// SysStats.num_irq and its InterruptCount fields.
enum {
	SYS_STATS_NUM_IRQ = 6,
	INTERRUPT_COUNT_IRQ = 1,
	INTERRUPT_COUNT_COUNT = 2,
};

struct intrcnt_table intrcnt_table = {};

void
setup_intrcnt_data(void)
{
	struct intrcnt_table *t = &intrcnt_table;

	t->intrcnt_cur = (uint64_t *)calloc(INTRCNT_SLOTS, sizeof(uint64_t));
	t->intrcnt_prev = (uint64_t *)calloc(INTRCNT_SLOTS, sizeof(uint64_t));
	if (t->intrcnt_cur == NULL || t->intrcnt_prev == NULL) {
		// Without both tables the section stays empty.
		printf("%s: out of memory\n", __func__);
		free(t->intrcnt_cur);
		free(t->intrcnt_prev);
		t->intrcnt_cur = t->intrcnt_prev = NULL;
		return;
	}
	t->intrcnt_slots = INTRCNT_SLOTS;
}

void
populate_intrcnt_data(struct PerfettoPbMsg *sys_stats)
{
	struct intrcnt_table *t = &intrcnt_table;
	struct PerfettoPbMsg irq;
	size_t len;
	int ret;

	if (t->intrcnt_slots == 0)
		return;
	len = (size_t)t->intrcnt_slots * sizeof(uint64_t);
	// Slots past the kernel's array must read as zero, not as last time.
	memset(t->intrcnt_cur, 0, len);
	ret = sysctlbyname("hw.intrcnt", t->intrcnt_cur, &len, NULL, 0);
	if (ret != 0) {
		printf("%s: sysctl failed; %d (%d)\n", __func__, ret, errno);
		return;
	}
	for (uint32_t i = 0; i < INTRCNT_REPORTED; i++) {
		if (t->intrcnt_cur[i] == 0 || t->intrcnt_prev[i] == 0)
			continue;
		PerfettoPbMsgBeginNested(sys_stats, &irq, SYS_STATS_NUM_IRQ);
		PerfettoPbMsgAppendType0Field(&irq, INTERRUPT_COUNT_IRQ, i);
		PerfettoPbMsgAppendType0Field(&irq, INTERRUPT_COUNT_COUNT,
		    t->intrcnt_cur[i] - t->intrcnt_prev[i]);
		PerfettoPbMsgEndNested(sys_stats);
	}
	memcpy(t->intrcnt_prev, t->intrcnt_cur,
	    (size_t)t->intrcnt_slots * sizeof(uint64_t));
}
