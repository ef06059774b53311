// The frequency section: one element per CPU index, MHz turned into kHz.
#include <errno.h>
#include <stdint.h>

#include <vector>

#include <gtest/gtest.h>

#include "sections_fixture.h"
#include "sim/kernel.h"
#include "sim/sysstats.h"

namespace {

std::vector<uint32_t>
khz_of(const perfetto::protos::SysStats &st)
{
	return std::vector<uint32_t>(st.cpufreq_khz().begin(),
	    st.cpufreq_khz().end());
}

}  // namespace

// The default machine: four CPU indices, a cpufreq device on CPU 0 only.
TEST(CpuFreq, OneElementPerCpuIndexZeroWithoutADriver)
{
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(1);
	ASSERT_EQ(packets.size(), 1u);
	EXPECT_EQ(khz_of(packets[0]),
	    (std::vector<uint32_t>{2400000, 0, 0, 0}));

	sim_sysctl_remove("dev.cpu.0.freq");
	packets = sys_stats_over_passes(1);
	ASSERT_EQ(packets.size(), 1u);
	EXPECT_EQ(khz_of(packets[0]), (std::vector<uint32_t>{0, 0, 0, 0}));
}

TEST(CpuFreq, ValuesAsReadEachCpuOnItsOwn)
{
	start_sysstats_daemon();
	sim_cpu_freq_set(0, 1200);
	// 5 000 000 MHz overflows 32 bits in kHz: kept modulo 2^32.
	sim_cpu_freq_set(1, 5000000);
	sim_sysctl_fail("dev.cpu.2.freq", EIO);
	// A node shorter than an int: the missing bytes read as zero.
	const unsigned char two_bytes[2] = { 0xb0, 0x04 };	// 1200
	sim_sysctl_set("dev.cpu.3.freq", two_bytes, sizeof two_bytes);

	auto packets = sys_stats_over_passes(1);
	ASSERT_EQ(packets.size(), 1u);
	EXPECT_EQ(khz_of(packets[0]), (std::vector<uint32_t>{1200000,
	    (uint32_t)(5000000ULL * 1000 % (1ULL << 32)), 0, 1200000}));
}

// With no CPU rows at start-up neither per-CPU section writes anything.
TEST(CpuFreq, NoCpuRowsNoFrequencyOrIdleStates)
{
	const long too_short = 1;
	sim_sysctl_set_longs("kern.cp_times", &too_short, 1);
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(2);
	ASSERT_EQ(packets.size(), 2u);
	for (const auto &st : packets) {
		EXPECT_EQ(st.cpufreq_khz_size(), 0);
		EXPECT_EQ(st.cpuidle_state_size(), 0);
	}
	EXPECT_EQ(sim_sysctl_reads("dev.cpu.0.freq"), 0u);
}
