// The simulated libdtrace: declarations, compiler, consumer lifecycle,
// delivery of firings and failures on demand.
#include <dtrace.h>

#include <errno.h>
#include <stddef.h>
#include <string.h>

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
static_assert(sizeof(dtrace_probedata_t) == 72);
static_assert(offsetof(dtrace_probedata_t, dtpda_handle) == 0);
static_assert(offsetof(dtrace_probedata_t, dtpda_edesc) == 8);
static_assert(offsetof(dtrace_probedata_t, dtpda_pdesc) == 16);
static_assert(offsetof(dtrace_probedata_t, dtpda_cpu) == 24);
static_assert(offsetof(dtrace_probedata_t, dtpda_data) == 32);
static_assert(offsetof(dtrace_probedata_t, dtpda_flow) == 40);
static_assert(offsetof(dtrace_probedata_t, dtpda_prefix) == 48);
static_assert(offsetof(dtrace_probedata_t, dtpda_indent) == 56);
static_assert(offsetof(dtrace_probedata_t, dtpda_timestamp) == 64);
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
static_assert(DTRACE_C_ZDEFS == 4);
static_assert(DTRACEACT_NONE == 0 && DTRACEACT_DIFEXPR == 1 &&
              DTRACEACT_EXIT == 2 && DTRACEACT_PRINTF == 3 &&
              DTRACEACT_PRINTA == 4);

namespace {

// What the record callback saw, one entry per call.
struct seen {
	bool with_record;
	int cpu;
	std::string provider, module, function, name;
	uint64_t timestamp;
};

int
collect(const dtrace_probedata_t *d, const dtrace_recdesc_t *rec, void *arg)
{
	auto *out = (std::vector<seen> *)arg;
	const dtrace_probedesc_t *pd = d->dtpda_pdesc;
	out->push_back(seen{ rec != nullptr, d->dtpda_cpu, pd->dtpd_provider,
	    pd->dtpd_mod, pd->dtpd_func, pd->dtpd_name, d->dtpda_timestamp });
	return DTRACE_CONSUME_THIS;
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
		{ "", 0 },
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
	// Zero matches allowed on request.
	dtrace_hdl_t *h = open_ok();
	EXPECT_NE(dtrace_program_strcompile(h, "fbt:kernel:nosuch:entry",
	    DTRACE_PROBESPEC_NAME, DTRACE_C_ZDEFS, 0, nullptr), nullptr);
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

	std::vector<seen> got;
	EXPECT_EQ(dtrace_work(fbt, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	ASSERT_EQ(got.size(), 2u);
	EXPECT_FALSE(got[0].with_record);
	EXPECT_EQ(got[0].cpu, 3);
	EXPECT_EQ(got[0].provider, "fbt");
	EXPECT_EQ(got[0].module, "kernel");
	EXPECT_EQ(got[0].function, "vm_fault");
	EXPECT_EQ(got[0].name, "entry");
	EXPECT_EQ(got[0].timestamp, 1999u);
	EXPECT_EQ(got[1].provider, "syscall");
	EXPECT_EQ(got[1].cpu, 17);

	got.clear();
	EXPECT_EQ(dtrace_work(kinst, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	ASSERT_EQ(got.size(), 2u);
	EXPECT_EQ(got[0].provider, "kinst");
	EXPECT_EQ(got[0].name, "12");
	EXPECT_EQ(sim_dtrace_pending(), 0u);
	EXPECT_EQ(sim_dtrace_delivered(), 4u);

	// Stopped: nothing new is queued and work reports the end.
	EXPECT_EQ(dtrace_stop(fbt), 0);
	EXPECT_EQ(sim_dtrace_fire({ 0, "fbt", "kernel", "vm_fault", "entry",
	    5000, 0 }), 0u);
	EXPECT_EQ(dtrace_work(fbt, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_DONE);
	dtrace_close(fbt);
	dtrace_close(kinst);
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
	EXPECT_EQ(sim_dtrace_consumers_opened(), 2u);
}

int
skip_probe(const dtrace_probedata_t *d, void *arg)
{
	(void)arg;
	return strcmp(d->dtpda_pdesc->dtpd_name, "entry") == 0 ?
	    DTRACE_CONSUME_NEXT : DTRACE_CONSUME_THIS;
}

TEST_F(SimDtrace, RecordCallbackPerRecordThenOnceWithout)
{
	dtrace_hdl_t *h = start("fbt:kernel:malloc:\n");
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "entry", 10, 2 });
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "return", 20, 0 });
	std::vector<seen> got;
	ASSERT_EQ(dtrace_work(h, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	ASSERT_EQ(got.size(), 4u);
	EXPECT_TRUE(got[0].with_record);
	EXPECT_TRUE(got[1].with_record);
	EXPECT_FALSE(got[2].with_record);
	EXPECT_EQ(got[2].timestamp, 10u);
	EXPECT_FALSE(got[3].with_record);
	EXPECT_EQ(got[3].timestamp, 20u);

	// A probe callback that passes a firing over hides it from records.
	got.clear();
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "entry", 30, 1 });
	sim_dtrace_fire({ 0, "fbt", "kernel", "malloc", "return", 40, 1 });
	ASSERT_EQ(dtrace_work(h, stdout, skip_probe, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	ASSERT_EQ(got.size(), 2u);
	EXPECT_EQ(got[0].name, "return");
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
	EXPECT_EQ(dtrace_program_strcompile(h, "", DTRACE_PROBESPEC_NAME, 0, 0,
	    nullptr), nullptr);
	EXPECT_EQ(dtrace_errno(h), E2BIG);
	dtrace_prog_t *p = dtrace_program_strcompile(h, "",
	    DTRACE_PROBESPEC_NAME, 0, 0, nullptr);
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
	std::vector<seen> got;
	EXPECT_EQ(dtrace_work(h, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_ERROR);
	EXPECT_EQ(dtrace_errno(h), EINTR);
	EXPECT_EQ(dtrace_work(h, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_ERROR);
	EXPECT_EQ(dtrace_work(h, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	sim_dtrace_work_status(DTRACE_WORKSTATUS_DONE, 1);
	EXPECT_EQ(dtrace_work(h, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_DONE);
	EXPECT_EQ(dtrace_work(h, stdout, nullptr, collect, &got),
	    DTRACE_WORKSTATUS_OKAY);
	dtrace_close(h);
}

TEST_F(SimDtrace, CallLogShowsThreadsAndOverlaps)
{
	dtrace_hdl_t *h = start("fbt:kernel:malloc:entry\n");
	sim_dtrace_set_work_delay_ns(100000000);
	std::vector<seen> got;
	std::atomic<bool> inside{ false };
	std::thread other([&] {
		inside.store(true);
		dtrace_work(h, stdout, nullptr, collect, &got);
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

TEST(SimDtraceMachine, DefaultMachineFiresAndClearOneHasNoProbes)
{
	sim_kernel_reset();
	dtrace_hdl_t *h = start("fbt:kernel:malloc:entry\nfbt:kernel:free:\n");
	std::vector<seen> got;
	for (int i = 0; i < 50 && got.empty(); i++) {
		dtrace_work(h, stdout, nullptr, collect, &got);
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	ASSERT_FALSE(got.empty());
	for (const seen &s : got) {
		EXPECT_EQ(s.provider, "fbt");
		EXPECT_TRUE((s.function == "malloc" && s.name == "entry") ||
		    s.function == "free") << s.function << ":" << s.name;
	}
	dtrace_close(h);

	sim_kernel_clear();
	h = open_ok();
	EXPECT_EQ(dtrace_program_strcompile(h, "fbt:kernel:malloc:entry\n",
	    DTRACE_PROBESPEC_NAME, 0, 0, nullptr), nullptr);
	dtrace_close(h);
}

}  // namespace
