// The CPU-times section: per-CPU tick differences in nanoseconds.
#include <errno.h>
#include <unistd.h>

#include <vector>

#include "sim/sysstats.h"
#include "sysstats/cpu_data.h"
#include "sysstats_fixture.h"

namespace {

// Rows of (user, nice, sys, intr, idle) ticks.
void
set_cp_times(const std::vector<std::vector<long>> &rows)
{
	std::vector<long> flat;
	for (const auto &r : rows)
		flat.insert(flat.end(), r.begin(), r.end());
	sim_sysctl_set_longs("kern.cp_times", flat.data(), flat.size());
}

class CpuTimesTest : public SysstatsTest {};

TEST_F(CpuTimesTest, DifferencesOfPresentCpusInNanoseconds)
{
	// CPU 2 is absent: all zero at start-up.
	set_cp_times({{10, 0, 5, 1, 100}, {20, 1, 5, 1, 100}, {0, 0, 0, 0, 0},
	    {1, 0, 0, 0, 0}});
	captured_output start = start_daemon();
	EXPECT_EQ(start.out, "maxcpu: 256\n");
	EXPECT_EQ(cpu_table.max_cpu_id, 3);

	test_session *s = session_start(SYSSTATS_DATA_SOURCE);
	sysstats_pass();  // first sample: no entries, only a reading to keep
	set_cp_times({{11, 0, 5, 1, 228}, {20, 1, 5, 1, 100}, {9, 9, 9, 9, 9},
	    {1, 2, 3, 4, 5}});
	sysstats_pass();
	std::vector<perfetto::protos::SysStats> st =
	    sys_stats_of(session_read_and_destroy(s));

	ASSERT_EQ(st.size(), 2u);
	EXPECT_EQ(st[0].cpu_stat_size(), 0);
	ASSERT_EQ(st[1].cpu_stat_size(), 3);
	const auto &c0 = st[1].cpu_stat(0);
	EXPECT_EQ(c0.cpu_id(), 0u);
	EXPECT_EQ(c0.user_ns(), 7812500u);       // 1 tick
	EXPECT_EQ(c0.idle_ns(), 1000000000u);    // 128 ticks
	EXPECT_TRUE(c0.has_user_nice_ns() && c0.has_system_mode_ns() &&
	    c0.has_irq_ns());
	EXPECT_EQ(c0.system_mode_ns(), 0u);
	EXPECT_FALSE(c0.has_io_wait_ns() || c0.has_softirq_ns());
	const auto &c1 = st[1].cpu_stat(1);
	EXPECT_EQ(c1.cpu_id(), 1u);  // unchanged: all five written as 0
	EXPECT_TRUE(c1.has_user_ns() && c1.has_idle_ns());
	EXPECT_EQ(c1.user_ns() + c1.idle_ns() + c1.irq_ns(), 0u);
	const auto &c3 = st[1].cpu_stat(2);
	EXPECT_EQ(c3.cpu_id(), 3u);
	EXPECT_EQ(c3.user_nice_ns(), 2 * 7812500u);
	EXPECT_EQ(c3.system_mode_ns(), 3 * 7812500u);
	EXPECT_EQ(c3.irq_ns(), 4 * 7812500u);    // slot CP_INTR
	EXPECT_EQ(c3.idle_ns(), 5 * 7812500u);   // slot CP_IDLE
}

TEST_F(CpuTimesTest, FieldsInWireOrder)
{
	set_cp_times({{1, 1, 1, 1, 1}});
	start_daemon();
	test_session *s = session_start(SYSSTATS_DATA_SOURCE);
	sysstats_pass();
	set_cp_times({{2, 3, 4, 5, 6}});
	sysstats_pass();
	std::vector<std::string> raw = producer_packets_raw(
	    session_read_and_destroy(s), TRACE_PACKET_SYS_STATS);
	ASSERT_EQ(raw.size(), 2u);
	std::vector<wire_field> pkt = wire_fields(producer_bytes(raw[1]));
	ASSERT_EQ(pkt.size(), 2u);
	std::string cpu;
	for (const wire_field &f : wire_fields(pkt[1].bytes))
		if (f.id == 3)
			cpu = f.bytes;
	std::vector<uint32_t> ids;
	for (const wire_field &f : wire_fields(cpu))
		ids.push_back(f.id);
	EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3, 4, 5, 7}));
}

// The difference and its product with 10^9 wrap modulo 2^64 before the
// shift: a counter that wrapped still gives its true difference, and a
// difference of 2^35 ticks (whose product exceeds 2^64) gives the wrapped
// product / 128, not 2^35 x 7 812 500.
TEST_F(CpuTimesTest, WrapAroundIsUnsignedModulo)
{
	const long big = 1L << 35;
	set_cp_times({{-1, 0, 0, 0, 1}, {1, 0, 0, 0, 1}});  // ULONG_MAX ticks
	start_daemon();
	test_session *s = session_start(SYSSTATS_DATA_SOURCE);
	sysstats_pass();
	// Two ticks later, wrapped; 2^35 ticks later.
	set_cp_times({{1, 0, 0, 0, 1}, {1 + big, 0, 0, 0, 1}});
	sysstats_pass();
	auto st = sys_stats_of(session_read_and_destroy(s));
	ASSERT_EQ(st[1].cpu_stat_size(), 2);
	EXPECT_EQ(st[1].cpu_stat(0).user_ns(), 2 * 7812500u);
	const uint64_t wrapped = ((uint64_t)big * 1000000000u) >> 7;
	ASSERT_NE(wrapped, (uint64_t)big * 7812500u);
	EXPECT_EQ(st[1].cpu_stat(1).user_ns(), wrapped);
}

// An absent CPU gets no times, but the frequency and idle-state sections
// still visit its index.
TEST_F(CpuTimesTest, AbsentCpuIndexStillHasFrequencyAndIdleStates)
{
	set_cp_times({{1, 0, 0, 0, 1}, {0, 0, 0, 0, 0}, {1, 0, 0, 0, 1}});
	sim_cpu_freq_set(1, 1000);
	sim_cpu_cx_set(1, "C1/hlt", "42");
	start_daemon();
	auto st = record(2);
	ASSERT_EQ(st.size(), 2u);
	ASSERT_EQ(st[1].cpu_stat_size(), 2);
	EXPECT_EQ(st[1].cpu_stat(1).cpu_id(), 2u);
	ASSERT_EQ(st[1].cpufreq_khz_size(), 3);
	EXPECT_EQ(st[1].cpufreq_khz(1), 1000000u);
	bool idle1 = false;
	for (const auto &c : st[1].cpuidle_state())
		if (c.cpu_id() == 1) {
			idle1 = true;
			ASSERT_EQ(c.cpuidle_state_entry_size(), 1);
			EXPECT_EQ(c.cpuidle_state_entry(0).state(), "C1");
			EXPECT_EQ(c.cpuidle_state_entry(0).duration_us(), 42u);
		}
	EXPECT_TRUE(idle1);
}

TEST_F(CpuTimesTest, FailedSampleIsReportedAndTheNextCoversBothIntervals)
{
	set_cp_times({{1, 0, 0, 0, 1}});
	start_daemon();
	test_session *s = session_start(SYSSTATS_DATA_SOURCE);
	sysstats_pass();
	sim_sysctl_fail("kern.cp_times", EIO);
	capture_begin();
	sysstats_pass();
	captured_output failed = capture_end();
	sim_sysctl_fail("kern.cp_times", 0);
	set_cp_times({{4, 0, 0, 0, 1}});
	sysstats_pass();
	auto st = sys_stats_of(session_read_and_destroy(s));

	EXPECT_EQ(failed.out, "populate_cpu_data: kern.cp_times failed (5)\n");
	ASSERT_EQ(st.size(), 3u);
	EXPECT_EQ(st[1].cpu_stat_size(), 0);
	ASSERT_EQ(st[2].cpu_stat_size(), 1);
	EXPECT_EQ(st[2].cpu_stat(0).user_ns(), 3 * 7812500u);
}

// Start-up failures: the line printed, and no entry ever after.
TEST_F(CpuTimesTest, StartupFailuresLeaveTheSectionEmpty)
{
	struct {
		const char *node;
		int err;
		const char *out;
	} cases[] = {
		{"kern.smp.maxcpus", ENOENT,
		 "setup_cpu_data: kern.smp.maxcpus failed (-1)\n"},
		{"kern.cp_times", ENOMEM,
		 "maxcpu: 256\nsetup_cpu_data: kern.cp_times failed (12)\n"},
	};
	for (const auto &c : cases) {
		// Each start-up needs a fresh process.
		EXPECT_EXIT({
			sim_sysctl_fail(c.node, c.err);
			captured_output start = start_daemon();
			sim_sysctl_fail(c.node, 0);
			auto st = record(3);
			bool ok = start.out == c.out && st.size() == 3;
			for (const auto &x : st)
				ok = ok && x.cpu_stat_size() == 0;
			_exit(ok ? 0 : 1);  // no exit handlers: the SDK's threads run on
		}, ::testing::ExitedWithCode(0), "") << c.node;
	}
}

TEST_F(CpuTimesTest, ShortStartupReadingMeansNoCpuEver)
{
	char bytes[39] = {1};
	sim_sysctl_set("kern.cp_times", bytes, sizeof bytes);
	start_daemon();
	EXPECT_EQ(cpu_table.max_cpu_id, -1);
	set_cp_times({{1, 1, 1, 1, 1}});
	auto st = record(3);
	ASSERT_EQ(st.size(), 3u);
	for (const auto &x : st)
		EXPECT_EQ(x.cpu_stat_size(), 0);
	EXPECT_TRUE(cpu_table.cp_times_prev_valid);
}

// Reading n gives n*n user ticks, so every interval is distinct.
void
growing_cp_times(std::string *out, void *arg)
{
	unsigned *reads = static_cast<unsigned *>(arg);
	long row[5] = {(long)(*reads * *reads), 0, 0, 0, 1000};
	(*reads)++;
	out->assign(reinterpret_cast<char *>(row), sizeof row);
}

TEST_F(CpuTimesTest, TwoSessionsShareOneTableAndEachGetsAPacketPerPass)
{
	static unsigned reads;
	sim_sysctl_set_dynamic("kern.cp_times", growing_cp_times, &reads);
	start_daemon();  // reading 0
	test_session *a = session_start(SYSSTATS_DATA_SOURCE);
	test_session *b = session_start(SYSSTATS_DATA_SOURCE);
	sysstats_pass();  // a: reading 1 (first sample), b: reading 2
	sysstats_pass();  // a: reading 3, b: reading 4
	auto sa = sys_stats_of(session_read_and_destroy(a));
	auto sb = sys_stats_of(session_read_and_destroy(b));
	ASSERT_EQ(sa.size(), 2u);
	ASSERT_EQ(sb.size(), 2u);
	EXPECT_EQ(sa[0].cpu_stat_size(), 0);
	EXPECT_EQ(sb[0].cpu_stat(0).user_ns(), (4 - 1) * 7812500u);
	EXPECT_EQ(sa[1].cpu_stat(0).user_ns(), (9 - 4) * 7812500u);
	EXPECT_EQ(sb[1].cpu_stat(0).user_ns(), (16 - 9) * 7812500u);
}

}  // namespace
