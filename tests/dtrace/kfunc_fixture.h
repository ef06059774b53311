// The DTrace daemon in a test process: its state record and registration,
// served by the in-process tracing service; configurations built as the
// service hands them; loop passes on the test thread or on a loop thread.
#ifndef TESTS_DTRACE_KFUNC_FIXTURE_H
#define TESTS_DTRACE_KFUNC_FIXTURE_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dtrace/consumer.h"
#include "harness/capture.h"
#include "harness/tracing.h"
#include "sim/dtrace.h"

// One daemon per test process (ctest runs each test alone), like main's.
extern struct dtrace_consumer_state kfunc_state;

// A quiet simulated kernel with the functions f, g and h (no firing of
// its own, short dtrace_sleep), then the daemon's start-up.
void kfunc_daemon_start(void);

// DtraceConfig entries: (field number, bytes).
typedef std::vector<std::pair<uint32_t, std::string>> dtrace_entries;
std::string dtrace_config(const dtrace_entries &entries);
// The DataSourceConfig fields the service sets around field 143.
std::string service_config(const std::string &field143);

// Starts a "dtrace" session whose DataSourceConfig carries `extra` after
// its name; what setup printed goes to `out` and `err` when given.
struct test_session *kfunc_session_start(const std::string &extra,
                                         std::string *out = nullptr,
                                         std::string *err = nullptr);
// Stops it, returns the trace; what stop and destroy printed to `out`.
std::string kfunc_session_finish(struct test_session *s,
                                 std::string *out = nullptr);

// Idle sleeps the loop asked for, and the last period asked.
extern std::atomic<unsigned> idle_sleeps;
extern std::atomic<unsigned> last_idle_us;
// A loop pass that records its idle sleep and sleeps only 1 ms.
void loop_pass(void);
// Passes until no firing is left queued (at most `max` passes).
void drain(int max = 20);

// The consumer loop on a thread of its own, as main runs it.
struct loop_thread {
	std::atomic<bool> quit{ false };
	std::thread thread;
};
void loop_thread_start(struct loop_thread *lt);
void loop_thread_stop(struct loop_thread *lt);

// A firing with no data record.
struct sim_dtrace_firing firing(int cpu, const char *provider,
                                const char *function, const char *name,
                                uint64_t timestamp);

// Calls the probe and record callbacks as dtrace_work does for one fbt
// entry firing of f on CPU 0 at `ns`, without data records; returns what
// the record callback returned for the end of the firing.
int consume_directly(uint64_t ns);

// The track events of a trace, in order.
std::vector<perfetto::protos::TracePacket> event_packets(const std::string &t);

#endif
