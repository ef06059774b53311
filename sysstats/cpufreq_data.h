// Current clock frequency of every CPU index ("dev.cpu.%d.freq").
#ifndef SYSSTATS_CPUFREQ_DATA_H
#define SYSSTATS_CPUFREQ_DATA_H

#include "perfetto/public/pb_msg.h"

void populate_cpufreq_data(struct PerfettoPbMsg *sys_stats);

#endif
