// Several sessions at once: per-instance reads and packets, the order of the
// passes, overlapping starts and stops, and set-ups racing the loop.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "power/power_pass.h"
#include "power_fixture.h"
#include "runtime/packet.h"
#include "sim/kernel.h"
#include "sim/power.h"

namespace {

const char *const counters[4] = {
	"dev.intel_rapl.0.pp0", "dev.intel_rapl.0.pp1",
	"dev.intel_rapl.0.platform", "dev.intel_rapl.0.dram",
};

} // namespace

// One loop turn with two sessions: the counters and the battery are read
// once per instance, and every instance's rails come before any battery
// packet.
TEST(PowerSessions, TwoSessionsOneTurn)
{
	power_daemon_start();
	struct test_session *a = quiet_session();
	struct test_session *b = quiet_session();
	unsigned reads[4];
	for (int i = 0; i < 4; i++)
		reads[i] = sim_sysctl_reads(counters[i]);
	unsigned infos = sim_acpi_requests(ACPIIO_BATT_GET_BATTINFO);

	EXPECT_EQ(power_loop_turn(), 1000u);
	for (int i = 0; i < 4; i++)
		EXPECT_EQ(sim_sysctl_reads(counters[i]) - reads[i], 2u)
		    << counters[i];
	EXPECT_EQ(sim_acpi_requests(ACPIIO_BATT_GET_BATTINFO) - infos, 2u);

	uint64_t last_rail = 0, first_battery = UINT64_MAX;
	for (struct test_session *s : {a, b}) {
		std::string trace = session_read_and_destroy(s);
		auto rails = rail_packets(trace);
		auto batteries = battery_packets(trace);
		ASSERT_EQ(rails.size(), 4u);
		ASSERT_EQ(batteries.size(), 1u);
		for (uint32_t i = 0; i < 4; i++) {
			EXPECT_EQ(rails[i].power_rails().rail_descriptor(0).index(),
			    i);
			last_rail = std::max(last_rail, rails[i].timestamp());
		}
		first_battery = std::min(first_battery, batteries[0].timestamp());
	}
	EXPECT_LE(last_rail, first_battery);
}

// The first of two overlapping sessions to stop does not end the other's
// sampling; the last one does.
TEST(PowerSessions, SamplingLastsUntilTheLastStop)
{
	power_daemon_start();
	struct test_session *a = quiet_session();
	struct test_session *b = quiet_session();
	EXPECT_EQ(power_state.started.load(), 2u);

	capture_begin();
	session_stop(a);
	capture_end();
	EXPECT_TRUE(fbsd_power_sampling(&power_state));
	EXPECT_EQ(power_loop_turn(), 1000u);

	capture_begin();
	session_stop(b);
	capture_end();
	EXPECT_FALSE(fbsd_power_sampling(&power_state));
	EXPECT_EQ(power_loop_turn(), 1000000u);

	EXPECT_TRUE(rail_packets(session_read_and_destroy(a)).empty());
	std::string trace = session_read_and_destroy(b);
	EXPECT_EQ(rail_packets(trace).size(), 4u);
	EXPECT_EQ(battery_packets(trace).size(), 1u);

	// A later session samples again.
	struct test_session *c = quiet_session();
	EXPECT_EQ(power_loop_turn(), 1000u);
	EXPECT_EQ(battery_packets(session_read_and_destroy(c)).size(), 1u);
}

// With no session the passes read nothing from the kernel, although the
// capability bits stay set.
TEST(PowerSessions, PassesWithoutASessionReadNothing)
{
	power_daemon_start();
	session_read_and_destroy(quiet_session());
	ASSERT_EQ(power_state.flags.load(), PWR_FLAG_ACPIBATTERY | PWR_FLAG_RAPL);
	unsigned reads = sim_sysctl_reads(counters[0]);
	unsigned infos = sim_acpi_requests(ACPIIO_BATT_GET_BATTINFO);

	fbsd_power_rapl_pass(&power_ds, &power_state);
	fbsd_power_battery_pass(&power_ds, &power_state);
	EXPECT_EQ(sim_sysctl_reads(counters[0]), reads);
	EXPECT_EQ(sim_acpi_requests(ACPIIO_BATT_GET_BATTINFO), infos);
}

// Sessions start and stop on another thread while the main thread samples
// without pause: no race (run under ThreadSanitizer), one descriptor for all
// the set-ups, and every start and stop counted.
TEST(PowerSessions, SetupsAndStopsWhileTheLoopSamples)
{
	const int rounds = 20;
	power_daemon_start();
	capture_begin();
	std::atomic<bool> done{false};
	std::thread sessions([&] {
		for (int i = 0; i < rounds; i++) {
			struct test_session *a = session_start("freebsd.power");
			struct test_session *b = session_start("freebsd.power");
			session_stop(a);
			session_read_and_destroy(a);
			session_read_and_destroy(b);
		}
		done.store(true, std::memory_order_release);
	});
	unsigned turns = 0;
	while (!done.load(std::memory_order_acquire)) {
		power_loop_turn();
		turns++;
	}
	sessions.join();
	captured_output out = capture_end();

	EXPECT_GT(turns, 0u);
	EXPECT_EQ(power_state.started.load(), 0u);
	EXPECT_EQ(sim_acpi_opens(), 1u);
	EXPECT_EQ(sim_acpi_open_descriptors(), 1u);
	size_t starts = 0;
	for (size_t at = out.out.find("fbsd_power_on_start_cb\n");
	    at != std::string::npos;
	    at = out.out.find("fbsd_power_on_start_cb\n", at + 1))
		starts++;
	EXPECT_EQ(starts, 2u * rounds);
	EXPECT_EQ(out.err, "");
}

// The program itself: silent at start-up (no battery read before a
// session), alive, arguments ignored.
TEST(PowerProgram, StartsSilentlyAndKeepsRunning)
{
	child_result r = run_program("power_producer", {"--verbose", "x"}, 1500);
	EXPECT_TRUE(r.alive);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
}

// The daemon's idle sleep ends as soon as a session starts, so that its
// first second is sampled; without a session it sleeps its time out.
TEST(PowerSessions, StartEndsTheIdleSleep)
{
	power_daemon_start();
	std::atomic<bool> woke{false};
	std::thread loop([&] {
		fbsd_power_sleep(&power_state, 60u * 1000 * 1000, true);
		woke.store(true);
	});
	usleep(50000);
	EXPECT_FALSE(woke.load());
	struct test_session *s = quiet_session();
	for (int i = 0; i < 1000 && !woke.load(); i++)
		usleep(10000);
	EXPECT_TRUE(woke.load());
	loop.join();
	session_read_and_destroy(s);

	uint64_t t0 = monotonic_ns();
	fbsd_power_sleep(&power_state, 20000, true);
	EXPECT_GE(monotonic_ns() - t0, 20000000u);
}
