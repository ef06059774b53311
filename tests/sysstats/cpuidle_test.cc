// The idle-state section: names from the method list, numbers from the
// duration list, paired slot by slot.
#include <errno.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sections_fixture.h"
#include "sim/kernel.h"
#include "sim/sysstats.h"

namespace {

typedef std::vector<std::pair<std::string, uint64_t>> entries;

// The entries of `cpu`, or nullptr when the CPU has no CpuIdleState.
const perfetto::protos::SysStats::CpuIdleState *
idle_state_of(const perfetto::protos::SysStats &st, uint32_t cpu)
{
	const perfetto::protos::SysStats::CpuIdleState *found = nullptr;
	for (const auto &s : st.cpuidle_state()) {
		if (s.cpu_id() == cpu) {
			EXPECT_EQ(found, nullptr) << "cpu " << cpu << " twice";
			found = &s;
		}
	}
	return found;
}

entries
entries_of(const perfetto::protos::SysStats::CpuIdleState &s)
{
	entries out;
	for (const auto &e : s.cpuidle_state_entry()) {
		EXPECT_TRUE(e.has_state());
		EXPECT_TRUE(e.has_duration_us());
		out.push_back({e.state(), e.duration_us()});
	}
	return out;
}

struct idle_case {
	const char *what;
	const char *method;	// nullptr: the read fails
	const char *durations;	// nullptr: the read fails
	bool present;
	entries want;
};

const std::string long_name(100, 'X');
const std::string long_method = long_name + "/mwait C2";

const idle_case idle_cases[] = {
	{ "names end at the first slash", "C1/mwait/hwc C2/io", "100 200",
	    true, {{"C1", 100}, {"C2", 200}} },
	{ "a token without slash is the whole name", "C1 C2 C3", "1 2 3",
	    true, {{"C1", 1}, {"C2", 2}, {"C3", 3}} },
	{ "names are cut to 63 characters", long_method.c_str(), "5 6",
	    true, {{std::string(63, 'X'), 5}, {"C2", 6}} },
	{ "at most 8 names and 8 entries", "A B C D E F G H I J",
	    "1 2 3 4 5 6 7 8 9 10", true,
	    {{"A", 1}, {"B", 2}, {"C", 3}, {"D", 4}, {"E", 5}, {"F", 6},
	    {"G", 7}, {"H", 8}} },
	{ "a trailing space gives a last empty token worth 0", "C1 C2",
	    "100 ", true, {{"C1", 100}, {"C2", 0}} },
	{ "hexadecimal and octal tokens", "C1 C2 C3", "0x10 010 10", true,
	    {{"C1", 16}, {"C2", 8}, {"C3", 10}} },
	{ "a negated 1 is skipped, other negated numbers kept", "C1 C2 C3",
	    "-1 -2 5", true, {{"C1", UINT64_MAX - 1}, {"C2", 5}} },
	{ "an out-of-range number is skipped", "C1 C2",
	    "99999999999999999999999 7", true, {{"C1", 7}} },
	{ "every token skipped leaves only the cpu id", "C1", "-1", true,
	    {} },
	{ "a token without digits is 0", "C1 C2", "n/a 9", true,
	    {{"C1", 0}, {"C2", 9}} },
	{ "fewer numbers than names", "C1 C2 C3", "7", true, {{"C1", 7}} },
	{ "more numbers than names get an empty name", "C1", "1 2 3", true,
	    {{"C1", 1}, {"", 2}, {"", 3}} },
	{ "two spaces make an empty name between", "C1  C2", "1 2 3", true,
	    {{"C1", 1}, {"", 2}, {"C2", 3}} },
	{ "a failed method read leaves the CPU out", nullptr, "1 2", false,
	    {} },
	{ "a failed duration read leaves the CPU out", "C1 C2", nullptr,
	    false, {} },
};

void
set_cpu0(const idle_case &c)
{
	sim_sysctl_fail("dev.cpu.0.cx_method", c.method ? 0 : EIO);
	sim_sysctl_fail("dev.cpu.0.cx_duration_counters",
	    c.durations ? 0 : EIO);
	sim_cpu_cx_set(0, c.method ? c.method : "C1",
	    c.durations ? c.durations : "1");
}

}  // namespace

TEST(CpuIdle, TokenisingAndPairing)
{
	start_sysstats_daemon();
	const size_t n = sizeof idle_cases / sizeof idle_cases[0];
	auto packets = sys_stats_over_passes((int)n, [](int i) {
		set_cpu0(idle_cases[i]);
	});
	ASSERT_EQ(packets.size(), n);
	for (size_t i = 0; i < n; i++) {
		const idle_case &c = idle_cases[i];
		SCOPED_TRACE(c.what);
		const auto *s = idle_state_of(packets[i], 0);
		ASSERT_EQ(s != nullptr, c.present);
		if (s != nullptr) {
			EXPECT_EQ(entries_of(*s), c.want);
		}
		// The other CPUs are untouched: their two default states.
		for (uint32_t cpu = 1; cpu < 4; cpu++) {
			const auto *o = idle_state_of(packets[i], cpu);
			ASSERT_NE(o, nullptr);
			EXPECT_EQ(o->cpuidle_state_entry_size(), 2);
		}
	}
}

// Without its method list a CPU's durations are not even read.
TEST(CpuIdle, FailedMethodReadSkipsTheDurations)
{
	start_sysstats_daemon();
	sim_sysctl_fail("dev.cpu.0.cx_method", EIO);
	unsigned method = sim_sysctl_reads("dev.cpu.0.cx_method");
	unsigned durations = sim_sysctl_reads("dev.cpu.0.cx_duration_counters");
	auto packets = sys_stats_over_passes(2);
	ASSERT_EQ(packets.size(), 2u);
	EXPECT_EQ(idle_state_of(packets[1], 0), nullptr);
	EXPECT_EQ(sim_sysctl_reads("dev.cpu.0.cx_method"), method + 2);
	EXPECT_EQ(sim_sysctl_reads("dev.cpu.0.cx_duration_counters"), durations);
}

// The default machine: every CPU index in order, C1 and C2 each.
TEST(CpuIdle, DefaultMachineReportsTwoStatesPerCpu)
{
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(2);
	ASSERT_EQ(packets.size(), 2u);
	for (const auto &st : packets) {
		ASSERT_EQ(st.cpuidle_state_size(), 4);
		for (int cpu = 0; cpu < 4; cpu++) {
			const auto &s = st.cpuidle_state(cpu);
			EXPECT_EQ(s.cpu_id(), (uint32_t)cpu);
			ASSERT_EQ(s.cpuidle_state_entry_size(), 2);
			EXPECT_EQ(s.cpuidle_state_entry(0).state(), "C1");
			EXPECT_EQ(s.cpuidle_state_entry(1).state(), "C2");
		}
	}
	// Values are written as read, not as differences.
	EXPECT_GT(packets[1].cpuidle_state(0).cpuidle_state_entry(1).duration_us(),
	    packets[0].cpuidle_state(0).cpuidle_state_entry(1).duration_us());
}

// A CPU's names never leak into the entries of the next CPU.
TEST(CpuIdle, UnfilledNameSlotsAreEmptyForEveryCpu)
{
	sim_cpu_cx_set(0, "A B C D", "1 2 3 4");
	sim_cpu_cx_set(1, "Z", "1 2 3");
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(1);
	ASSERT_EQ(packets.size(), 1u);
	const auto *s = idle_state_of(packets[0], 1);
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(entries_of(*s), (entries{{"Z", 1}, {"", 2}, {"", 3}}));
}

// Values that do not fit the 128-byte buffer, or fill it without a
// terminator, are never read past its end.
TEST(CpuIdle, ValuesAtTheBufferLimit)
{
	std::string too_long(200, 'C');
	sim_cpu_cx_set(0, too_long.c_str(), "1");
	// Exactly 128 bytes, no NUL: "7" and 127 spaces.
	std::string full = "7" + std::string(127, ' ');
	sim_cpu_cx_set(1, "C1 C2", nullptr);
	sim_sysctl_set("dev.cpu.1.cx_duration_counters", full.data(),
	    full.size());
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(1);
	ASSERT_EQ(packets.size(), 1u);
	EXPECT_EQ(idle_state_of(packets[0], 0), nullptr);
	const auto *s = idle_state_of(packets[0], 1);
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(entries_of(*s), (entries{{"C1", 7}, {"C2", 0}, {"", 0},
	    {"", 0}, {"", 0}, {"", 0}, {"", 0}, {"", 0}}));
}
