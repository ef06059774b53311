// The interrupt section: per-slot differences against the last successful
// reading of "hw.intrcnt", for the first 1024 slots.
#include <errno.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness/capture.h"
#include "sections_fixture.h"
#include "sim/kernel.h"
#include "sim/sysstats.h"

namespace {

typedef std::vector<std::pair<int, uint64_t>> irqs;

irqs
irqs_of(const perfetto::protos::SysStats &st)
{
	irqs out;
	for (const auto &e : st.num_irq()) {
		EXPECT_TRUE(e.has_irq());
		EXPECT_TRUE(e.has_count());
		out.push_back({e.irq(), e.count()});
	}
	return out;
}

void
set_counters(std::vector<uint64_t> v)
{
	sim_intrcnt_set(v.data(), v.size());
}

}  // namespace

TEST(Intrcnt, DifferencesAndTheZeroRule)
{
	start_sysstats_daemon();
	// Per pass, the counters of slots 0 to 5.
	const std::vector<std::vector<uint64_t>> readings = {
		{ 10, 0, 7, 9, 5, 3 },
		{ 15, 4, 7, 0, 5, 1 },	// slot 5 wraps around
		{ 25, 6, 7, 2, 0, 1 },
	};
	auto packets = sys_stats_over_passes(3, [&](int i) {
		set_counters(readings[i]);
	});
	ASSERT_EQ(packets.size(), 3u);
	// The first sample only fills the previous reading.
	EXPECT_EQ(irqs_of(packets[0]), irqs{});
	// Slot 1 was 0 before, slot 3 is 0 now; slot 2 is unchanged.
	EXPECT_EQ(irqs_of(packets[1]), (irqs{{0, 5}, {2, 0}, {4, 0},
	    {5, UINT64_MAX - 1}}));
	EXPECT_EQ(irqs_of(packets[2]), (irqs{{0, 10}, {1, 2}, {2, 0},
	    {5, 0}}));
	EXPECT_FALSE(packets[2].has_num_irq_total());
}

TEST(Intrcnt, OnlyTheFirst1024SlotsInAscendingOrder)
{
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(2, [](int i) {
		std::vector<uint64_t> v(1100, 0);
		v[1023] = 100 + i;
		v[1024] = 100 + 2 * i;
		v[1099] = 100 + 3 * i;
		v[17] = 50 + i;
		set_counters(v);
	});
	ASSERT_EQ(packets.size(), 2u);
	EXPECT_EQ(irqs_of(packets[1]), (irqs{{17, 1}, {1023, 1}}));
}

TEST(Intrcnt, FailedReadIsReportedAndTheNextGoodOneCoversBoth)
{
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(4, [&](int i) {
		sim_sysctl_fail("hw.intrcnt", i == 1 ? EIO : 0);
		set_counters({ 100 + 10 * (uint64_t)i, 3 });
		if (i == 2) {
			// More than 1 MiB of counters: every such read fails.
			set_counters(std::vector<uint64_t>(0x20001, 1));
		}
	});
	ASSERT_EQ(packets.size(), 4u);
	EXPECT_EQ(irqs_of(packets[1]), irqs{});
	EXPECT_EQ(irqs_of(packets[2]), irqs{});
	// Since the reading of pass 0: three intervals of 10.
	EXPECT_EQ(irqs_of(packets[3]), (irqs{{0, 30}, {1, 0}}));
}

TEST(Intrcnt, FailureLine)
{
	start_sysstats_daemon();
	std::vector<std::string> lines;
	auto packets = sys_stats_over_passes(2, [](int i) {
		if (i == 0)
			sim_sysctl_fail("hw.intrcnt", EIO);
		else
			set_counters(std::vector<uint64_t>(0x20001, 1));
		capture_begin();
	}, [&](int) {
		lines.push_back(capture_end().out);
		sim_sysctl_fail("hw.intrcnt", 0);
	});
	ASSERT_EQ(packets.size(), 2u);
	EXPECT_EQ(lines, (std::vector<std::string>{
	    "populate_intrcnt_data: sysctl failed; -1 (5)\n",
	    "populate_intrcnt_data: sysctl failed; -1 (12)\n"}));
}
