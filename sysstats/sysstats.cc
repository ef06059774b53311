// The statistics daemon: start-up, the polling loop and the SysStats packet.
#include "sysstats/sysstats.h"

#include <unistd.h>

#include "runtime/packet.h"
#include "sysstats/cpu_data.h"

struct ds_registration sysstats_ds = DS_REGISTRATION_INIT;

void
sysstats_start(void)
{
	start_producer();
	setup_cpu_data();
	register_data_source(&sysstats_ds, SYSSTATS_DATA_SOURCE, nullptr);
}

// The sections of one sample, in their fixed order.
static void
write_sys_stats(struct PerfettoPbMsg *sys_stats, void *)
{
	populate_cpu_data(sys_stats);
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
