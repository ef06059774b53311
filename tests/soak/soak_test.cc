// Thousands of tracing sessions through each daemon in process: set-up,
// start, samples or firings, stop, destroy; one at a time and two
// overlapping.  After a warm-up, open descriptors, DTrace consumers, threads
// and resident memory stay where they were.
#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <stdio.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "dtrace/consumer.h"
#include "harness/capture.h"
#include "harness/tracing.h"
#include "power/power_callbacks.h"
#include "power/power_loop.h"
#include "sim/dtrace.h"
#include "sim/kernel.h"
#include "sim/power.h"
#include "sysstats/sysstats.h"

namespace {

// Sanitizers slow every session tenfold: fewer rounds there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int ROUNDS = 200;
// Their allocators keep freed memory aside and count none of it in glibc's
// heap: only a loose bound on the resident size holds there.
const long RSS_GROWTH_KB = 256 * 1024;
const bool HEAP_COUNTED = false;
#else
const int ROUNDS = 2000;
const long RSS_GROWTH_KB = 16 * 1024;
const bool HEAP_COUNTED = true;
#endif
// A few pages of the allocator's own bookkeeping.
const size_t HEAP_GROWTH_BYTES = 64 * 1024;
#if __has_include("perfetto_standin/inspect.h")
const int WARMUP = ROUNDS / 2;
const unsigned SERVICE_TIMERS_S = 0;
#else
// The real SDK's in-process service arms timers for every session (its
// periodic snapshot, 10 s; its wait for all data sources to start, 20 s)
// and holds them, some hundred bytes each, until they expire: measure once
// they have.  Its timer queue keeps the room of its longest length, so the
// warm-up queues more of them than the rounds measured.
const int WARMUP = 2 * ROUNDS;
const unsigned SERVICE_TIMERS_S = 21;
#endif
// Every OVERLAP-th round runs two sessions at once.
const int OVERLAP = 4;
const uint32_t BUFFER_KB = 64;

struct resources {
	int fds;
	unsigned consumers;
	unsigned acpi_fds;
	int threads;
	long rss_kb;
	size_t heap_bytes;	// in use, by glibc's count, mapped blocks too
};

int
entries(const char *dir)
{
	DIR *d = opendir(dir);
	int n = 0;
	if (d == nullptr)
		return -1;
	while (struct dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			n++;
	closedir(d);
	return n;
}

long
rss_kb(void)
{
	long size = 0, resident = 0;
	FILE *f = fopen("/proc/self/statm", "r");
	if (f == nullptr)
		return -1;
	if (fscanf(f, "%ld %ld", &size, &resident) != 2)
		resident = -1;
	fclose(f);
	return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

size_t
heap_in_use(void)
{
	struct mallinfo2 m = mallinfo2();
	return m.uordblks + m.hblkhd;
}

struct resources
measure(void)
{
	// What the harness and the simulated kernel freed (captured output,
	// the DTrace call log) goes back to the system, so the resident size
	// counts what is still held.
	malloc_trim(0);
	return { entries("/proc/self/fd"), sim_dtrace_consumers_open(),
	    sim_acpi_open_descriptors(), entries("/proc/self/task"), rss_kb(),
	    heap_in_use() };
}

// One daemon as the soak drives it.
struct daemon {
	const char *name;
	const char *data_source;
	std::string config;
	void (*start)(void);
	void (*samples)(void);	// what the loop does while sessions run
	// Before a measurement: empties what the simulated kernel keeps for
	// tests (the DTrace call log), which is not the daemon's.
	void (*settle)(void);
};

// --- the three daemons ----------------------------------------------------

void
sysstats_begin(void)
{
	sysstats_start();
}

void
sysstats_samples(void)
{
	sysstats_pass();
	sysstats_pass();
}

struct fbsd_power_state power_st = {};
struct ds_registration power_reg = DS_REGISTRATION_INIT;

void
power_begin(void)
{
	fbsd_power_register(&power_reg, &power_st);
}

void
no_sleep(struct fbsd_power_state *, unsigned int, bool)
{
}

void
power_samples(void)
{
	fbsd_power_loop_iteration(&power_reg, &power_st, no_sleep);
	fbsd_power_loop_iteration(&power_reg, &power_st, no_sleep);
}

struct dtrace_consumer_state kfunc_st;

void
kfunc_settle(void)
{
	sim_dtrace_reset();
	sim_dtrace_set_functions({ "f" });
	sim_dtrace_set_sleep_ns(0);
}

void
kfunc_begin(void)
{
	kfunc_settle();
	kfunc_start(&kfunc_st);
}

void
no_idle_sleep(unsigned int)
{
}

void
kfunc_samples(void)
{
	sim_dtrace_fire(sim_dtrace_firing{ 0, "fbt", "kernel", "f", "entry",
	    1000, 0 });
	sim_dtrace_fire(sim_dtrace_firing{ 1, "fbt", "kernel", "f", "return",
	    2000, 0 });
	for (int i = 0; i < 4 && sim_dtrace_pending() > 0; i++)
		dtrace_consumer_pass(&kfunc_st, no_idle_sleep);
}

// One round: a session alone, or two whose lives overlap.
void
round_of(const struct daemon &d, bool overlapping)
{
	struct test_session *a = session_start(d.data_source, d.config,
	    BUFFER_KB);
	d.samples();
	if (!overlapping) {
		session_stop(a);
		session_read_and_destroy(a);
		return;
	}
	struct test_session *b = session_start(d.data_source, d.config,
	    BUFFER_KB);
	d.samples();
	session_stop(a);
	d.samples();
	session_read_and_destroy(a);
	session_stop(b);
	session_read_and_destroy(b);
}

void
print(const char *when, const struct resources &r)
{
	printf("%-6s descriptors %d, DTrace consumers %u, /dev/acpi %u, "
	    "threads %d, RSS %ld KiB, heap in use %zu bytes\n", when, r.fds,
	    r.consumers, r.acpi_fds, r.threads, r.rss_kb, r.heap_bytes);
}

// Names the daemon in test listings instead of dumping the struct's bytes.
void
PrintTo(const struct daemon &d, std::ostream *os)
{
	*os << d.name;
}

class Soak : public ::testing::TestWithParam<struct daemon> {};

// Runs n rounds, then measures what is left once they have settled.
struct resources
rounds_then_measure(const struct daemon &d, int n)
{
	capture_begin();
	for (int i = 0; i < n; i++)
		round_of(d, i % OVERLAP == 0);
	capture_end();
	if (d.settle)
		d.settle();
	sleep(SERVICE_TIMERS_S);
	return measure();
}

TEST_P(Soak, SessionsLeaveNothingBehind)
{
	const struct daemon &d = GetParam();
	sim_kernel_reset();
	tracing_init_in_process();
	capture_begin();
	d.start();
	capture_end();
	struct resources before = rounds_then_measure(d, WARMUP);
	struct resources after = rounds_then_measure(d, ROUNDS);

	printf("%s: %d rounds (%d sessions)\n", d.name, ROUNDS,
	    ROUNDS + ROUNDS / OVERLAP);
	print("before", before);
	print("after", after);
	EXPECT_EQ(after.fds, before.fds);
	EXPECT_EQ(after.consumers, 0u);
	EXPECT_EQ(after.acpi_fds, before.acpi_fds);
	EXPECT_LE(after.threads, before.threads);
	EXPECT_LE(after.rss_kb, before.rss_kb + RSS_GROWTH_KB);
	if (HEAP_COUNTED) {
		EXPECT_LE(after.heap_bytes, before.heap_bytes +
		    HEAP_GROWTH_BYTES);
	}
}

INSTANTIATE_TEST_SUITE_P(Daemons, Soak, ::testing::Values(
    daemon{ "sysstats", SYSSTATS_DATA_SOURCE, "", sysstats_begin,
	sysstats_samples, nullptr },
    daemon{ "power", "freebsd.power", "", power_begin, power_samples,
	nullptr },
    daemon{ "kfunc", "dtrace", pb_bytes_field(143, pb_bytes_field(1, "f")),
	kfunc_begin, kfunc_samples, kfunc_settle }),
    [](const ::testing::TestParamInfo<struct daemon> &info) {
	    return std::string(info.param.name);
    });

}  // namespace
