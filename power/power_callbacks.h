// The session callbacks of "freebsd.power" and its registration.
#ifndef POWER_POWER_CALLBACKS_H
#define POWER_POWER_CALLBACKS_H

#include "perfetto/public/abi/data_source_abi.h"
#include "power/power_state.h"
#include "runtime/producer.h"

void *fbsd_power_on_setup_cb(struct PerfettoDsImpl *ds,
                             PerfettoDsInstanceIndex inst_id, void *ds_config,
                             size_t ds_config_size, void *user_arg,
                             struct PerfettoDsOnSetupArgs *args);
void fbsd_power_on_start_cb(struct PerfettoDsImpl *ds,
                            PerfettoDsInstanceIndex inst_id, void *user_arg,
                            void *inst_ctx, struct PerfettoDsOnStartArgs *args);
void fbsd_power_on_stop_cb(struct PerfettoDsImpl *ds,
                           PerfettoDsInstanceIndex inst_id, void *user_arg,
                           void *inst_ctx, struct PerfettoDsOnStopArgs *args);
void fbsd_power_on_destroy_cb(struct PerfettoDsImpl *ds, void *user_arg,
                              void *inst_ctx);

// Registers "freebsd.power" with the four callbacks and `st` as their user
// argument.  `st` must be complete: set-up can run before this returns.
void fbsd_power_register(struct ds_registration *reg,
                         struct fbsd_power_state *st);

#endif
