// The DTrace daemon's one state record, shared by the session callbacks
// (SDK threads) and the consumer loop (main thread).
#ifndef DTRACE_CONSUMER_STATE_H
#define DTRACE_CONSUMER_STATE_H

#include <sys/types.h>
#include <sys/sbuf.h>
#include <dtrace.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

// Instances of one data source that the SDK keeps at once.
#define DTRACE_MAX_INSTANCES 8

struct dtrace_consumer_state {
	dtrace_hdl_t *handle;		// the live consumer, or null
	struct sbuf *program_text;	// its D program
	dtrace_prog_t *program;		// owned by the handle
	std::atomic<uint8_t> running;	// the loop drains while set
	std::atomic<uint32_t> fbt_events;
	std::atomic<uint32_t> kinst_events;
	// Time of the firing being consumed, from its record header: set by
	// the probe callback, read by the record callback, both on the main
	// thread inside dtrace_work.
	uint64_t firing_ns;

	// Instances that share the live consumer: the first one set up opens
	// it, the last one stopped closes it.  Taken by the callbacks only.
	std::mutex session_lock;
	bool attached[DTRACE_MAX_INSTANCES];
	unsigned nattached;

	// The loop's hold on the handle: `in_work` is set while the main
	// thread is inside dtrace_work or dtrace_sleep.  Never held across
	// those calls, so the loop and the callbacks cannot deadlock on it.
	std::mutex loop_lock;
	std::condition_variable loop_idle;
	bool in_work;
	// Wakes the idle loop when a start sets `running`, so that it begins
	// draining at once rather than after its idle sleep.
	std::condition_variable started;
};

#endif
