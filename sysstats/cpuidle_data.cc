// Idle-state residency of every CPU index.  The method list names the
// states in order ("C1/mwait/hwc C2/mwait/hwc"); the duration list gives one
// number per state in the same order.  Entry k of a CPU carries the k-th
// name of that CPU's own method list.
#include "sysstats/cpuidle_data.h"

#include <sys/types.h>
#include <sys/sysctl.h>

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sysstats/cpu_data.h"

#define CX_SYSCTL_NAME_LEN	128
#define CX_VALUE_LEN		128	/* bytes offered to the kernel */
#define CX_STATES_MAX		8
#define CX_STATE_NAME_LEN	64

// SysStats.cpuidle_state, CpuIdleState and CpuIdleStateEntry fields.
enum {
	SYS_STATS_CPUIDLE_STATE = 16,
	CPUIDLE_STATE_CPU_ID = 1,
	CPUIDLE_STATE_ENTRY = 2,
	CPUIDLE_ENTRY_STATE = 1,
	CPUIDLE_ENTRY_DURATION_US = 2,
};

// Reads a string node into `value` and ends it where the kernel's answer
// ends, so the text is terminated even when the node's value is not.
static bool
read_cx_string(const char *fmt, int cpu, char value[CX_VALUE_LEN + 1])
{
	char name[CX_SYSCTL_NAME_LEN];
	size_t len;

	snprintf(name, sizeof(name), fmt, cpu);
	len = CX_VALUE_LEN;
	if (sysctlbyname(name, value, &len, NULL, 0) != 0)
		return (false);
	value[len < CX_VALUE_LEN ? len : CX_VALUE_LEN] = '\0';
	return (true);
}

// Splits the method list at single spaces and keeps each token's text up to
// its first '/', cut to fit a name slot.
static void
take_state_names(char *methods, char names[CX_STATES_MAX][CX_STATE_NAME_LEN])
{
	char *rest = methods;
	char *token;
	size_t n;
	int count = 0;

	while (count < CX_STATES_MAX && (token = strsep(&rest, " ")) != NULL) {
		n = strcspn(token, "/");
		if (n > CX_STATE_NAME_LEN - 1)
			n = CX_STATE_NAME_LEN - 1;
		memcpy(names[count], token, n);
		names[count][n] = '\0';
		count++;
	}
}

static void
write_cpu_idle_states(struct PerfettoPbMsg *sys_stats, int cpu, char *durations,
    char names[CX_STATES_MAX][CX_STATE_NAME_LEN])
{
	struct PerfettoPbMsg state, entry;
	unsigned long long us;
	char *rest = durations;
	char *token;
	int k = 0;

	PerfettoPbMsgBeginNested(sys_stats, &state, SYS_STATS_CPUIDLE_STATE);
	PerfettoPbMsgAppendType0Field(&state, CPUIDLE_STATE_CPU_ID,
	    (uint64_t)cpu);
	while (k < CX_STATES_MAX && (token = strsep(&rest, " ")) != NULL) {
		us = strtoull(token, NULL, 0);
		// Out of range, or a negated 1: not a duration.
		if (us == ULLONG_MAX)
			continue;
		PerfettoPbMsgBeginNested(&state, &entry, CPUIDLE_STATE_ENTRY);
		PerfettoPbMsgAppendType2Field(&entry, CPUIDLE_ENTRY_STATE,
		    (const uint8_t *)names[k], strlen(names[k]));
		PerfettoPbMsgAppendType0Field(&entry, CPUIDLE_ENTRY_DURATION_US,
		    (uint64_t)us);
		PerfettoPbMsgEndNested(&state);
		k++;
	}
	PerfettoPbMsgEndNested(sys_stats);
}

void
populate_cpuidle_data(struct PerfettoPbMsg *sys_stats)
{
	char names[CX_STATES_MAX][CX_STATE_NAME_LEN];
	char value[CX_VALUE_LEN + 1];

	for (int32_t i = 0; i <= cpu_table.max_cpu_id; i++) {
		if (!read_cx_string("dev.cpu.%d.cx_method", i, value))
			continue;
		// Slots this CPU's list does not fill give an empty name,
		// never one left from another CPU.
		memset(names, 0, sizeof(names));
		take_state_names(value, names);
		if (!read_cx_string("dev.cpu.%d.cx_duration_counters", i,
		    value))
			continue;
		write_cpu_idle_states(sys_stats, i, value, names);
	}
}
