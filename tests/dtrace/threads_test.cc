// The consumer handle across threads, and concurrent sessions.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kfunc_fixture.h"

namespace {

const uint32_t FBT = 1;

// Stop comes while the loop is inside dtrace_work: it waits for the loop to
// leave libdtrace, then stops and closes the consumer itself.
TEST(HandleAcrossThreads, StopWaitsForTheLoopToLeaveLibdtrace)
{
	kfunc_daemon_start();
	struct test_session *s = kfunc_session_start(
	    dtrace_config({ { FBT, "f" } }));
	sim_dtrace_set_work_delay_ns(150000000);
	struct loop_thread lt;
	loop_thread_start(&lt);
	std::thread::id loop_id = lt.thread.get_id();
	// Wait (up to 5 s) until the loop is inside a dtrace_work.
	bool inside = false;
	for (int i = 0; i < 5000 && !inside; i++) {
		std::vector<sim_dtrace_call> calls = sim_dtrace_calls();
		inside = !calls.empty() && calls.back().op == "work" &&
		    calls.back().end_ns == 0;
		if (!inside)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	if (!inside)
		loop_thread_stop(&lt);
	ASSERT_TRUE(inside);
	kfunc_session_finish(s);
	std::vector<sim_dtrace_call> calls = sim_dtrace_calls();
	loop_thread_stop(&lt);

	EXPECT_EQ(sim_dtrace_overlaps(), 0u);
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
	uint64_t loop_done = 0;
	size_t stop = calls.size();
	for (size_t i = 0; i < calls.size(); i++) {
		if (calls[i].thread == loop_id)
			loop_done = std::max(loop_done, calls[i].end_ns);
		if (calls[i].op == "stop")
			stop = i;
	}
	ASSERT_LT(stop, calls.size());
	ASSERT_EQ(calls.size(), stop + 2);
	EXPECT_EQ(calls[stop + 1].op, "close");
	EXPECT_NE(calls[stop].thread, loop_id);
	EXPECT_GT(loop_done, 0u);
	EXPECT_GE(calls[stop].begin_ns, loop_done);
}

// Sessions come and go while the loop drains and firings keep arriving:
// every event is counted once, no consumer outlives its session, and no
// two threads are ever inside libdtrace on one handle.
TEST(HandleAcrossThreads, StartStopCyclesWithFiringsInFlight)
{
	kfunc_daemon_start();
	struct loop_thread lt;
	loop_thread_start(&lt);
	std::atomic<bool> quit{ false };
	std::thread firer([&] {
		uint64_t ts = 1;
		while (!quit.load(std::memory_order_acquire)) {
			sim_dtrace_fire(firing((int)(ts % 4), "fbt", "f",
			    ts % 2 ? "entry" : "return", ts));
			ts++;
			std::this_thread::sleep_for(std::chrono::microseconds(200));
		}
	});
	const int cycles = 8;
	size_t events = 0;
	std::string config = dtrace_config({ { FBT, "f" } });
	for (int i = 0; i < cycles; i++) {
		struct test_session *s = kfunc_session_start(config);
		std::this_thread::sleep_for(std::chrono::milliseconds(30));
		events += event_packets(kfunc_session_finish(s)).size();
	}
	quit.store(true, std::memory_order_release);
	firer.join();
	loop_thread_stop(&lt);

	EXPECT_GT(events, 0u);
	EXPECT_EQ(kfunc_state.fbt_events.load(), events);
	EXPECT_EQ(sim_dtrace_overlaps(), 0u);
	EXPECT_EQ(sim_dtrace_consumers_opened(), (unsigned)cycles);
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
}

// A session set up while another one's consumer is live shares it: its
// own program is not compiled, and the consumer lasts until the last
// sharing session stops.
TEST(ConcurrentSessions, SecondSharesTheConsumerAndOutlivesTheFirstStop)
{
	kfunc_daemon_start();
	struct test_session *a = kfunc_session_start(
	    dtrace_config({ { FBT, "f" } }));
	std::string out;
	struct test_session *b = kfunc_session_start(
	    dtrace_config({ { FBT, "g" } }), &out);
	EXPECT_EQ(out, "Installed 2 probes\n"
	    "---------- dtrace program --------------------\n"
	    "fbt:kernel:g:entry\nfbt:kernel:g:return\n"
	    "----------------------------------------------\n\n"
	    "dtrace_on_setup_cb: instance 1 shares the running consumer; "
	    "its program is not compiled\n");
	EXPECT_EQ(sim_dtrace_consumers_open(), 1u);
	EXPECT_EQ(sim_dtrace_consumers_opened(), 1u);
	// g is not traced: the shared consumer runs the first program.
	EXPECT_EQ(sim_dtrace_fire(firing(0, "fbt", "g", "entry", 1)), 0u);

	ASSERT_EQ(sim_dtrace_fire(firing(0, "fbt", "f", "entry", 1)), 1u);
	drain();
	std::string trace_a = kfunc_session_finish(a, &out);
	EXPECT_EQ(out, "dtrace_on_stop_cb\tfbt events: 2 kinst events: 0\n"
	    "dtrace_on_destroy_cb\n");
	EXPECT_EQ(sim_dtrace_consumers_open(), 1u);

	// The first session's stop leaves the second one its events.
	ASSERT_EQ(sim_dtrace_fire(firing(1, "fbt", "f", "return", 2)), 1u);
	drain();
	std::string trace_b = kfunc_session_finish(b);
	EXPECT_EQ(event_packets(trace_a).size(), 1u);
	std::vector<perfetto::protos::TracePacket> eb = event_packets(trace_b);
	ASSERT_EQ(eb.size(), 2u);
	EXPECT_EQ(eb[1].track_event().type(),
	    perfetto::protos::TrackEvent::TYPE_SLICE_END);
	EXPECT_EQ(sim_dtrace_consumers_open(), 0u);
	EXPECT_EQ(sim_dtrace_overlaps(), 0u);
}

}  // namespace
