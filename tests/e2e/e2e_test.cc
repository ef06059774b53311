// The daemons as users run them: processes beside the real tracing service,
// recorded with trace_recorder, read back with protobuf and with the real
// trace processor.
#include <signal.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/system.h"
#include "harness/tracing.h"

namespace {

const char *const daemons[] = {
	"sysstats_producer", "power_producer", "kfunc_producer",
};

enum { SYS_STATS = 7, TRACK_EVENT = 11, BATTERY = 38, POWER_RAILS = 40 };

size_t
count(const std::string &trace, uint32_t payload)
{
	return producer_packets_raw(trace, payload).size();
}

// Timestamps of the packets with `payload`, in trace order.
std::vector<uint64_t>
times(const std::string &trace, uint32_t payload)
{
	std::vector<uint64_t> out;
	for (const auto &p : producer_packets(trace, payload))
		out.push_back(p.timestamp());
	return out;
}

class E2e : public testing::Test {
protected:
	void SetUp() override
	{
		e2e_init(&sys, e2e_source_file(
		    "standins/freebsd/machine/example.txtpb"));
	}
	void TearDown() override { e2e_teardown(&sys); }

	void start_all_daemons()
	{
		for (const char *d : daemons)
			e2e_start_daemon(&sys, d);
	}

	// Records one second from all three, again and again, until each
	// data source has written (bounded); the last recording.
	e2e_recording record_until_served(int seconds)
	{
		e2e_recording r;
		for (int i = 0; i < seconds; i++) {
			r = e2e_record(&sys, all, 1000);
			if (count(r.trace, SYS_STATS) > 0 &&
			    count(r.trace, POWER_RAILS) > 0 &&
			    count(r.trace, TRACK_EVENT) > 0)
				break;
		}
		return r;
	}

	// The service and the three daemons, each of them connected.
	void serve_all()
	{
		ASSERT_TRUE(e2e_start_service(&sys));
		start_all_daemons();
		e2e_recording r = record_until_served(10);
		ASSERT_GT(count(r.trace, TRACK_EVENT), 0u) << r.err;
	}

	e2e_system sys;
	const std::string all = e2e_source_file("configs/all.txtpb");
};

// No service: each daemon starts silently (the statistics daemon prints
// its one start-up line), ignores its arguments, stays alive.
TEST_F(E2e, WithoutAServiceEachDaemonWaitsSilently)
{
	for (const char *d : daemons)
		e2e_start_daemon(&sys, d, {"-v", "--help", "extra"});
	e2e_sleep_ms(1500);
	for (const char *d : daemons) {
		EXPECT_TRUE(e2e_daemon_alive(&sys, d)) << d;
		EXPECT_EQ(e2e_daemon_output(&sys, d),
		    std::string(d) == "sysstats_producer" ? "maxcpu: 8\n" : "")
		    << d;
	}
}

// Daemons started before the service are served once it is up.
TEST_F(E2e, ServiceStartedAfterTheDaemons)
{
	start_all_daemons();
	e2e_sleep_ms(500);
	ASSERT_TRUE(e2e_start_service(&sys));
	e2e_recording r = record_until_served(30);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_GT(count(r.trace, SYS_STATS), 0u);
	EXPECT_GT(count(r.trace, POWER_RAILS), 0u);
	EXPECT_GT(count(r.trace, BATTERY), 0u);
	EXPECT_GT(count(r.trace, TRACK_EVENT), 0u);
}

// The service killed and started again under running daemons: the next
// sessions are served by the same daemon processes.
TEST_F(E2e, ServiceRestartedUnderRunningDaemons)
{
	ASSERT_TRUE(e2e_start_service(&sys));
	start_all_daemons();
	std::vector<pid_t> pids;
	for (const char *d : daemons)
		pids.push_back(sys.daemons[d].pid);
	e2e_recording first = record_until_served(10);
	ASSERT_GT(count(first.trace, TRACK_EVENT), 0u);

	e2e_stop_service(&sys, SIGKILL);
	e2e_sleep_ms(300);
	ASSERT_TRUE(e2e_start_service(&sys));
	e2e_recording again = record_until_served(30);
	EXPECT_GT(count(again.trace, SYS_STATS), 0u);
	EXPECT_GT(count(again.trace, POWER_RAILS), 0u);
	EXPECT_GT(count(again.trace, TRACK_EVENT), 0u);
	for (size_t i = 0; i < 3; i++) {
		EXPECT_TRUE(e2e_daemon_alive(&sys, daemons[i])) << daemons[i];
		EXPECT_EQ(sys.daemons[daemons[i]].pid, pids[i]) << daemons[i];
	}
}

// A two-second session of all three: packet counts and rates as decoded,
// and the tracks the trace processor makes of them, without errors.
TEST_F(E2e, TwoSecondSessionOfAllThree)
{
	ASSERT_NO_FATAL_FAILURE(serve_all());
	e2e_recording r = e2e_record(&sys, all, 2000);
	ASSERT_EQ(r.status, 0) << r.err;

	size_t sys_stats = count(r.trace, SYS_STATS);
	EXPECT_GE(sys_stats, 17u);
	EXPECT_LE(sys_stats, 21u);
	std::vector<uint64_t> rails = times(r.trace, POWER_RAILS);
	ASSERT_GT(rails.size(), 8u);
	double span_s = (double)(rails.back() - rails.front()) / 1e9;
	double hz = (double)rails.size() / 4 / span_s;
	EXPECT_GT(hz, 500) << "rail sampling rate";
	EXPECT_LT(hz, 1100) << "rail sampling rate";
	EXPECT_GT(count(r.trace, BATTERY), 0u);
	EXPECT_GT(count(r.trace, TRACK_EVENT), 0u);
	// The recorder's own count agrees with the trace.
	EXPECT_NE(r.out.find("sys_stats"), std::string::npos) << r.out;

	std::set<std::string> counters;
	for (const auto &row : e2e_query(r.path,
	    e2e_source_file("scripts/sql/counters.sql")))
		counters.insert(row[0]);
	for (const char *name : {
	    "cpu.times.user_ns cpu 0", "cpu.times.user_nice_ns cpu 0",
	    "cpu.times.system_mode_ns cpu 3", "cpu.times.idle_ns cpu 1",
	    "cpu.times.irq_ns cpu 2", "cpufreq cpu 0", "cpufreq cpu 3",
	    "cpuidle0.C1 cpu 0", "cpuidle3.C3 cpu 3",
	    "diskstat.[nda0].read_amount", "diskstat.[nda0].write_amount",
	    "num_irq (id: 0)", "power.pp0_uws", "power.pp1_uws",
	    "power.platform_uws", "power.dram_uws",
	    "batt.acpi0.capacity_pct", "batt.acpi0.charge_uah",
	    "batt.acpi0.current_ua", "batt.acpi0.current.avg_ua",
	    "batt.acpi0.voltage_uv" })
		EXPECT_EQ(counters.count(name), 1u) << name;
	// Partitions are not whole disks.
	for (const std::string &c : counters)
		EXPECT_EQ(c.find("nda0p"), std::string::npos) << c;

	auto cpu_tracks = e2e_query(r.path,
	    e2e_source_file("scripts/sql/cpu_tracks.sql"));
	ASSERT_GE(cpu_tracks.size(), 2u);
	EXPECT_EQ(cpu_tracks[0],
	    (std::vector<std::string>{"track", "slices", "instants"}));
	long slices = 0, instants = 0;
	for (size_t i = 1; i < cpu_tracks.size(); i++) {
		EXPECT_EQ(cpu_tracks[i][0].rfind("CPU ", 0), 0u)
		    << cpu_tracks[i][0];
		slices += std::stol(cpu_tracks[i][1]);
		instants += std::stol(cpu_tracks[i][2]);
	}
	EXPECT_GT(slices, 0);
	EXPECT_GT(instants, 0);

	auto problems = e2e_query(r.path,
	    e2e_source_file("scripts/sql/problems.sql"));
	EXPECT_EQ(problems.size(), 1u) << "errors or data losses";
}

// Two overlapping sessions: each gets whole data from each daemon, and the
// stop of the shorter does not end the longer one's data.
TEST_F(E2e, OverlappingSessionsEachGetWholeData)
{
	ASSERT_NO_FATAL_FAILURE(serve_all());
	pid_t a = e2e_record_start(&sys, all, 3000, "long");
	e2e_sleep_ms(1000);
	e2e_recording b = e2e_record(&sys, all, 1000, "short");
	e2e_recording ra = e2e_record_wait(&sys, a, "long");
	ASSERT_EQ(ra.status, 0) << ra.err;
	ASSERT_EQ(b.status, 0) << b.err;

	EXPECT_GE(count(ra.trace, SYS_STATS), 26u);
	EXPECT_GE(count(b.trace, SYS_STATS), 8u);
	for (uint32_t payload : {SYS_STATS, POWER_RAILS, BATTERY, TRACK_EVENT}) {
		std::vector<uint64_t> ta = times(ra.trace, payload);
		std::vector<uint64_t> tb = times(b.trace, payload);
		ASSERT_FALSE(ta.empty()) << payload;
		ASSERT_FALSE(tb.empty()) << payload;
		uint64_t a_last = *std::max_element(ta.begin(), ta.end());
		uint64_t b_last = *std::max_element(tb.begin(), tb.end());
		// The long session goes on for about a second after the short
		// one's last packet.
		EXPECT_GT(a_last, b_last + 500000000u) << payload;
	}
}

// A function without probes ends its own session with the compile line;
// the daemon serves the next session.
TEST_F(E2e, DtraceConfigWithoutProbesEndsOnlyItsSession)
{
	ASSERT_TRUE(e2e_start_service(&sys));
	e2e_start_daemon(&sys, "kfunc_producer");
	std::string bad = e2e_write_file(&sys, "bad.txtpb",
	    "buffers { size_kb: 4096 }\n"
	    "data_sources { config { name: \"dtrace\"\n"
	    "  dtrace_config { fbt_function: \"no_such_function\" } } }\n");
	e2e_recording r = e2e_record(&sys, bad, 1000, "bad");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(count(r.trace, TRACK_EVENT), 0u);
	EXPECT_NE(e2e_daemon_output(&sys, "kfunc_producer").find(
	    "kfunc_producer: failed to compile program: "), std::string::npos)
	    << e2e_daemon_output(&sys, "kfunc_producer");

	e2e_recording good = e2e_record(&sys,
	    e2e_source_file("configs/dtrace.txtpb"), 1000, "good");
	EXPECT_GT(count(good.trace, TRACK_EVENT), 0u);
	EXPECT_TRUE(e2e_daemon_alive(&sys, "kfunc_producer"));
}

// Failures of the DTrace facility end the daemon with its status; the
// session still ends.
TEST_F(E2e, DtraceFacilityFailuresEndTheDaemon)
{
	struct {
		const char *failure;
		int status;
		const char *line;
	} cases[] = {
		{"step: OPEN error: \"EACCES\"", 1,
		 "failed to initialize dtrace: Permission denied\n"},
		{"step: SETOPT option: \"bufsize\" error: \"ENOMEM\"", 2,
		 "kfunc_producer: failed to set 'bufsize': "},
		{"step: SETOPT option: \"bufpolicy\" error: \"EINVAL\"", 2,
		 "kfunc_producer: failed to set buffer policy 'switch': "},
	};
	ASSERT_TRUE(e2e_start_service(&sys));
	std::string config = e2e_source_file("configs/dtrace.txtpb");
	int n = 0;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.failure);
		std::string machine = e2e_write_file(&sys,
		    "machine" + std::to_string(n) + ".txtpb",
		    std::string("base: DEFAULT\nfailures { dtrace { ") +
		    c.failure + " } }\n");
		e2e_start_daemon(&sys, "kfunc_producer", {},
		    {"FREEBSD_SIM_MACHINE=" + machine});
		pid_t rec = e2e_record_start(&sys, config, 1500,
		    "fatal" + std::to_string(n));
		EXPECT_EQ(e2e_wait_daemon(&sys, "kfunc_producer", 20000),
		    c.status);
		e2e_recording r = e2e_record_wait(&sys, rec,
		    "fatal" + std::to_string(n));
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_NE(e2e_daemon_output(&sys, "kfunc_producer").find(c.line),
		    std::string::npos) << e2e_daemon_output(&sys, "kfunc_producer");
		n++;
	}
}

// A daemon killed in the middle of a session: the session still ends, and
// its trace holds what the daemon wrote before.
TEST_F(E2e, DaemonKilledMidSession)
{
	ASSERT_NO_FATAL_FAILURE(serve_all());
	pid_t rec = e2e_record_start(&sys, all, 3000, "killed");
	e2e_sleep_ms(1500);
	e2e_kill_daemon(&sys, "sysstats_producer", SIGKILL);
	e2e_recording r = e2e_record_wait(&sys, rec, "killed");
	EXPECT_EQ(r.status, 0) << r.err;
	size_t written = count(r.trace, SYS_STATS);
	EXPECT_GE(written, 8u);
	EXPECT_LE(written, 17u);
	EXPECT_GT(count(r.trace, POWER_RAILS), 0u);
}

// A malformed machine file stops the daemon at start, naming the file, the
// line and the column.
TEST_F(E2e, MalformedMachineFileStopsTheDaemon)
{
	ASSERT_TRUE(e2e_start_service(&sys));
	std::string machine = e2e_write_file(&sys, "broken.txtpb",
	    "base: DEFAULT\ncpus {\n  max_cpus: lots\n}\n");
	e2e_start_daemon(&sys, "sysstats_producer", {},
	    {"FREEBSD_SIM_MACHINE=" + machine});
	EXPECT_EQ(e2e_wait_daemon(&sys, "sysstats_producer", 10000), 78);
	EXPECT_NE(e2e_daemon_output(&sys, "sysstats_producer").find(
	    machine + ":3:"), std::string::npos)
	    << e2e_daemon_output(&sys, "sysstats_producer");
}

}  // namespace
