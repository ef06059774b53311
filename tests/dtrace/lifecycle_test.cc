// The consumer's life across sessions: setup, the loop's passes, stop and
// destroy, the failures that end a session and those that end the daemon.
#include <dtrace.h>
#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kfunc_fixture.h"
#include "runtime/packet.h"

namespace {

const uint32_t FBT = 1, KINST = 2;

std::string
dump_of(int count, const std::string &text)
{
	return "Installed " + std::to_string(count) + " probes\n"
	    "---------- dtrace program --------------------\n" + text +
	    "----------------------------------------------\n\n";
}

// Operations of the call log from index `from` on.
std::vector<std::string>
ops_since(size_t from)
{
	std::vector<std::string> ops;
	std::vector<sim_dtrace_call> calls = sim_dtrace_calls();
	for (size_t i = from; i < calls.size(); i++)
		ops.push_back(calls[i].op);
	return ops;
}

size_t
ncalls(void)
{
	return sim_dtrace_calls().size();
}

TEST(Lifecycle, SetupPrintsTheProgramAndStartsAConsumer)
{
	kfunc_daemon_start();
	std::string out, err;
	struct test_session *s = kfunc_session_start(service_config(
	    dtrace_config({ { FBT, "f" }, { KINST, "g:4" } })), &out, &err);
	EXPECT_EQ(out, dump_of(3, "fbt:kernel:f:entry\nfbt:kernel:f:return\n"
	    "kinst::g:4\n"));
	EXPECT_EQ(err, "");
	EXPECT_EQ(ops_since(0), (std::vector<std::string>{ "open", "setopt",
	    "setopt", "compile", "exec", "go" }));
	EXPECT_EQ(sim_dtrace_options(),
	    (std::vector<std::string>{ "bufsize=10M", "bufpolicy=switch" }));
	EXPECT_EQ(sim_dtrace_enabled(), (std::vector<std::string>{
	    "fbt:kernel:f:entry", "fbt:kernel:f:return", "kinst::g:4" }));
	for (const sim_dtrace_call &c : sim_dtrace_calls())
		EXPECT_NE(c.thread, std::this_thread::get_id()) << c.op;
	EXPECT_EQ(sim_dtrace_consumers_open(), 1u);
	kfunc_session_finish(s);
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
}

TEST(Lifecycle, StartEventsStopAndBackToIdleSleeps)
{
	kfunc_daemon_start();
	loop_pass();
	EXPECT_EQ(idle_sleeps.load(), 1u);
	EXPECT_EQ(last_idle_us.load(), 250000u);
	EXPECT_EQ(ncalls(), 0u);

	std::string config = dtrace_config({ { FBT, "f" }, { KINST, "g:4" } });
	struct test_session *s = kfunc_session_start(config);
	size_t mark = ncalls();
	sim_dtrace_fire(firing(0, "fbt", "f", "entry", 10));
	loop_pass();
	EXPECT_EQ(idle_sleeps.load(), 1u);
	EXPECT_EQ(ops_since(mark), (std::vector<std::string>{ "work", "sleep" }));
	EXPECT_EQ(sim_dtrace_calls().back().thread, std::this_thread::get_id());

	std::string out;
	std::string trace = kfunc_session_finish(s, &out);
	EXPECT_EQ(event_packets(trace).size(), 1u);
	EXPECT_EQ(out, "dtrace_on_stop_cb\tfbt events: 1 kinst events: 0\n"
	    "dtrace_on_destroy_cb\n");
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
	mark = ncalls();
	loop_pass();
	EXPECT_EQ(idle_sleeps.load(), 2u);
	EXPECT_EQ(last_idle_us.load(), 250000u);
	EXPECT_EQ(ncalls(), mark);

	// A second session: the stop message adds both sessions up, and
	// destroy changed nothing in between.
	EXPECT_EQ(kfunc_state.fbt_events.load(), 1u);
	s = kfunc_session_start(config);
	sim_dtrace_fire(firing(1, "fbt", "f", "return", 20));
	sim_dtrace_fire(firing(1, "kinst", "g", "4", 30));
	drain();
	kfunc_session_finish(s, &out);
	EXPECT_EQ(out, "dtrace_on_stop_cb\tfbt events: 2 kinst events: 1\n"
	    "dtrace_on_destroy_cb\n");
	EXPECT_EQ(sim_dtrace_consumers_opened(), 2u);
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
}

// The daemon's idle sleep ends when a session starts, not after its whole
// 250 ms: the loop begins draining at once.  Without a start it sleeps its
// time out.
TEST(Lifecycle, StartEndsTheIdleSleep)
{
	kfunc_daemon_start();
	std::atomic<bool> woke{false};
	std::thread loop([&] {
		dtrace_idle_wait(&kfunc_state, 60u * 1000 * 1000);
		woke.store(true);
	});
	usleep(50000);
	EXPECT_FALSE(woke.load());
	struct test_session *s = kfunc_session_start(
	    dtrace_config({ { FBT, "f" } }));
	for (int i = 0; i < 1000 && !woke.load(); i++)
		usleep(10000);
	EXPECT_TRUE(woke.load());
	loop.join();
	kfunc_session_finish(s);

	uint64_t t0 = monotonic_ns();
	dtrace_idle_wait(&kfunc_state, 20000);
	EXPECT_GE(monotonic_ns() - t0, 20000000u);
}

TEST(Lifecycle, WorkDoneOrInterruptedKeepsTheLoopGoing)
{
	kfunc_daemon_start();
	struct test_session *s = kfunc_session_start(
	    dtrace_config({ { FBT, "f" } }));
	size_t mark = ncalls();
	sim_dtrace_work_status(DTRACE_WORKSTATUS_DONE, 1);
	loop_pass();
	sim_dtrace_fail(SIM_DTRACE_WORK, EINTR, 1);
	loop_pass();
	sim_dtrace_fire(firing(0, "fbt", "f", "entry", 10));
	loop_pass();
	EXPECT_EQ(ops_since(mark), (std::vector<std::string>{ "work", "sleep",
	    "work", "errno", "sleep", "work", "sleep" }));
	EXPECT_EQ(idle_sleeps.load(), 0u);
	EXPECT_EQ(event_packets(kfunc_session_finish(s)).size(), 1u);
}

std::string
fbt_dump(const std::string &function)
{
	return dump_of(2, "fbt:kernel:" + function + ":entry\nfbt:kernel:" +
	    function + ":return\n");
}

// A program that does not compile, enable or start ends its own session:
// the line dtrace_fatal would print, no consumer left, no events, and the
// next session is served.  A configuration without a usable entry gives
// an empty program, which libdtrace does not compile.
TEST(Lifecycle, BadProgramEndsOnlyItsSession)
{
	const std::string empty_line = "kfunc_producer: failed to compile "
	    "program: empty D program translation unit 1002\n";
	struct {
		std::string config;
		enum sim_dtrace_step step;
		int err;
		std::string out;
		std::string line;
	} cases[] = {
		{ service_config(""), SIM_DTRACE_NSTEPS, 0, dump_of(0, ""),
		  empty_line },
		{ dtrace_config({ { FBT, "f g" }, { KINST, "h;" } }),
		  SIM_DTRACE_NSTEPS, 0,
		  "build_d_program: rejected fbt_function entry \"f g\": not a "
		  "plain probe description component\n"
		  "build_d_program: rejected kinst_function entry \"h;\": not a "
		  "plain probe description component\n" + dump_of(0, ""),
		  empty_line },
		{ dtrace_config({ { FBT, "nosuch" } }), SIM_DTRACE_NSTEPS, 0,
		  fbt_dump("nosuch"),
		  "kfunc_producer: failed to compile program: probe description "
		  "fbt:kernel:nosuch:entry does not match any probes 1002\n" },
		{ dtrace_config({ { FBT, "f" } }), SIM_DTRACE_EXEC, ENOSPC,
		  fbt_dump("f"),
		  "kfunc_producer: failed to enable probes: No space left on "
		  "device 28\n" },
		{ dtrace_config({ { FBT, "f" } }), SIM_DTRACE_GO, EBUSY,
		  fbt_dump("f"),
		  "kfunc_producer: couldn't start tracing\n"
		  ": Device or resource busy 16\n" },
	};
	kfunc_daemon_start();
	unsigned served = 0;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.line);
		if (c.err != 0)
			sim_dtrace_fail(c.step, c.err, 1);
		std::string out, err;
		size_t mark = ncalls();
		struct test_session *bad = kfunc_session_start(c.config, &out,
		    &err);
		EXPECT_EQ(out, c.out);
		EXPECT_EQ(err, c.line);
		std::vector<std::string> ops = ops_since(mark);
		ASSERT_FALSE(ops.empty());
		EXPECT_EQ(ops.front(), "open");
		EXPECT_EQ(ops.back(), "close");
		EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
		EXPECT_EQ(sim_dtrace_inject(firing(0, "fbt", "f", "entry", 1)),
		    0u);
		unsigned idle = idle_sleeps.load();
		loop_pass();
		EXPECT_EQ(idle_sleeps.load(), idle + 1);
		EXPECT_TRUE(event_packets(kfunc_session_finish(bad)).empty());

		struct test_session *good = kfunc_session_start(
		    dtrace_config({ { FBT, "f" } }));
		ASSERT_EQ(sim_dtrace_fire(firing(0, "fbt", "f", "entry", 2)), 1u);
		drain();
		EXPECT_EQ(event_packets(kfunc_session_finish(good)).size(), 1u);
		EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
		served++;
	}
	EXPECT_EQ(served, std::size(cases));
	EXPECT_EQ(kfunc_state.fbt_events.load(), std::size(cases));
}

// The real SDK's service logs the session's start on standard error
// ("[12.345] file.cc:67 text") before the daemon prints anything.
const std::string SDK_LOG_LINES = "(\\[[0-9.]+\\] [^\n]*\n)*";

// Failures of the DTrace facility itself end the daemon.  Standard output
// goes to standard error in the child, line-buffered as in main, so that
// the order of both shows.
TEST(LifecycleDeathTest, FacilityFailuresEndTheDaemon)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	struct {
		const char *option;
		enum sim_dtrace_step step;
		int err;
		int status;
		std::string regex;
	} cases[] = {
		{ nullptr, SIM_DTRACE_OPEN, EACCES, 1,
		  "^" + SDK_LOG_LINES + "Installed 2 probes\n(.|\n)*-\n\n"
		  "failed to initialize dtrace: Permission denied\n$" },
		{ "bufsize", SIM_DTRACE_SETOPT, ENOMEM, 2,
		  "-\n\nkfunc_producer: failed to set 'bufsize': "
		  "Cannot allocate memory 12\n$" },
		{ "bufpolicy", SIM_DTRACE_SETOPT, EINVAL, 2,
		  "-\n\nkfunc_producer: failed to set buffer policy 'switch': "
		  "Invalid argument 22\n$" },
	};
	for (const auto &c : cases) {
		EXPECT_EXIT({
			fflush(stdout);
			dup2(2, 1);
			setvbuf(stdout, nullptr, _IOLBF, 0);
			kfunc_daemon_start();
			sim_dtrace_fail(c.step, c.err, 0, c.option);
			session_start("dtrace", dtrace_config({ { FBT, "f" } }));
		}, ::testing::ExitedWithCode(c.status), c.regex);
	}
}

TEST(LifecycleDeathTest, UnrecoverableWorkErrorEndsTheDaemon)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT({
		kfunc_daemon_start();
		session_start("dtrace", dtrace_config({ { FBT, "f" } }));
		sim_dtrace_fail(SIM_DTRACE_WORK, EIO, 1);
		loop_pass();
	}, ::testing::ExitedWithCode(2), "^" + SDK_LOG_LINES +
	    "kfunc_producer: processing aborted: Input/output error 5\n$");
}

TEST(Lifecycle, DaemonWithoutServiceStartsSilentlyAndStaysUp)
{
	struct child_result r = run_program("kfunc_producer", { "ignored" },
	    400);
	EXPECT_TRUE(r.alive);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
}

}  // namespace
