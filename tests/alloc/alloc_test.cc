// Heap allocations in the daemons' steady state: none in a power pass, in
// the CPU-time, interrupt, frequency and idle-state sections or in a DTrace
// firing; the disk section's statistics snapshot is the one exception, and
// is freed within its pass.  The SDK's and the kernel's allocations are
// counted apart (alloc_count.h) and only printed: they are not the
// daemons'.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "alloc_count.h"
#include "dtrace/consumer.h"
#include "harness/capture.h"
#include "harness/tracing.h"
#include "power/power_callbacks.h"
#include "power/power_pass.h"
#include "runtime/packet.h"
#include "sim/dtrace.h"
#include "sim/kernel.h"
#include "sysstats/cpu_data.h"
#include "sysstats/cpufreq_data.h"
#include "sysstats/cpuidle_data.h"
#include "sysstats/disk_data.h"
#include "sysstats/intrcnt_data.h"
#include "sysstats/sysstats.h"

namespace {

// Passes run before counting: first uses (the SDK's per-thread writer, the
// first sample's tables) are not the steady state.
const int WARMUP = 20;
const int PASSES = 100;

#define SKIP_WITHOUT_HOOK()                                              \
	do {                                                             \
		if (!alloc_counting_available())                         \
			GTEST_SKIP() << "a sanitizer's malloc stands in "  \
			    "for the counting hook";                        \
	} while (0)

void
print_counts(const char *what, const struct alloc_counts &c, int passes)
{
	printf("%-28s per pass: daemon %.2f, SDK %.2f, kernel %.2f\n", what,
	    (double)c.daemon / passes, (double)c.sdk / passes,
	    (double)c.kernel / passes);
}

// --- Power ------------------------------------------------------------------

struct fbsd_power_state power_st = {};
struct ds_registration power_reg = DS_REGISTRATION_INIT;

void
power_pass(void)
{
	fbsd_power_rapl_pass(&power_reg, &power_st);
	fbsd_power_battery_pass(&power_reg, &power_st);
}

// Five packets of the pass's sizes, written from the values it left: what
// the SDK itself takes to carry a pass.
void
bare_payload(struct PerfettoPbMsg *msg, void *arg)
{
	const std::string *bytes = (const std::string *)arg;
	PerfettoPbMsgAppendBytes(msg, (const uint8_t *)bytes->data(),
	    bytes->size());
}

const std::string bare_rail(60, 'r'), bare_battery(30, 'b');

void
bare_instance(struct PerfettoDsTracerImpl *tracer, void *)
{
	for (int i = 0; i < 4; i++)
		packet_frame(tracer, TRACE_PACKET_POWER_RAILS, bare_payload,
		    (void *)&bare_rail);
	packet_frame(tracer, TRACE_PACKET_BATTERY, bare_payload,
	    (void *)&bare_battery);
}

TEST(Allocations, PowerPassAllocatesNothing)
{
	SKIP_WITHOUT_HOOK();
	tracing_init_in_process();
	fbsd_power_register(&power_reg, &power_st);
	capture_begin();
	struct test_session *s = session_start("freebsd.power");
	capture_end();

	for (int i = 0; i < WARMUP; i++)
		power_pass();
	alloc_count_begin();
	for (int i = 0; i < PASSES; i++)
		power_pass();
	struct alloc_counts pass = alloc_count_end();

	alloc_count_begin();
	for (int i = 0; i < PASSES; i++)
		if (ds_is_enabled(&power_reg))
			for_each_instance(&power_reg, bare_instance, nullptr);
	struct alloc_counts bare = alloc_count_end();

	std::string trace = session_read_and_destroy(s);
	print_counts("power pass", pass, PASSES);
	print_counts("bare write of its packets", bare, PASSES);
	EXPECT_EQ(pass.daemon, 0u);
	EXPECT_EQ(bare.daemon, 0u);
	// The SDK's part is what a bare write of the same packets costs it,
	// give or take a chunk boundary per pass.
	EXPECT_LE(pass.sdk, bare.sdk + PASSES);
	// The pass reached the SDK: its packets are in the trace.
	EXPECT_GE(producer_packets_raw(trace, TRACE_PACKET_POWER_RAILS).size(),
	    (size_t)4 * PASSES);
	EXPECT_GE(producer_packets_raw(trace, TRACE_PACKET_BATTERY).size(),
	    (size_t)PASSES);
}

// --- Statistics ---------------------------------------------------------------

struct section {
	const char *name;
	void (*populate)(struct PerfettoPbMsg *);
	// Allocations a pass of the section may make, each freed within it.
	uint64_t bound;
};

// The disk section takes a statistics snapshot per pass: libgeom
// allocates it (FreeBSD's takes two blocks: the snapshot and its record
// pages) and the section frees it before it returns.
const uint64_t DISK_SNAPSHOT_ALLOCATIONS = 2;

const struct section sections[] = {
	{ "disks", populate_disk_data, DISK_SNAPSHOT_ALLOCATIONS },
	{ "interrupts", populate_intrcnt_data, 0 },
	{ "CPU times", populate_cpu_data, 0 },
	{ "CPU frequencies", populate_cpufreq_data, 0 },
	{ "idle states", populate_cpuidle_data, 0 },
};
const int NSECTIONS = sizeof sections / sizeof sections[0];

struct alloc_counts section_counts[NSECTIONS];

// A SysStats packet whose sections are counted one by one.
void
counted_sections(struct PerfettoPbMsg *msg, void *)
{
	for (int i = 0; i < NSECTIONS; i++) {
		alloc_count_begin();
		sections[i].populate(msg);
		struct alloc_counts c = alloc_count_end();
		section_counts[i].daemon += c.daemon;
		section_counts[i].sdk += c.sdk;
		section_counts[i].kernel += c.kernel;
		section_counts[i].daemon_frees += c.daemon_frees;
	}
}

void
counted_instance(struct PerfettoDsTracerImpl *tracer, void *)
{
	packet_frame(tracer, TRACE_PACKET_SYS_STATS, counted_sections, nullptr);
}

TEST(Allocations, StatisticsSectionsAllocateOnlyTheDiskSnapshot)
{
	SKIP_WITHOUT_HOOK();
	sim_kernel_reset();
	tracing_init_in_process();
	capture_begin();
	sysstats_start();
	capture_end();
	struct test_session *s = session_start(SYSSTATS_DATA_SOURCE);

	for (int i = 0; i < WARMUP; i++)
		sysstats_pass();
	alloc_count_begin();
	for (int i = 0; i < PASSES; i++)
		sysstats_pass();
	struct alloc_counts whole = alloc_count_end();
	memset(section_counts, 0, sizeof section_counts);
	for (int i = 0; i < PASSES; i++)
		if (ds_is_enabled(&sysstats_ds))
			for_each_instance(&sysstats_ds, counted_instance,
			    nullptr);

	std::string trace = session_read_and_destroy(s);
	print_counts("statistics pass", whole, PASSES);
	uint64_t sum = 0;
	for (int i = 0; i < NSECTIONS; i++) {
		const struct alloc_counts &c = section_counts[i];
		print_counts(sections[i].name, c, PASSES);
		EXPECT_LE(c.daemon, sections[i].bound * PASSES)
		    << sections[i].name;
		// What a section allocates it frees within the pass.
		EXPECT_EQ(c.daemon_frees, c.daemon) << sections[i].name;
		sum += c.daemon;
	}
	// The snapshot is taken: the exception is real, not a miscount.
	EXPECT_GT(section_counts[0].daemon, 0u);
	EXPECT_EQ(whole.daemon, sum);
	EXPECT_EQ(producer_packets_raw(trace, TRACE_PACKET_SYS_STATS).size(),
	    (size_t)(WARMUP + 2 * PASSES));
}

// --- DTrace -------------------------------------------------------------------

struct dtrace_consumer_state kfunc_st;

// What dtrace_work hands the callbacks for one firing without data records.
struct firing {
	dtrace_rechdr_t hdr;
	dtrace_probedesc_t pd;
	dtrace_probedata_t data;
};

void
make_firing(struct firing *f, int cpu, const char *provider,
    const char *func, const char *name, uint64_t ns)
{
	memset(f, 0, sizeof *f);
	f->hdr.dtrh_epid = 1;
	DTRACE_RECORD_STORE_TIMESTAMP(&f->hdr, ns);
	strcpy(f->pd.dtpd_provider, provider);
	strcpy(f->pd.dtpd_func, func);
	strcpy(f->pd.dtpd_name, name);
	f->data.dtpda_pdesc = &f->pd;
	f->data.dtpda_cpu = cpu;
	f->data.dtpda_data = (caddr_t)&f->hdr;
}

void
consume(struct firing *f)
{
	dtrace_probe_cb(&f->data, &kfunc_st);
	dtrace_record_cb(&f->data, nullptr, &kfunc_st);
}

TEST(Allocations, DtraceFiringAllocatesNothing)
{
	SKIP_WITHOUT_HOOK();
	sim_kernel_reset();
	sim_dtrace_set_autofire(false);
	sim_dtrace_set_functions({ "f" });
	tracing_init_in_process();
	kfunc_start(&kfunc_st);
	capture_begin();
	// Two instances: every firing is written twice.
	struct test_session *s1 = session_start("dtrace",
	    pb_bytes_field(143, pb_bytes_field(1, "f")));
	struct test_session *s2 = session_start("dtrace",
	    pb_bytes_field(143, pb_bytes_field(1, "f")));
	capture_end();

	static struct firing firings[4];
	make_firing(&firings[0], 0, "fbt", "f", "entry", 1000);
	make_firing(&firings[1], 1, "fbt", "f", "return", 2000);
	make_firing(&firings[2], 2, "kinst", "f", "4", 3000);
	make_firing(&firings[3], 3, "syscall", "read", "entry", 4000);
	for (int i = 0; i < WARMUP; i++)
		consume(&firings[i % 4]);
	alloc_count_begin();
	for (int i = 0; i < PASSES; i++)
		consume(&firings[i % 4]);
	// A CPU seen for the first time, and one past the kept tracks.
	struct firing fresh, far;
	make_firing(&fresh, 700, "fbt", "f", "entry", 5000);
	make_firing(&far, 5000, "fbt", "f", "entry", 6000);
	consume(&fresh);
	consume(&far);
	struct alloc_counts c = alloc_count_end();

	capture_begin();
	session_stop(s1);
	session_stop(s2);
	capture_end();
	std::string t1 = session_read_and_destroy(s1);
	session_read_and_destroy(s2);
	print_counts("DTrace firing, 2 instances", c, PASSES + 2);
	EXPECT_EQ(c.daemon, 0u);
	EXPECT_EQ(producer_packets_raw(t1, TRACE_PACKET_TRACK_EVENT).size(),
	    (size_t)(WARMUP + PASSES + 2));
}

}  // namespace
