// The power daemon's main loop.
#include "power/power_loop.h"

#include <unistd.h>

#include "power/power_pass.h"

bool
fbsd_power_sampling(const struct fbsd_power_state *st)
{
	return st->started.load(std::memory_order_acquire) > 0 &&
	    st->flags.load(std::memory_order_acquire) != 0;
}

void
fbsd_power_loop_iteration(const struct ds_registration *reg,
                          struct fbsd_power_state *st, pwr_sleep_fn sleep_us)
{
	if (!fbsd_power_sampling(st)) {
		sleep_us(PWR_IDLE_PERIOD_US);
		return;
	}
	sleep_us(PWR_SAMPLING_PERIOD_US);
	// Every instance's rails before any battery packet.
	fbsd_power_rapl_pass(reg, st);
	fbsd_power_battery_pass(reg, st);
}

static void
sleep_usec(unsigned int usec)
{
	usleep(usec);
}

void
fbsd_power_main_loop(const struct ds_registration *reg,
                     struct fbsd_power_state *st)
{
	for (;;)
		fbsd_power_loop_iteration(reg, st, sleep_usec);
}
