// The DTrace daemon's data source: session callbacks, the libdtrace
// consumer and the loop that drains it.
#ifndef DTRACE_CONSUMER_H
#define DTRACE_CONSUMER_H

#include <stddef.h>

#include <dtrace.h>

#include "dtrace/consumer_state.h"
#include "perfetto/public/abi/data_source_abi.h"
#include "runtime/producer.h"

// The "dtrace" data source.
extern struct ds_registration kfunc_ds;

void *dtrace_on_setup_cb(struct PerfettoDsImpl *ds,
                         PerfettoDsInstanceIndex inst, void *ds_config,
                         size_t ds_config_size, void *user_arg,
                         struct PerfettoDsOnSetupArgs *args);
void dtrace_on_start_cb(struct PerfettoDsImpl *ds, PerfettoDsInstanceIndex inst,
                        void *user_arg, void *inst_ctx,
                        struct PerfettoDsOnStartArgs *args);
void dtrace_on_stop_cb(struct PerfettoDsImpl *ds, PerfettoDsInstanceIndex inst,
                       void *user_arg, void *inst_ctx,
                       struct PerfettoDsOnStopArgs *args);
void dtrace_on_destroy_cb(struct PerfettoDsImpl *ds, void *user_arg,
                          void *inst_ctx);

// Prints "kfunc_producer: ", the message and the handle's libdtrace error
// on standard error, and ends the process with status 2.
[[noreturn]] void dtrace_fatal(dtrace_hdl_t *handle, const char *fmt, ...)
    __attribute__((__format__(__printf__, 2, 3)));

// Producer start-up and registration of "dtrace" with the callbacks above;
// `st` must be zero-filled.
void kfunc_start(struct dtrace_consumer_state *st);
// One pass of the consumer loop: drain and sleep while running, else
// `idle_sleep` for 250 ms (main passes usleep's wrapper).
void dtrace_consumer_pass(struct dtrace_consumer_state *st,
                          void (*idle_sleep)(unsigned int usec));

// The idle sleep of the daemon's loop: up to `usec`, ended early by a
// start callback that sets `running`.
void dtrace_idle_wait(struct dtrace_consumer_state *st, unsigned int usec);

// Probe and record callbacks handed to dtrace_work (record_cb.cc): the
// first keeps the firing's time, the second writes its track events.
int dtrace_probe_cb(const dtrace_probedata_t *data, void *arg);
int dtrace_record_cb(const dtrace_probedata_t *data,
                     const dtrace_recdesc_t *rec, void *arg);

#endif
