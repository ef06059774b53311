// The power daemon's main loop: a sampling pass every millisecond while an
// instance is started and a capability was found, a poll every second
// otherwise.
#ifndef POWER_POWER_LOOP_H
#define POWER_POWER_LOOP_H

#include <stdbool.h>

#include "power/power_state.h"
#include "runtime/producer.h"

#define PWR_SAMPLING_PERIOD_US 1000u
#define PWR_IDLE_PERIOD_US 1000000u

// Sleeps `usec`; an idle sleep (`idle`) ends early once sampling can begin.
typedef void (*pwr_sleep_fn)(struct fbsd_power_state *st, unsigned int usec,
                             bool idle);

// Whether the loop samples now: it reads `started` and `flags` afresh.
bool fbsd_power_sampling(const struct fbsd_power_state *st);
// One turn of the loop: the sleep, then, while sampling, the RAPL pass and
// the battery pass.
void fbsd_power_loop_iteration(const struct ds_registration *reg,
                               struct fbsd_power_state *st,
                               pwr_sleep_fn sleep_us);
// The daemon's sleep: usleep, or for an idle sleep a wait that a start
// callback ends.
void fbsd_power_sleep(struct fbsd_power_state *st, unsigned int usec,
                      bool idle);
// Wakes an idle sleep (the start callback, after counting the start).
void fbsd_power_wake(struct fbsd_power_state *st);
[[noreturn]] void fbsd_power_main_loop(const struct ds_registration *reg,
                                       struct fbsd_power_state *st);

#endif
