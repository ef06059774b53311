// CPU table and CPU time counters ("kern.cp_times").
#ifndef SYSSTATS_CPU_DATA_H
#define SYSSTATS_CPU_DATA_H

#include <stdbool.h>
#include <stdint.h>

#include "perfetto/public/pb_msg.h"

// Learnt once at start-up; the frequency and idle-state sections walk CPU
// indices 0 to max_cpu_id too.
struct cpu_table {
	int32_t maxcpu;         // "kern.smp.maxcpus"
	int32_t cp_times_len;   // bytes of one reading: maxcpu rows of 5 longs
	long *cp_times_cur;
	long *cp_times_prev;
	int32_t max_cpu_id;     // -1 when no row came back at start-up
	bool *cpu_present;      // per CPU index, fixed at start-up
	bool cp_times_prev_valid;
};

extern struct cpu_table cpu_table;

void setup_cpu_data(void);
void populate_cpu_data(struct PerfettoPbMsg *sys_stats);

#endif
