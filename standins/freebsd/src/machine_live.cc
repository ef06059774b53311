// The moving parts of a machine from a machine file.
//
// Counters behind sysctl nodes are computed when the node is read.  Disk
// statistics records and kernel function firings have no such hook: a
// thread of the simulation, started with the first machine that has any,
// brings them about every TICK_NS.  The thread holds the lock while it
// updates the simulation, so that nothing of a machine reaches the
// simulation once machine_live_reset has returned.
#include <math.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "machine_live.h"
#include "sim/dtrace.h"
#include "sim/kernel.h"
#include "sim/sysstats.h"

namespace {

const uint64_t TICK_NS = 5000000;
// The simulation does not know when a consumer started tracing: a firing
// reaches it up to MAX_LAG_NS after its time, and one that the thread could
// not bring about by then (it was not scheduled, say) is skipped.  So a
// consumer that has just started may get firings from up to MAX_LAG_NS
// before its dtrace_go.
const double MAX_LAG_NS = 50e6;

struct Live {
	std::mutex mu;
	std::condition_variable wake;
	uint64_t origin_ns = 0;
	live_machine m;
	// Per stream, the nominal time of its next firing, ns after origin.
	std::vector<double> next;
	// Per CPU, when the firing it runs ends (ns after origin).
	std::map<int, double> busy_until;
	bool thread_started = false;
	bool stopping = false;
};

// Never destroyed: readers and the thread may run until the process ends.
Live &
live()
{
	static Live *l = new Live;
	return *l;
}

uint64_t
now_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

// Seconds since installation (caller holds mu).
double
seconds_locked(const Live &l)
{
	return (double)(now_ns() - l.origin_ns) / 1e9;
}

void
gen_cp_times(std::string *out, void *)
{
	Live &l = live();
	std::lock_guard<std::mutex> lock(l.mu);
	double s = seconds_locked(l);
	int rows = 0;
	for (const live_cpu &c : l.m.cpus)
		rows = std::max(rows, c.id + 1);
	std::vector<long> v((size_t)rows * CPUSTATES, 0);
	for (const live_cpu &c : l.m.cpus)
		for (int slot = 0; slot < CPUSTATES; slot++)
			v[(size_t)c.id * CPUSTATES + slot] =
			    (long)live_value(c.ticks[slot], s);
	out->assign(reinterpret_cast<const char *>(v.data()),
	    v.size() * sizeof(long));
}

void
gen_cp_time(std::string *out, void *)
{
	Live &l = live();
	std::lock_guard<std::mutex> lock(l.mu);
	double s = seconds_locked(l);
	long sum[CPUSTATES] = {};
	for (const live_cpu &c : l.m.cpus)
		for (int slot = 0; slot < CPUSTATES; slot++)
			sum[slot] += (long)live_value(c.ticks[slot], s);
	out->assign(reinterpret_cast<const char *>(sum), sizeof sum);
}

void
gen_intrcnt(std::string *out, void *)
{
	Live &l = live();
	std::lock_guard<std::mutex> lock(l.mu);
	double s = seconds_locked(l);
	for (const live_counter &c : l.m.interrupts) {
		unsigned long v = live_value(c, s);
		out->append(reinterpret_cast<const char *>(&v), sizeof v);
	}
}

// `arg` is the index of the CPU's entry in m.idle: a reader that took the
// node just before a new machine came finds another entry, or none.
void
gen_cx_durations(std::string *out, void *arg)
{
	Live &l = live();
	std::lock_guard<std::mutex> lock(l.mu);
	size_t i = (size_t)reinterpret_cast<uintptr_t>(arg);
	if (i >= l.m.idle.size())
		return;
	double s = seconds_locked(l);
	std::string text;
	for (const live_counter &c : l.m.idle[i].states) {
		if (!text.empty())
			text += ' ';
		text += std::to_string(live_value(c, s));
	}
	out->assign(text.c_str(), text.size() + 1);
}

void
update_disks_locked(Live &l)
{
	double s = seconds_locked(l);
	for (const live_disk &d : l.m.disks) {
		sim_disk_stats st{};
		st.bytes_read = live_value(d.counters[0], s);
		st.bytes_written = live_value(d.counters[1], s);
		st.reads = live_value(d.counters[2], s);
		st.writes = live_value(d.counters[3], s);
		st.read_time = sim_bintime_ns(live_value(d.counters[4], s));
		st.write_time = sim_bintime_ns(live_value(d.counters[5], s));
		sim_geom_set_stats(d.provider.c_str(), &st);
	}
}

void
emit_locked(const Live &l, const live_stream &st, double at, double dur)
{
	sim_dtrace_firing f{};
	f.cpu = st.cpu;
	f.function = st.function;
	f.timestamp = l.origin_ns + (uint64_t)at;
	f.records = 0;
	if (!st.fbt) {
		f.provider = "kinst";
		f.name = std::to_string(st.offset);
		sim_dtrace_fire(f);
		return;
	}
	f.provider = "fbt";
	f.module = "kernel";
	f.name = "entry";
	sim_dtrace_fire(f);
	f.name = "return";
	f.timestamp = l.origin_ns + (uint64_t)(at + dur);
	sim_dtrace_fire(f);
}

double
period_ns(const live_stream &st)
{
	return 1e9 / st.per_second;
}

// Fires, CPU by CPU in time order, every firing that has ended by `now`
// (ns after origin).  A firing due while its CPU is busy starts 1 ns after
// the CPU is free, so that the slices of a CPU never overlap.
void
fire_locked(Live &l, double now)
{
	std::vector<live_stream> &streams = l.m.streams;
	if (sim_dtrace_consumers_open() == 0) {
		// Nobody to see them: skip to the next firing after now.
		for (size_t i = 0; i < streams.size(); i++) {
			double p = period_ns(streams[i]);
			if (l.next[i] <= now)
				l.next[i] += ceil((now - l.next[i]) / p + 1e-9) * p;
		}
		for (auto &cpu : l.busy_until)
			cpu.second = -1;
		return;
	}
	for (size_t i = 0; i < streams.size(); i++) {
		double p = period_ns(streams[i]);
		if (now - l.next[i] > MAX_LAG_NS)
			l.next[i] += ceil((now - MAX_LAG_NS - l.next[i]) / p) * p;
	}
	for (auto &cpu : l.busy_until) {
		for (;;) {
			size_t best = streams.size();
			for (size_t i = 0; i < streams.size(); i++)
				if (streams[i].cpu == cpu.first &&
				    (best == streams.size() || l.next[i] < l.next[best]))
					best = i;
			if (best == streams.size() || l.next[best] > now)
				break;
			const live_stream &st = streams[best];
			double dur = st.fbt ? (double)st.duration_ns : 0;
			double at = std::max(l.next[best], cpu.second + 1);
			if (at + dur > now)
				break;
			emit_locked(l, st, at, dur);
			cpu.second = at + dur;
			l.next[best] += period_ns(st);
		}
	}
}

void
stop_thread(void)
{
	Live &l = live();
	std::lock_guard<std::mutex> lock(l.mu);
	l.stopping = true;
	l.wake.notify_all();
}

void
run(void)
{
	Live &l = live();
	std::unique_lock<std::mutex> lock(l.mu);
	for (;;) {
		if (l.stopping)
			return;
		if (l.m.disks.empty() && l.m.streams.empty()) {
			l.wake.wait(lock);
			continue;
		}
		l.wake.wait_for(lock, std::chrono::nanoseconds(TICK_NS));
		if (l.stopping)
			return;
		update_disks_locked(l);
		if (!l.m.streams.empty())
			fire_locked(l, (double)(now_ns() - l.origin_ns));
	}
}

}  // namespace

uint64_t
live_value(const live_counter &c, double seconds)
{
	double grown = floor(c.per_second * seconds);
	if (!(grown > 0))
		return c.start;
	if (grown >= 0x1p64)
		return UINT64_MAX;
	return c.start + (uint64_t)grown;
}

void
machine_live_reset(void)
{
	Live &l = live();
	std::lock_guard<std::mutex> lock(l.mu);
	l.m = live_machine{};
	l.next.clear();
	l.busy_until.clear();
}

void
machine_live_install(const live_machine &m)
{
	Live &l = live();
	{
		std::lock_guard<std::mutex> lock(l.mu);
		l.origin_ns = now_ns();
		l.m = m;
		l.next.clear();
		l.busy_until.clear();
		for (size_t i = 0; i < m.streams.size(); i++) {
			// Spread the streams' phases over their periods.
			double phase = fmod((double)(i + 1) * 0.6180339887, 1.0);
			l.next.push_back(phase * period_ns(m.streams[i]));
			l.busy_until[m.streams[i].cpu] = -1;
		}
	}
	if (m.has_cpus) {
		sim_sysctl_set_dynamic("kern.cp_times", gen_cp_times, nullptr);
		sim_sysctl_set_dynamic("kern.cp_time", gen_cp_time, nullptr);
	}
	if (m.has_interrupts)
		sim_sysctl_set_dynamic("hw.intrcnt", gen_intrcnt, nullptr);
	for (size_t i = 0; i < m.idle.size(); i++) {
		std::string name = "dev.cpu." + std::to_string(m.idle[i].cpu) +
		    ".cx_duration_counters";
		sim_sysctl_set_dynamic(name.c_str(), gen_cx_durations,
		    reinterpret_cast<void *>((uintptr_t)i));
	}

	std::lock_guard<std::mutex> lock(l.mu);
	if (!l.thread_started && (!m.disks.empty() || !m.streams.empty())) {
		l.thread_started = true;
		// Before the static objects of the simulation go at exit.
		atexit(stop_thread);
		std::thread(run).detach();
	}
	l.wake.notify_all();
}
