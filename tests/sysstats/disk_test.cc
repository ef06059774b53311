// The disk section: running totals of the whole disks that the GEOM tree
// held at start-up, one statistics snapshot per packet.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sections_fixture.h"
#include "sim/kernel.h"
#include "sim/sysstats.h"

namespace {

std::vector<std::string>
disk_names(const perfetto::protos::SysStats &st)
{
	std::vector<std::string> out;
	for (const auto &d : st.disk_stat())
		out.push_back(d.device_name());
	return out;
}

}  // namespace

// ada0 with partitions ada0p1 and ada0p2: the partitions' geoms have rank 2.
TEST(Disk, OneEntryForTheWholeDiskWithGrowingTotals)
{
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(3);
	ASSERT_EQ(packets.size(), 3u);
	for (size_t i = 0; i < packets.size(); i++) {
		ASSERT_EQ(disk_names(packets[i]), std::vector<std::string>{"ada0"});
		const auto &d = packets[i].disk_stat(0);
		EXPECT_TRUE(d.has_read_sectors() && d.has_read_time_ms() &&
		    d.has_write_sectors() && d.has_write_time_ms());
		EXPECT_FALSE(d.has_discard_sectors() || d.has_flush_count());
		if (i == 0)
			continue;
		const auto &p = packets[i - 1].disk_stat(0);
		EXPECT_GE(d.read_sectors(), p.read_sectors());
		EXPECT_GE(d.write_sectors(), p.write_sectors());
		EXPECT_GE(d.read_time_ms(), p.read_time_ms());
		EXPECT_GE(d.write_time_ms(), p.write_time_ms());
		EXPECT_GT(d.read_sectors(), 0u);
	}

	// The last packet's totals are the record's own, in 512-byte blocks.
	struct sim_disk_stats st;
	ASSERT_TRUE(sim_geom_get_stats("ada0", &st));
	const auto &last = packets[2].disk_stat(0);
	EXPECT_EQ(last.read_sectors(), st.bytes_read / 512);
	EXPECT_EQ(last.write_sectors(), st.bytes_written / 512);
	long double read_s = st.read_time.sec + st.read_time.frac * 0x1p-64L;
	EXPECT_EQ(last.read_time_ms(), (uint64_t)(read_s * 1000));
	// Start-up's base snapshot is the only one left.
	EXPECT_EQ(sim_geom_snapshots_live(), 1u);
}

TEST(Disk, TimesAreTruncatedToMilliseconds)
{
	struct sim_disk_stats st = {};
	st.bytes_read = 4096 * 3 + 100;
	st.bytes_written = 512;
	st.read_time = sim_bintime(1, 0.9999L);
	st.write_time = sim_bintime(0, 0.0005L);
	ASSERT_TRUE(sim_geom_set_stats("ada0", &st));
	struct sim_disk_stats none = {};
	ASSERT_TRUE(sim_geom_set_growth("ada0", &none));
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(1);
	ASSERT_EQ(packets.size(), 1u);
	ASSERT_EQ(packets[0].disk_stat_size(), 1);
	const auto &d = packets[0].disk_stat(0);
	EXPECT_EQ(d.read_time_ms(), 1999u);
	EXPECT_EQ(d.write_time_ms(), 0u);
	EXPECT_EQ(d.read_sectors(), 24u);
	EXPECT_EQ(d.write_sectors(), 1u);
}

// Disks attached after start-up are not in the tree: never reported, wherever
// their records fall (the start-up page, or a page beyond it).
TEST(Disk, DiskAddedAfterStartUpNeverAppears)
{
	start_sysstats_daemon();
	sim_geom_add_disk("ada1", 512, 1 << 30);
	for (unsigned i = 0; i < sim_geom_records_per_page(); i++)
		sim_geom_add_disk(("da" + std::to_string(i)).c_str(), 512, 0);
	auto packets = sys_stats_over_passes(2);
	ASSERT_EQ(packets.size(), 2u);
	for (const auto &st : packets)
		EXPECT_EQ(disk_names(st), std::vector<std::string>{"ada0"});
}

// Rank 1 is what makes a disk, whatever the class; other ranks never count.
TEST(Disk, WholeDisksOfEveryClassInRecordOrder)
{
	sim_geom_add_provider("MD", "md0", 1, "md0");
	sim_geom_add_provider("LABEL", "gpt/root", 3, "gpt/root");
	sim_geom_add_disk("nvd0", 4096, 0);
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(1);
	ASSERT_EQ(packets.size(), 1u);
	EXPECT_EQ(disk_names(packets[0]),
	    (std::vector<std::string>{"ada0", "md0", "nvd0"}));
}

TEST(Disk, NoSnapshotGivesAnEmptySection)
{
	start_sysstats_daemon();
	auto packets = sys_stats_over_passes(3, [](int i) {
		if (i == 1)
			sim_geom_snapshot_fail(1);
	});
	ASSERT_EQ(packets.size(), 3u);
	EXPECT_EQ(packets[0].disk_stat_size(), 1);
	EXPECT_EQ(packets[1].disk_stat_size(), 0);
	EXPECT_EQ(packets[2].disk_stat_size(), 1);
	// The other sections are there all the same.
	EXPECT_EQ(packets[1].cpufreq_khz_size(), 4);
	EXPECT_EQ(sim_geom_snapshots_live(), 1u);
}

// Start-up failures: nothing to walk or match, every section stays empty and
// nothing is looked up in a tree that was never read.
TEST(Disk, FailedSetUpGivesEmptySections)
{
	const struct {
		const char *what;
		void (*fail)(void);
	} cases[] = {
		{ "tree", [] { sim_geom_tree_fail(EILSEQ); } },
		{ "statistics device", [] { sim_geom_stats_open_fail(ENOENT); } },
		{ "base snapshot", [] { sim_geom_snapshot_fail(1); } },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EXIT({
			c.fail();
			start_sysstats_daemon();
			auto packets = sys_stats_over_passes(2);
			bool empty = packets.size() == 2 &&
			    packets[0].disk_stat_size() == 0 &&
			    packets[1].disk_stat_size() == 0 &&
			    sim_geom_snapshots_live() <= 1;
			exit(empty ? 0 : 1);
		}, testing::ExitedWithCode(0), "");
	}
}

// Each instance's packet takes a snapshot of its own.
TEST(Disk, TwoSessionsEachGetTheirOwnSnapshot)
{
	start_sysstats_daemon();
	struct test_session *a = session_start(SYSSTATS_DATA_SOURCE);
	struct test_session *b = session_start(SYSSTATS_DATA_SOURCE);
	unsigned before = sim_geom_snapshots_taken();
	sysstats_pass();
	sysstats_pass();
	EXPECT_EQ(sim_geom_snapshots_taken() - before, 4u);
	session_stop(a);
	session_stop(b);
	auto pa = producer_packets(session_read_and_destroy(a),
	    TRACE_PACKET_SYS_STATS);
	auto pb = producer_packets(session_read_and_destroy(b),
	    TRACE_PACKET_SYS_STATS);
	ASSERT_EQ(pa.size(), 2u);
	ASSERT_EQ(pb.size(), 2u);
	std::vector<uint64_t> reads;
	for (size_t i = 0; i < 2; i++) {
		for (const auto *p : { &pa[i], &pb[i] }) {
			ASSERT_EQ(disk_names(p->sys_stats()),
			    std::vector<std::string>{"ada0"});
			reads.push_back(p->sys_stats().disk_stat(0).read_sectors());
		}
	}
	// The counters grow at every snapshot, so four snapshots give four
	// different totals, whichever instance went first in a pass.
	std::sort(reads.begin(), reads.end());
	EXPECT_EQ(std::adjacent_find(reads.begin(), reads.end()), reads.end());
	EXPECT_EQ(sim_geom_snapshots_live(), 1u);
}
