// Current clock frequency of every CPU index, in kHz.  Only CPUs with a
// cpufreq device have the node (often CPU 0 alone); the others report 0, so
// an element's position in the list is its CPU index.
#include "sysstats/cpufreq_data.h"

#include <sys/types.h>
#include <sys/sysctl.h>

#include <stdint.h>
#include <stdio.h>

#include "sysstats/cpu_data.h"

// SysStats.cpufreq_khz: repeated, written unpacked.
#define SYS_STATS_CPUFREQ_KHZ 11

void
populate_cpufreq_data(struct PerfettoPbMsg *sys_stats)
{
	char name[1024];
	uint32_t khz;
	int32_t mhz;
	size_t len;

	for (int32_t i = 0; i <= cpu_table.max_cpu_id; i++) {
		snprintf(name, sizeof(name), "dev.cpu.%d.freq", i);
		// A short answer leaves the rest of the value zero, not stale.
		mhz = 0;
		len = sizeof(mhz);
		// MHz to kHz, modulo 2^32.
		if (sysctlbyname(name, &mhz, &len, NULL, 0) == 0)
			khz = (uint32_t)mhz * 1000u;
		else
			khz = 0;
		PerfettoPbMsgAppendType0Field(sys_stats, SYS_STATS_CPUFREQ_KHZ,
		    khz);
	}
}
