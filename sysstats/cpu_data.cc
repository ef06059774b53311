// Per-CPU time spent in each mode since the previous sample, from the
// kernel's per-CPU stat-clock tick counters.
#include "sysstats/cpu_data.h"

#include <sys/types.h>
#include <sys/resource.h>
#include <sys/sysctl.h>

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// One row of "kern.cp_times": CPUSTATES counters of type long.
#define CP_ROW_BYTES ((int32_t)(CPUSTATES * sizeof(long)))

// SysStats.cpu_stat and its CpuTimes fields.
enum {
	SYS_STATS_CPU_STAT = 3,
	CPU_TIMES_CPU_ID = 1,
	CPU_TIMES_USER_NS = 2,
	CPU_TIMES_USER_ICE_NS = 3,
	CPU_TIMES_SYSTEM_MODE_NS = 4,
	CPU_TIMES_IDLE_NS = 5,
	CPU_TIMES_IRQ_NS = 7,
};

struct cpu_table cpu_table = {};

void
setup_cpu_data(void)
{
	struct cpu_table *t = &cpu_table;
	size_t len;
	int32_t n;
	int ret;

	len = sizeof(t->maxcpu);
	ret = sysctlbyname("kern.smp.maxcpus", &t->maxcpu, &len, NULL, 0);
	if (ret != 0) {
		printf("%s: kern.smp.maxcpus failed (%d)\n", __func__, ret);
		return;
	}
	printf("maxcpu: %d\n", t->maxcpu);
	// A count no buffer can be sized for leaves the table empty.
	if (t->maxcpu <= 0 || t->maxcpu > INT32_MAX / CP_ROW_BYTES)
		return;

	t->cp_times_len = t->maxcpu * CP_ROW_BYTES;
	t->cp_times_cur = (long *)calloc(1, (size_t)t->cp_times_len);
	t->cp_times_prev = (long *)calloc(1, (size_t)t->cp_times_len);
	t->cpu_present = (bool *)calloc((size_t)t->maxcpu, sizeof(bool));
	if (t->cp_times_cur == NULL || t->cp_times_prev == NULL ||
	    t->cpu_present == NULL) {
		printf("%s: out of memory\n", __func__);
		free(t->cp_times_cur);
		free(t->cp_times_prev);
		free(t->cpu_present);
		t->cp_times_cur = t->cp_times_prev = NULL;
		t->cpu_present = NULL;
		t->cp_times_len = 0;
		return;
	}

	len = (size_t)t->cp_times_len;
	if (sysctlbyname("kern.cp_times", t->cp_times_cur, &len, NULL, 0) != 0) {
		printf("%s: kern.cp_times failed (%d)\n", __func__, errno);
		return;
	}
	n = (int32_t)(uint32_t)(len / (size_t)CP_ROW_BYTES);
	t->max_cpu_id = n - 1;
	if (t->max_cpu_id < 0)
		return;
	for (int32_t i = 0; i < n; i++) {
		const long *row = &t->cp_times_cur[i * CPUSTATES];
		for (int s = 0; s < CPUSTATES; s++) {
			if (row[s] != 0) {
				t->cpu_present[i] = true;
				break;
			}
		}
	}
}

// Ticks of the stat clock count 1/128 s each.
static uint64_t
ticks_to_ns(long cur, long prev)
{
	return (((uint64_t)cur - (uint64_t)prev) * 1000000000u) >> 7;
}

void
populate_cpu_data(struct PerfettoPbMsg *sys_stats)
{
	struct cpu_table *t = &cpu_table;
	struct PerfettoPbMsg cpu;
	size_t len;

	if (t->cp_times_len == 0)
		return;  // set-up found nothing to read into
	len = (size_t)t->cp_times_len;
	if (sysctlbyname("kern.cp_times", t->cp_times_cur, &len, NULL, 0) != 0) {
		printf("%s: kern.cp_times failed (%d)\n", __func__, errno);
		return;
	}

	if (t->cp_times_prev_valid && t->max_cpu_id >= 0) {
		for (int32_t i = 0; i <= t->max_cpu_id; i++) {
			if (!t->cpu_present[i])
				continue;
			const long *cur = &t->cp_times_cur[i * CPUSTATES];
			const long *prev = &t->cp_times_prev[i * CPUSTATES];
			PerfettoPbMsgBeginNested(sys_stats, &cpu,
			    SYS_STATS_CPU_STAT);
			PerfettoPbMsgAppendType0Field(&cpu, CPU_TIMES_CPU_ID,
			    (uint64_t)i);
			PerfettoPbMsgAppendType0Field(&cpu, CPU_TIMES_USER_NS,
			    ticks_to_ns(cur[CP_USER], prev[CP_USER]));
			PerfettoPbMsgAppendType0Field(&cpu, CPU_TIMES_USER_ICE_NS,
			    ticks_to_ns(cur[CP_NICE], prev[CP_NICE]));
			PerfettoPbMsgAppendType0Field(&cpu,
			    CPU_TIMES_SYSTEM_MODE_NS,
			    ticks_to_ns(cur[CP_SYS], prev[CP_SYS]));
			PerfettoPbMsgAppendType0Field(&cpu, CPU_TIMES_IDLE_NS,
			    ticks_to_ns(cur[CP_IDLE], prev[CP_IDLE]));
			PerfettoPbMsgAppendType0Field(&cpu, CPU_TIMES_IRQ_NS,
			    ticks_to_ns(cur[CP_INTR], prev[CP_INTR]));
			PerfettoPbMsgEndNested(sys_stats);
		}
	}

	memcpy(t->cp_times_prev, t->cp_times_cur, (size_t)t->cp_times_len);
	t->cp_times_prev_valid = true;
}
