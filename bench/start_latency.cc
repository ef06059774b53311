// Session start latency: the time from a session's start (the return of
// PerfettoTracingSessionStartBlocking) to the daemon's first packet, per
// daemon, with each daemon's loop on a thread of its own as main runs it.
// "before" runs the loop with a plain sleep while idle, as the daemons did
// before a start woke them; "after" with the daemon's own sleep.  Then the
// power daemon's achieved sampling rate over two seconds of a session.
//
// Usage: start_latency RESULTS_FILE [SESSIONS]; results go to the file as
// "daemon mode mean_ms max_ms" lines and "power_rate_hz VALUE", the daemons'
// own lines to standard output.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dtrace/consumer.h"
#include "harness/tracing.h"
#include "perfetto/public/abi/data_source_abi.h"
#include "power/power_callbacks.h"
#include "power/power_loop.h"
#include "runtime/packet.h"
#include "sim/dtrace.h"
#include "sim/kernel.h"
#include "sysstats/sysstats.h"

// Every packet a daemon ends goes through here (-Wl,--wrap).
extern "C" void __real_PerfettoDsTracerImplPacketEnd(
    struct PerfettoDsTracerImpl *, struct PerfettoStreamWriter *);

static std::atomic<uint64_t> first_packet_ns{ 0 };
static std::atomic<uint64_t> packets{ 0 };

extern "C" void
__wrap_PerfettoDsTracerImplPacketEnd(struct PerfettoDsTracerImpl *t,
    struct PerfettoStreamWriter *w)
{
	__real_PerfettoDsTracerImplPacketEnd(t, w);
	uint64_t none = 0;
	first_packet_ns.compare_exchange_strong(none, monotonic_ns());
	packets.fetch_add(1, std::memory_order_relaxed);
}

static struct fbsd_power_state power_st = {};
static struct ds_registration power_reg = DS_REGISTRATION_INIT;
static struct dtrace_consumer_state kfunc_st;

static std::atomic<bool> quit{ false };
static bool before;

static void
plain_power_sleep(struct fbsd_power_state *, unsigned int usec, bool)
{
	usleep(usec);
}

static void
plain_idle_sleep(unsigned int usec)
{
	usleep(usec);
}

static void
kfunc_idle_sleep(unsigned int usec)
{
	dtrace_idle_wait(&kfunc_st, usec);
}

static void
power_loop(void)
{
	while (!quit.load(std::memory_order_acquire))
		fbsd_power_loop_iteration(&power_reg, &power_st,
		    before ? plain_power_sleep : fbsd_power_sleep);
}

static void
kfunc_loop(void)
{
	while (!quit.load(std::memory_order_acquire))
		dtrace_consumer_pass(&kfunc_st,
		    before ? plain_idle_sleep : kfunc_idle_sleep);
}

static void
sysstats_loop(void)
{
	while (!quit.load(std::memory_order_acquire)) {
		sysstats_pass();
		usleep(SYSSTATS_PERIOD_US);
	}
}

static void
sleep_ms(unsigned ms)
{
	usleep(ms * 1000);
}

struct daemon {
	const char *name;
	const char *data_source;
	std::string config;
	void (*loop)(void);
	// What the kernel does as the session starts (a probe firing).
	void (*kernel)(void);
};

// A firing of the traced function at once: the kernel's part takes no
// time, what is measured is the loop's.
static void
fire_now(void)
{
	sim_dtrace_fire(sim_dtrace_firing{ 0, "fbt", "kernel", "f", "entry",
	    monotonic_ns(), 0 });
}

// Latencies in ms of `n` sessions, each started at a random phase of the
// loop; -1 for a session that saw no packet within 3 s.
static std::vector<double>
latencies(const struct daemon &d, int n)
{
	std::vector<double> out;
	quit.store(false, std::memory_order_release);
	std::thread loop(d.loop);
	for (int i = 0; i < n; i++) {
		sleep_ms(50 + (unsigned)(rand() % 400));
		first_packet_ns.store(0);
		struct test_session *s = session_start(d.data_source, d.config);
		uint64_t t0 = monotonic_ns();
		if (d.kernel != nullptr)
			d.kernel();
		uint64_t first = 0;
		for (int waited = 0; waited < 3000 && first == 0; waited++) {
			first = first_packet_ns.load();
			if (first == 0)
				sleep_ms(1);
		}
		first = first_packet_ns.load();
		if (first == 0)
			out.push_back(-1);
		else
			out.push_back(first <= t0 ? 0 : (double)(first - t0) / 1e6);
		session_read_and_destroy(s);
	}
	quit.store(true, std::memory_order_release);
	loop.join();
	return out;
}

// Sampling passes per second over two seconds of one session.
static double
power_rate(void)
{
	before = false;
	quit.store(false, std::memory_order_release);
	std::thread loop(power_loop);
	struct test_session *s = session_start("freebsd.power");
	sleep_ms(100);
	uint64_t p0 = packets.load(), t0 = monotonic_ns();
	sleep_ms(2000);
	uint64_t p1 = packets.load(), t1 = monotonic_ns();
	session_read_and_destroy(s);
	quit.store(true, std::memory_order_release);
	loop.join();
	// Four rails and a battery packet per pass.
	return (double)(p1 - p0) / 5 / ((double)(t1 - t0) / 1e9);
}

int
main(int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, "usage: start_latency RESULTS_FILE [SESSIONS]\n");
		return 64;
	}
	FILE *results = fopen(argv[1], "w");
	if (results == NULL) {
		perror(argv[1]);
		return 73;
	}
	int n = argc > 2 ? atoi(argv[2]) : 8;
	srand((unsigned)time(NULL));
	setvbuf(stdout, NULL, _IOLBF, 0);

	sim_kernel_reset();
	sim_dtrace_set_functions({ "f" });
	sim_dtrace_set_autofire(false);
	tracing_init_in_process();
	sysstats_start();
	fbsd_power_register(&power_reg, &power_st);
	kfunc_start(&kfunc_st);

	const struct daemon daemons[] = {
		{ "sysstats", SYSSTATS_DATA_SOURCE, "", sysstats_loop, nullptr },
		{ "power", "freebsd.power", "", power_loop, nullptr },
		{ "kfunc", "dtrace", pb_bytes_field(143, pb_bytes_field(1, "f")),
		    kfunc_loop, fire_now },
	};
	for (const struct daemon &d : daemons) {
		for (int mode = 0; mode < 2; mode++) {
			before = mode == 0;
			std::vector<double> l = latencies(d, n);
			double sum = 0, max = 0;
			int missed = 0;
			for (double v : l) {
				if (v < 0) {
					missed++;
					continue;
				}
				sum += v;
				max = std::max(max, v);
			}
			int seen = (int)l.size() - missed;
			fprintf(results, "%s %s %.3f %.3f %d\n", d.name,
			    before ? "before" : "after",
			    seen ? sum / seen : -1.0, max, missed);
		}
	}
	fprintf(results, "power_rate_hz %.1f\n", power_rate());
	fclose(results);
	fflush(stdout);
	// The SDK's threads and the daemons' state live to the end.
	_exit(0);
}
