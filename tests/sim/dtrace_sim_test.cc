// The simulated libdtrace: declarations, compiler, consumer lifecycle,
// delivery of firings and failures on demand.
#include <dtrace.h>

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/dtrace.h"
#include "sim/kernel.h"

static_assert(sizeof(dtrace_probedesc_t) == 388);
static_assert(offsetof(dtrace_probedesc_t, dtpd_provider) == 4);
static_assert(offsetof(dtrace_probedesc_t, dtpd_mod) == 68);
static_assert(offsetof(dtrace_probedesc_t, dtpd_func) == 132);
static_assert(offsetof(dtrace_probedesc_t, dtpd_name) == 324);
static_assert(DTRACE_PROVNAMELEN == 64 && DTRACE_MODNAMELEN == 64 &&
              DTRACE_FUNCNAMELEN == 192 && DTRACE_NAMELEN == 64);
// FreeBSD 13.x and 14.0: no dtpda_timestamp after dtpda_indent.
static_assert(sizeof(dtrace_probedata_t) == 64);
static_assert(offsetof(dtrace_probedata_t, dtpda_handle) == 0);
static_assert(offsetof(dtrace_probedata_t, dtpda_edesc) == 8);
static_assert(offsetof(dtrace_probedata_t, dtpda_pdesc) == 16);
static_assert(offsetof(dtrace_probedata_t, dtpda_cpu) == 24);
static_assert(offsetof(dtrace_probedata_t, dtpda_data) == 32);
static_assert(offsetof(dtrace_probedata_t, dtpda_flow) == 40);
static_assert(offsetof(dtrace_probedata_t, dtpda_prefix) == 48);
static_assert(offsetof(dtrace_probedata_t, dtpda_indent) == 56);
static_assert(sizeof(dtrace_rechdr_t) == 12 && alignof(dtrace_rechdr_t) == 4);
static_assert(offsetof(dtrace_rechdr_t, dtrh_epid) == 0);
static_assert(offsetof(dtrace_rechdr_t, dtrh_timestamp_hi) == 4);
static_assert(offsetof(dtrace_rechdr_t, dtrh_timestamp_lo) == 8);
static_assert(sizeof(dtrace_recdesc_t) == 32);
static_assert(offsetof(dtrace_recdesc_t, dtrd_size) == 4);
static_assert(offsetof(dtrace_recdesc_t, dtrd_offset) == 8);
static_assert(offsetof(dtrace_recdesc_t, dtrd_alignment) == 12);
static_assert(offsetof(dtrace_recdesc_t, dtrd_format) == 14);
static_assert(offsetof(dtrace_recdesc_t, dtrd_arg) == 16);
static_assert(offsetof(dtrace_recdesc_t, dtrd_uarg) == 24);
static_assert(sizeof(dtrace_attribute_t) == 3);
static_assert(sizeof(dtrace_proginfo_t) == 24);
static_assert(sizeof(dtrace_optval_t) == 8 && sizeof(processorid_t) == 4);
static_assert(DTRACE_VERSION == 3);
static_assert(DTRACE_PROBESPEC_NONE == -1 && DTRACE_PROBESPEC_PROVIDER == 0 &&
              DTRACE_PROBESPEC_MOD == 1 && DTRACE_PROBESPEC_FUNC == 2 &&
              DTRACE_PROBESPEC_NAME == 3);
static_assert(DTRACE_CONSUME_ERROR == -1 && DTRACE_CONSUME_THIS == 0 &&
              DTRACE_CONSUME_NEXT == 1 && DTRACE_CONSUME_ABORT == 2);
static_assert(DTRACE_WORKSTATUS_ERROR == -1 && DTRACE_WORKSTATUS_OKAY == 0 &&
              DTRACE_WORKSTATUS_DONE == 1);
static_assert(DTRACE_STATUS_NONE == 0 && DTRACE_STATUS_OKAY == 1 &&
              DTRACE_STATUS_EXITED == 2 && DTRACE_STATUS_FILLED == 3 &&
              DTRACE_STATUS_STOPPED == 4);
static_assert(DTRACE_O_NODEV == 1 && DTRACE_O_NOSYS == 2 &&
              DTRACE_O_LP64 == 4 && DTRACE_O_ILP32 == 8);
static_assert(DTRACE_C_EMPTY == 2 && DTRACE_C_ZDEFS == 4);
static_assert(DTRACEACT_NONE == 0 && DTRACEACT_DIFEXPR == 1 &&
              DTRACEACT_EXIT == 2 && DTRACEACT_PRINTF == 3 &&
              DTRACEACT_PRINTA == 4);

namespace {

// What the callbacks saw: one entry per record callback call, with the
// firing's record header as the probe callback found it.
struct seen {
	bool with_record;
	int cpu;
	std::string provider, module, function, name;
	uint64_t timestamp;	// from the record header
	dtrace_epid_t epid;
	uintptr_t header;	// address of the record header
	ptrdiff_t data_at;	// dtpda_data, from the header
	uint32_t rec_offset;	// dtrd_offset of the record, if any
};

struct consumed {
	std::vector<seen> calls;
	const char *header = nullptr;
	unsigned probes = 0;
};

int
note_header(const dtrace_probedata_t *d, void *arg)
{
	auto *c = (consumed *)arg;
	c->header = d->dtpda_data;
	c->probes++;
	return DTRACE_CONSUME_THIS;
}

int
collect(const dtrace_probedata_t *d, const dtrace_recdesc_t *rec, void *arg)
{
	auto *c = (consumed *)arg;
	const dtrace_probedesc_t *pd = d->dtpda_pdesc;
	dtrace_rechdr_t hdr;
	memcpy(&hdr, c->header, sizeof(hdr));
	c->calls.push_back(seen{ rec != nullptr, d->dtpda_cpu, pd->dtpd_provider,
	    pd->dtpd_mod, pd->dtpd_func, pd->dtpd_name,
	    DTRACE_RECORD_LOAD_TIMESTAMP(&hdr), hdr.dtrh_epid,
	    (uintptr_t)c->header, d->dtpda_data - c->header,
	    rec != nullptr ? rec->dtrd_offset : 0 });
	return DTRACE_CONSUME_THIS;
}

uint64_t
monotonic_now(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

dtrace_hdl_t *
open_ok(void)
{
	int err = -1;
	dtrace_hdl_t *h = dtrace_open(DTRACE_VERSION, 0, &err);
	EXPECT_NE(h, nullptr) << err;
	return h;
}

// A started consumer of `text`.
dtrace_hdl_t *
start(const char *text)
{
	dtrace_hdl_t *h = open_ok();
	dtrace_prog_t *p = dtrace_program_strcompile(h, text,
	    DTRACE_PROBESPEC_NAME, 0, 0, nullptr);
	EXPECT_NE(p, nullptr) << dtrace_errmsg(h, dtrace_errno(h));
	dtrace_proginfo_t info;
	EXPECT_EQ(dtrace_program_exec(h, p, &info), 0);
	EXPECT_EQ(dtrace_go(h), 0);
	return h;
}

class SimDtrace : public ::testing::Test {
protected:
	void SetUp() override
	{
		sim_kernel_reset();
		sim_dtrace_set_autofire(false);
		sim_dtrace_set_functions({ "vm_fault", "vm_map", "malloc" });
	}
};

TEST_F(SimDtrace, CompilerAcceptsDescriptionsThatMatch)
{
	struct {
		const char *text;
		unsigned matches;
	} ok[] = {
		{ "fbt:kernel:vm_fault:entry\nfbt:kernel:vm_fault:return\n", 2 },
		{ "fbt:kernel:vm_*:entry\n", 2 },
		{ "fbt:kernel::entry\n", 3 },
		{ "fbt:kernel:vm_fault:\n", 2 },
		{ "kinst::vm_fault:4\n", 1 },
		{ "kinst::vm_map:\n", 1 },
		{ "  fbt:kernel:malloc:return  \n\n", 1 },
	};
	for (const auto &c : ok) {
		dtrace_hdl_t *h = open_ok();
		dtrace_prog_t *p = dtrace_program_strcompile(h, c.text,
		    DTRACE_PROBESPEC_NAME, 0, 0, nullptr);
		ASSERT_NE(p, nullptr) << c.text << ": "
		    << dtrace_errmsg(h, dtrace_errno(h));
		dtrace_proginfo_t info;
		ASSERT_EQ(dtrace_program_exec(h, p, &info), 0);
		EXPECT_EQ(info.dpi_matches, c.matches) << c.text;
		dtrace_close(h);
	}
}

TEST_F(SimDtrace, CompilerRejectsWithLibdtraceMessages)
{
	struct {
		const char *text;
		const char *msg;
	} bad[] = {
		{ "fbt:kernel:nosuch:entry\n",
		  "probe description fbt:kernel:nosuch:entry does not match any "
		  "probes" },
		{ "fbt:kernel:vm_fault:entry\nfbt:kernel:nosuch:return\n",
		  "probe description fbt:kernel:nosuch:return does not match any "
		  "probes" },
		// Three components fill from the name: no module "kinst".
		{ "kinst::vm_fault\n",
		  "probe description :kinst::vm_fault does not match any probes" },
		{ "kinst::vm_fault:x4\n",
		  "probe description kinst::vm_fault:x4 does not match any probes" },
		{ "fbt:kernel:f:entry { trace(1); }\n",
		  "line 1: syntax error near \" \"" },
		{ "fbt:kernel:vm_fault:entry\n/arg0/\n",
		  "line 2: syntax error near \"/\"" },
		{ "a:b:c:d:e\n", "line 1: invalid probe description \"a:b:c:d:e\": "
		  "too many components" },
		{ "", "empty D program translation unit" },
		{ "\n  \n\t\n", "empty D program translation unit" },
	};
	for (const auto &c : bad) {
		dtrace_hdl_t *h = open_ok();
		EXPECT_EQ(dtrace_program_strcompile(h, c.text,
		    DTRACE_PROBESPEC_NAME, 0, 0, nullptr), nullptr) << c.text;
		int err = dtrace_errno(h);
		EXPECT_GE(err, 1000) << c.text;
		EXPECT_STREQ(dtrace_errmsg(h, err), c.msg);
		dtrace_close(h);
	}
	// Zero matches and an empty program allowed on request.
	dtrace_hdl_t *h = open_ok();
	EXPECT_NE(dtrace_program_strcompile(h, "fbt:kernel:nosuch:entry",
	    DTRACE_PROBESPEC_NAME, DTRACE_C_ZDEFS, 0, nullptr), nullptr);
	dtrace_prog_t *p = dtrace_program_strcompile(h, "\n",
	    DTRACE_PROBESPEC_NAME, DTRACE_C_EMPTY, 0, nullptr);
	ASSERT_NE(p, nullptr);
	dtrace_proginfo_t info;
	EXPECT_EQ(dtrace_program_exec(h, p, &info), 0);
	EXPECT_EQ(info.dpi_matches, 0u);
	dtrace_close(h);
}

TEST_F(SimDtrace, OptionsAndErrorTexts)
{
	dtrace_hdl_t *h = open_ok();
	EXPECT_EQ(dtrace_setopt(h, "bufsize", "10M"), 0);
	EXPECT_EQ(dtrace_setopt(h, "bufpolicy", "switch"), 0);
	EXPECT_EQ(sim_dtrace_options(),
	    (std::vector<std::string>{ "bufsize=10M", "bufpolicy=switch" }));
	EXPECT_EQ(dtrace_setopt(h, "bufpolicy", "sometimes"), -1);
	EXPECT_STREQ(dtrace_errmsg(h, dtrace_errno(h)),
	    "Invalid value for specified option");
	EXPECT_EQ(dtrace_setopt(h, "bufsize", "lots"), -1);
	EXPECT_EQ(dtrace_setopt(h, "nosuchoption", "1"), -1);
	EXPECT_STREQ(dtrace_errmsg(h, dtrace_errno(h)), "Invalid option name");
	dtrace_close(h);

	int err = 0;
	EXPECT_EQ(dtrace_open(DTRACE_VERSION + 1, 0, &err), nullptr);
	EXPECT_STREQ(dtrace_errmsg(nullptr, err),
	    "Client requested version newer than library");
	EXPECT_STREQ(dtrace_errmsg(nullptr, EACCES), strerror(EACCES));
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
}

TEST_F(SimDtrace, FiringsReachConsumersThatEnabledThem)
{
	dtrace_hdl_t *fbt = start("fbt:kernel:vm_fault:entry\n");
	dtrace_hdl_t *kinst = start("kinst::vm_map:\n");
	EXPECT_EQ(sim_dtrace_consumers_open(), 2u);

	EXPECT_EQ(sim_dtrace_fire({ 3, "fbt", "kernel", "vm_fault", "entry",
	    1999, 0 }), 1u);
	EXPECT_EQ(sim_dtrace_fire({ 0, "fbt", "kernel", "vm_fault", "return",
	    2000, 0 }), 0u);
	EXPECT_EQ(sim_dtrace_fire({ 1, "kinst", "", "vm_map", "12", 3000, 0 }),
	    1u);
	EXPECT_EQ(sim_dtrace_inject({ 17, "syscall", "", "read", "entry",
	    4000, 0 }), 2u);
	EXPECT_EQ(sim_dtrace_pending(), 4u);

	consumed got;
	EXPECT_EQ(dtrace_work(fbt, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	ASSERT_EQ(got.calls.size(), 2u);
	EXPECT_FALSE(got.calls[0].with_record);
	EXPECT_EQ(got.calls[0].cpu, 3);
	EXPECT_EQ(got.calls[0].provider, "fbt");
	EXPECT_EQ(got.calls[0].module, "kernel");
	EXPECT_EQ(got.calls[0].function, "vm_fault");
	EXPECT_EQ(got.calls[0].name, "entry");
	EXPECT_EQ(got.calls[0].timestamp, 1999u);
	EXPECT_EQ(got.calls[1].provider, "syscall");
	EXPECT_EQ(got.calls[1].cpu, 17);

	got = consumed{};
	EXPECT_EQ(dtrace_work(kinst, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	ASSERT_EQ(got.calls.size(), 2u);
	EXPECT_EQ(got.calls[0].provider, "kinst");
	EXPECT_EQ(got.calls[0].name, "12");
	EXPECT_EQ(sim_dtrace_pending(), 0u);
	EXPECT_EQ(sim_dtrace_delivered(), 4u);

	// Stopped: nothing new is queued and work reports the end.
	EXPECT_EQ(dtrace_stop(fbt), 0);
	EXPECT_EQ(sim_dtrace_fire({ 0, "fbt", "kernel", "vm_fault", "entry",
	    5000, 0 }), 0u);
	EXPECT_EQ(dtrace_work(fbt, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_DONE);
	dtrace_close(fbt);
	dtrace_close(kinst);
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
	EXPECT_EQ(sim_dtrace_consumers_opened(), 2u);
}

int
leave_records(const dtrace_probedata_t *d, const dtrace_recdesc_t *rec,
    void *arg)
{
	collect(d, rec, arg);
	return rec != nullptr ? DTRACE_CONSUME_NEXT : DTRACE_CONSUME_THIS;
}

int
skip_probe(const dtrace_probedata_t *d, void *arg)
{
	note_header(d, arg);
	return strcmp(d->dtpda_pdesc->dtpd_name, "entry") == 0 ?
	    DTRACE_CONSUME_NEXT : DTRACE_CONSUME_THIS;
}

TEST_F(SimDtrace, RecordCallbackPerRecordThenOnceWithout)
{
	dtrace_hdl_t *h = start("fbt:kernel:malloc:\n");
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "entry", 10, 2 });
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "return", 20, 0 });
	consumed got;
	ASSERT_EQ(dtrace_work(h, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	ASSERT_EQ(got.calls.size(), 4u);
	EXPECT_TRUE(got.calls[0].with_record);
	EXPECT_TRUE(got.calls[1].with_record);
	EXPECT_FALSE(got.calls[2].with_record);
	EXPECT_EQ(got.calls[2].timestamp, 10u);
	EXPECT_FALSE(got.calls[3].with_record);
	EXPECT_EQ(got.calls[3].timestamp, 20u);

	// A probe callback that passes a firing over hides it from records.
	got = consumed{};
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "entry", 30, 1 });
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "return", 40, 1 });
	ASSERT_EQ(dtrace_work(h, stdout, skip_probe, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	ASSERT_EQ(got.calls.size(), 2u);
	EXPECT_EQ(got.calls[0].name, "return");

	// A record callback that leaves a record alone gets the next one.
	got = consumed{};
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "entry", 50, 3 });
	ASSERT_EQ(dtrace_work(h, stdout, note_header, leave_records, &got),
	    DTRACE_WORKSTATUS_OKAY);
	EXPECT_EQ(got.calls.size(), 4u);
	dtrace_close(h);
}

// Each CPU's buffer is snapshotted and consumed in turn, in CPU order: in
// it every firing is a record header with the firing's own time and its
// enabled probe, at a 4-byte boundary (8 when data records follow), its
// records after it at their offsets, and the data pointer where libdtrace
// puts it.  The snapshot's time is none of the firings'.
TEST_F(SimDtrace, BuffersHoldARecordHeaderBeforeEachFiring)
{
	dtrace_hdl_t *h = start("fbt:kernel:malloc:\nkinst::vm_map:\n");
	uint64_t big = (5ull << 32) + 600;	// needs both halves
	sim_dtrace_fire({ 1, "fbt", "kernel", "malloc", "entry", 500, 0 });
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "entry", 100, 0 });
	sim_dtrace_fire({ 0, "kinst", "", "vm_map", "4", 200, 0 });
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "return", 300, 2 });
	sim_dtrace_fire({ 1, "fbt", "kernel", "malloc", "return", big, 1 });
	uint64_t before = monotonic_now();
	consumed got;
	ASSERT_EQ(dtrace_work(h, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	uint64_t after = monotonic_now();

	struct {
		int cpu;
		const char *name;
		bool with_record;
		uint64_t timestamp;
		dtrace_epid_t epid;
		ptrdiff_t data_at;
	} want[] = {
		{ 0, "entry", false, 100, 1, 0 },
		{ 0, "4", false, 200, 2, 0 },
		{ 0, "return", true, 300, 1, 16 },
		{ 0, "return", true, 300, 1, 24 },
		{ 0, "return", false, 300, 1, 24 },
		{ 1, "entry", false, 500, 1, 0 },
		{ 1, "return", true, big, 1, 16 },
		{ 1, "return", false, big, 1, 16 },
	};
	EXPECT_EQ(got.probes, 5u);
	ASSERT_EQ(got.calls.size(), std::size(want));
	for (size_t i = 0; i < got.calls.size(); i++) {
		const seen &g = got.calls[i];
		SCOPED_TRACE(i);
		EXPECT_EQ(g.cpu, want[i].cpu);
		EXPECT_EQ(g.name, want[i].name);
		EXPECT_EQ(g.with_record, want[i].with_record);
		EXPECT_EQ(g.timestamp, want[i].timestamp);
		EXPECT_EQ(g.epid, want[i].epid);
		EXPECT_EQ(g.data_at, want[i].data_at);
		if (g.with_record) {
			EXPECT_EQ(g.rec_offset, (uint32_t)g.data_at);
		}
		EXPECT_EQ(g.header % (g.data_at > 0 ? 8 : 4), 0u);
		if (i > 0 && g.cpu == got.calls[i - 1].cpu) {
			EXPECT_GE(g.header, got.calls[i - 1].header);
		}
	}
	// The kinst header follows the 12 bytes of the entry's right away.
	EXPECT_EQ(got.calls[1].header - got.calls[0].header, 12u);
	uint64_t snapshot = sim_dtrace_snapshot_ns();
	EXPECT_GE(snapshot, before);
	EXPECT_LE(snapshot, after);
	dtrace_close(h);
}

TEST_F(SimDtrace, StepsFailOnDemand)
{
	int err = 0;
	sim_dtrace_fail(SIM_DTRACE_OPEN, EACCES, 1);
	EXPECT_EQ(dtrace_open(DTRACE_VERSION, 0, &err), nullptr);
	EXPECT_EQ(err, EACCES);
	dtrace_hdl_t *h = open_ok();	// count 1: the next call works

	sim_dtrace_fail(SIM_DTRACE_SETOPT, ENOMEM, 0, "bufpolicy");
	EXPECT_EQ(dtrace_setopt(h, "bufsize", "10M"), 0);
	EXPECT_EQ(dtrace_setopt(h, "bufpolicy", "switch"), -1);
	EXPECT_EQ(dtrace_errno(h), ENOMEM);
	EXPECT_EQ(dtrace_setopt(h, "bufpolicy", "switch"), -1);	// until cleared
	sim_dtrace_fail(SIM_DTRACE_SETOPT, 0);
	EXPECT_EQ(dtrace_setopt(h, "bufpolicy", "switch"), 0);

	sim_dtrace_fail(SIM_DTRACE_COMPILE, E2BIG, 1);
	EXPECT_EQ(dtrace_program_strcompile(h, "fbt:kernel:malloc:entry",
	    DTRACE_PROBESPEC_NAME, 0, 0, nullptr), nullptr);
	EXPECT_EQ(dtrace_errno(h), E2BIG);
	dtrace_prog_t *p = dtrace_program_strcompile(h,
	    "fbt:kernel:malloc:entry", DTRACE_PROBESPEC_NAME, 0, 0, nullptr);
	ASSERT_NE(p, nullptr);
	sim_dtrace_fail(SIM_DTRACE_EXEC, ENOSPC, 1);
	EXPECT_EQ(dtrace_program_exec(h, p, nullptr), -1);
	EXPECT_EQ(dtrace_errno(h), ENOSPC);
	EXPECT_EQ(dtrace_program_exec(h, p, nullptr), 0);
	sim_dtrace_fail(SIM_DTRACE_GO, EBUSY, 1);
	EXPECT_EQ(dtrace_go(h), -1);
	EXPECT_EQ(dtrace_errno(h), EBUSY);
	EXPECT_EQ(dtrace_go(h), 0);

	sim_dtrace_fail(SIM_DTRACE_WORK, EINTR, 2);
	consumed got;
	EXPECT_EQ(dtrace_work(h, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_ERROR);
	EXPECT_EQ(dtrace_errno(h), EINTR);
	EXPECT_EQ(dtrace_work(h, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_ERROR);
	EXPECT_EQ(dtrace_work(h, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	sim_dtrace_work_status(DTRACE_WORKSTATUS_DONE, 1);
	EXPECT_EQ(dtrace_work(h, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_DONE);
	EXPECT_EQ(dtrace_work(h, stdout, note_header, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	dtrace_close(h);
}

TEST_F(SimDtrace, CallLogShowsThreadsAndOverlaps)
{
	dtrace_hdl_t *h = start("fbt:kernel:malloc:entry\n");
	sim_dtrace_set_work_delay_ns(100000000);
	consumed got;
	std::atomic<bool> inside{ false };
	std::thread other([&] {
		inside.store(true);
		dtrace_work(h, stdout, note_header, collect, &got);
	});
	while (!inside.load())
		std::this_thread::yield();
	std::this_thread::sleep_for(std::chrono::milliseconds(20));
	EXPECT_EQ(sim_dtrace_overlaps(), 0u);
	dtrace_stop(h);	// while the other thread is inside dtrace_work
	other.join();
	EXPECT_EQ(sim_dtrace_overlaps(), 1u);

	std::vector<sim_dtrace_call> calls = sim_dtrace_calls();
	ASSERT_GE(calls.size(), 6u);
	const sim_dtrace_call &work = calls[calls.size() - 2];
	const sim_dtrace_call &stop = calls.back();
	EXPECT_EQ(work.op, "work");
	EXPECT_EQ(stop.op, "stop");
	EXPECT_NE(work.thread, stop.thread);
	EXPECT_LT(stop.begin_ns, work.end_ns);
	dtrace_close(h);
}

TEST_F(SimDtrace, SleepEndsWhenAFiringArrives)
{
	dtrace_hdl_t *h = start("fbt:kernel:malloc:entry\n");
	sim_dtrace_set_sleep_ns(10ull * 1000000000);
	std::thread firer([] {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "entry", 1, 0 });
	});
	dtrace_sleep(h);	// returns well before its 10 s
	firer.join();
	EXPECT_EQ(sim_dtrace_pending(), 1u);
	dtrace_close(h);
}

// The default machine's busy functions fire by themselves, at
// CLOCK_MONOTONIC times of their own just before the snapshot that
// carries them.
TEST(SimDtraceMachine, DefaultMachineFiresAndClearOneHasNoProbes)
{
	sim_kernel_reset();
	uint64_t started = monotonic_now();
	dtrace_hdl_t *h = start("fbt:kernel:malloc:entry\nfbt:kernel:free:\n");
	consumed got;
	for (int i = 0; i < 50 && got.calls.empty(); i++) {
		dtrace_work(h, stdout, note_header, collect, &got);
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	ASSERT_FALSE(got.calls.empty());
	uint64_t snapshot = sim_dtrace_snapshot_ns();
	uint64_t free_entry = 0, free_return = 0;
	for (const seen &s : got.calls) {
		EXPECT_EQ(s.provider, "fbt");
		EXPECT_TRUE((s.function == "malloc" && s.name == "entry") ||
		    s.function == "free") << s.function << ":" << s.name;
		EXPECT_GT(s.timestamp, started);
		EXPECT_LT(s.timestamp, snapshot);
		if (s.function == "free")
			(s.name == "entry" ? free_entry : free_return) =
			    s.timestamp;
	}
	EXPECT_GT(free_entry, 0u);
	EXPECT_GT(free_return, free_entry);
	dtrace_close(h);

	sim_kernel_clear();
	h = open_ok();
	EXPECT_EQ(dtrace_program_strcompile(h, "fbt:kernel:malloc:entry\n",
	    DTRACE_PROBESPEC_NAME, 0, 0, nullptr), nullptr);
	dtrace_close(h);
}

}  // namespace
