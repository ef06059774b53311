// The power daemon's main loop.
#include "power/power_loop.h"

#include <unistd.h>

#include <chrono>
#include <mutex>

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
		sleep_us(st, PWR_IDLE_PERIOD_US, true);
		return;
	}
	sleep_us(st, PWR_SAMPLING_PERIOD_US, false);
	// Every instance's rails before any battery packet.
	fbsd_power_rapl_pass(reg, st);
	fbsd_power_battery_pass(reg, st);
}

void
fbsd_power_sleep(struct fbsd_power_state *st, unsigned int usec, bool idle)
{
	if (!idle) {
		usleep(usec);
		return;
	}
	std::unique_lock<std::mutex> lk(st->wake_lock);
	st->wake.wait_for(lk, std::chrono::microseconds(usec),
	    [st] { return fbsd_power_sampling(st); });
}

void
fbsd_power_wake(struct fbsd_power_state *st)
{
	// Taking the lock orders the wake after the waiter's look at the
	// state: a start between that look and the wait is not missed.
	std::lock_guard<std::mutex> lk(st->wake_lock);
	st->wake.notify_all();
}

void
fbsd_power_main_loop(const struct ds_registration *reg,
                     struct fbsd_power_state *st)
{
	for (;;)
		fbsd_power_loop_iteration(reg, st, fbsd_power_sleep);
}
