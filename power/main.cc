// power_producer: RAPL energy counters and ACPI battery 0 as Perfetto power
// rails and battery counters, data source "freebsd.power".
#include <stdio.h>

#include "power/power_callbacks.h"
#include "power/power_loop.h"
#include "runtime/producer.h"

static struct ds_registration power_ds = DS_REGISTRATION_INIT;

int
main(void)
{
	// Zero-filled, the descriptor marked as not open.  Complete before
	// registration: set-up may run before it returns.
	struct fbsd_power_state state = {};

	// Line-buffered, so that diagnostics reach a log as they happen.
	setvbuf(stdout, NULL, _IOLBF, 0);

	start_producer();
	fbsd_power_register(&power_ds, &state);
	fbsd_power_main_loop(&power_ds, &state);
}
