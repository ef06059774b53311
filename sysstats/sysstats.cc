// The statistics daemon: start-up, the polling loop and the SysStats packet.
#include "sysstats/sysstats.h"

#include <unistd.h>

#include "runtime/packet.h"
#include "sysstats/cpu_data.h"
#include "sysstats/cpufreq_data.h"
#include "sysstats/cpuidle_data.h"
#include "sysstats/disk_data.h"
#include "sysstats/intrcnt_data.h"

struct ds_registration sysstats_ds = DS_REGISTRATION_INIT;

void
sysstats_start(void)
{
	start_producer();
	setup_disk_data();
	setup_intrcnt_data();
	setup_cpu_data();
	register_data_source(&sysstats_ds, SYSSTATS_DATA_SOURCE, nullptr);
}

// The sections of one sample, in their fixed order.
static void
write_sys_stats(struct PerfettoPbMsg *sys_stats, void *)
{
	populate_disk_data(sys_stats);
	populate_intrcnt_data(sys_stats);
	populate_cpu_data(sys_stats);
	populate_cpufreq_data(sys_stats);
	populate_cpuidle_data(sys_stats);
}

static void
write_instance(struct PerfettoDsTracerImpl *tracer, void *)
{
	packet_frame(tracer, TRACE_PACKET_SYS_STATS, write_sys_stats, nullptr);
}

void
sysstats_pass(void)
{
	if (ds_is_enabled(&sysstats_ds))
		for_each_instance(&sysstats_ds, write_instance, nullptr);
}

void
sysstats_run(void)
{
	for (;;) {
		sysstats_pass();
		usleep(SYSSTATS_PERIOD_US);
	}
}
