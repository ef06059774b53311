// Time each CPU spent in each of its idle states, pairing the names of
// "dev.cpu.%d.cx_method" with the numbers of
// "dev.cpu.%d.cx_duration_counters".
#ifndef SYSSTATS_CPUIDLE_DATA_H
#define SYSSTATS_CPUIDLE_DATA_H

#include "perfetto/public/pb_msg.h"

void populate_cpuidle_data(struct PerfettoPbMsg *sys_stats);

#endif
