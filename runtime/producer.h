// Producer start-up and data source registration, shared by every daemon.
#ifndef RUNTIME_PRODUCER_H
#define RUNTIME_PRODUCER_H

#include <stdbool.h>
#include <stddef.h>

#include "perfetto/public/abi/atomic.h"
#include "perfetto/public/abi/data_source_abi.h"

// Not part of the SDK's published interface; a build against the real SDK
// links the project's own no-op (runtime/supports_tracing_v2.cc).
extern "C" void PerfettoDsSetSupportsTracingV2(struct PerfettoDsImpl *ds,
                                               bool supported);

// A daemon's one handle on its data source.  `enabled` points at the SDK's
// always-false flag until registration succeeds, then at the live flag.
struct ds_registration {
	PERFETTO_ATOMIC(bool) *enabled;
	struct PerfettoDsImpl *impl;
};

#define DS_REGISTRATION_INIT { &perfetto_atomic_false, nullptr }

// Session callbacks: all four and the user argument, or none (all null).
struct ds_callbacks {
	PerfettoDsOnSetupCb on_setup;
	PerfettoDsOnStartCb on_start;
	PerfettoDsOnStopCb on_stop;
	PerfettoDsOnDestroyCb on_destroy;
	void *user_arg;
};

void start_producer(void);
bool register_data_source(struct ds_registration *reg, const char *name,
                          const struct ds_callbacks *callbacks);

#endif
