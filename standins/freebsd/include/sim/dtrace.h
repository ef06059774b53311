// Control of the simulated DTrace facility, for tests.  Every call here is
// thread-safe.
//
// The kernel offers fbt entry and return probes (module "kernel") for each
// function of its function list, and kinst probes "kinst::FUNC:OFFSET" (any
// decimal offset, or an empty name for every instruction) for the same
// functions.  A firing reaches each consumer that is tracing and enabled a
// matching probe; dtrace_work hands it to the callbacks.
//
// dtrace_work lays the queued firings out as the kernel does: a buffer per
// CPU, taken in CPU order, each snapshotted at a time of its own
// (CLOCK_MONOTONIC, later than the firings made by the simulation itself);
// in it every firing is a record header (dtrace_rechdr_t) holding the
// firing's own time, then its data records, 8-byte aligned, at offsets
// counted from the header.  The callbacks see dtpda_data where libdtrace
// puts it: at the header for the probe callback, at header + dtrd_offset
// for each record, and where the last record left it (the header, when
// there is none) for the end-of-firing call.
#ifndef SIM_DTRACE_H
#define SIM_DTRACE_H

#include <stdint.h>

#include <string>
#include <thread>
#include <vector>

struct sim_dtrace_firing {
	int cpu;
	std::string provider;
	std::string module;
	std::string function;
	std::string name;
	uint64_t timestamp;	// ns: the firing's time, in its record header
	unsigned records;	// data records (at most 8) before the
				// end-of-firing call
};

// Empties the DTrace part: no function, no autofire, no failure armed,
// counters and the call log cleared (open consumers stay open).
void sim_dtrace_reset(void);
// The kernel's functions (replaces the list).
void sim_dtrace_set_functions(const std::vector<std::string> &functions);
// Enabled probes of a few busy functions (malloc, free, vm_fault,
// amd64_syscall, when listed) fire by themselves while a consumer works,
// at CLOCK_MONOTONIC times just before the snapshot that carries them.
void sim_dtrace_set_autofire(bool on);

// Queues the firing for every tracing consumer that enabled a matching
// probe; returns how many consumers got it.
unsigned sim_dtrace_fire(const struct sim_dtrace_firing &f);
// Queues it for every tracing consumer, whatever it enabled (a provider the
// consumer cannot name, for instance).
unsigned sim_dtrace_inject(const struct sim_dtrace_firing &f);
// Firings queued and not yet handed out, over all consumers.
unsigned sim_dtrace_pending(void);
// Firings handed to record callbacks so far.
unsigned sim_dtrace_delivered(void);
// Time of the newest buffer snapshot (CLOCK_MONOTONIC ns; 0 before the
// first): what FreeBSD's main branch reports as dtpda_timestamp for every
// firing of that buffer.
uint64_t sim_dtrace_snapshot_ns(void);

// Steps that can be made to fail.
enum sim_dtrace_step {
	SIM_DTRACE_OPEN,
	SIM_DTRACE_SETOPT,
	SIM_DTRACE_COMPILE,
	SIM_DTRACE_EXEC,
	SIM_DTRACE_GO,
	SIM_DTRACE_WORK,
	SIM_DTRACE_STOP,
	SIM_DTRACE_NSTEPS
};
// The next `count` calls of the step fail with `err` (count 0: every call
// until cleared with err 0).  For SIM_DTRACE_SETOPT, `option` limits the
// failure to that option name.
void sim_dtrace_fail(enum sim_dtrace_step step, int err, unsigned count = 0,
                     const char *option = nullptr);
// The next `count` successful dtrace_work calls return `status` (0 or 1).
void sim_dtrace_work_status(int status, unsigned count);
// dtrace_sleep returns after `ns` or as soon as a firing is queued for the
// consumer; dtrace_work spends `ns` extra inside the call.
void sim_dtrace_set_sleep_ns(uint64_t ns);
void sim_dtrace_set_work_delay_ns(uint64_t ns);

// Consumers.
unsigned sim_dtrace_consumers_open(void);	// open now
unsigned sim_dtrace_consumers_opened(void);	// opened since the reset
// Options of the newest open consumer, as "name=value" in order set.
std::vector<std::string> sim_dtrace_options(void);
// Probe descriptions enabled by the newest executed program.
std::vector<std::string> sim_dtrace_enabled(void);

// Calls on consumer handles, in order of entry.  `handle` numbers consumers
// from 1 in order of opening.
struct sim_dtrace_call {
	std::string op;		// "open", "setopt", "compile", "exec", "go",
				// "work", "sleep", "stop", "close", "errno"
	unsigned handle;
	std::thread::id thread;
	uint64_t begin_ns, end_ns;	// CLOCK_MONOTONIC
};
std::vector<struct sim_dtrace_call> sim_dtrace_calls(void);
// Calls that began on a handle while another thread was inside a call on
// the same handle.
unsigned sim_dtrace_overlaps(void);

#endif
