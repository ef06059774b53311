// A whole statistics packet from the default machine: the five sections in
// their fixed order, nothing else, and readable with the published schema.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sections_fixture.h"
#include "sim/kernel.h"
#include "sim/sysstats.h"

namespace {

// SysStats fields: disks, interrupts, CPU times, frequencies, idle states.
const std::vector<uint32_t> section_order = { 13, 6, 3, 11, 16 };

// The repository's sibling tools directory, found from this file's path.
std::string
decode_tool(void)
{
	std::string here = __FILE__;
	for (int up = 0; up < 3; up++)
		here = here.substr(0, here.rfind('/'));
	return here + "/../shared/tools/decode-trace";
}

// The names of the fields directly inside each "sys_stats {" block of the
// text that decode-trace prints.
std::vector<std::set<std::string>>
sys_stats_blocks(const std::string &text)
{
	std::vector<std::set<std::string>> blocks;
	std::istringstream in(text);
	std::string line;
	size_t block_indent = std::string::npos;
	while (std::getline(in, line)) {
		size_t indent = line.find_first_not_of(' ');
		if (indent == std::string::npos)
			continue;
		std::string body = line.substr(indent);
		if (block_indent == std::string::npos) {
			if (body == "sys_stats {") {
				block_indent = indent;
				blocks.emplace_back();
			}
			continue;
		}
		if (indent == block_indent && body == "}") {
			block_indent = std::string::npos;
			continue;
		}
		if (indent == block_indent + 2 && body != "}")
			blocks.back().insert(body.substr(0,
			    body.find_first_of(" :{")));
	}
	return blocks;
}

}  // namespace

TEST(SysStatsPacket, FiveSectionsInOrderAndDecodable)
{
	start_sysstats_daemon();
	struct test_session *s = session_start(SYSSTATS_DATA_SOURCE);
	// The second sample has differences for interrupts and CPU times.
	sysstats_pass();
	sysstats_pass();
	session_stop(s);
	std::string trace = session_read_and_destroy(s);

	std::vector<std::string> packets = producer_packets_raw(trace,
	    TRACE_PACKET_SYS_STATS);
	ASSERT_EQ(packets.size(), 2u);
	std::vector<wire_field> root = wire_fields(producer_bytes(packets[1]));
	ASSERT_EQ(root.size(), 2u);
	EXPECT_EQ(root[0].id, 8u);
	ASSERT_EQ(root[1].id, 7u);
	// Runs of equal field numbers, in wire order.
	std::vector<uint32_t> runs;
	for (const wire_field &f : wire_fields(root[1].bytes))
		if (runs.empty() || runs.back() != f.id)
			runs.push_back(f.id);
	EXPECT_EQ(runs, section_order);

	// Field order inside the entries of this packet's sections.
	auto ids = [](const std::string &msg) {
		std::vector<uint32_t> out;
		for (const wire_field &f : wire_fields(msg))
			out.push_back(f.id);
		return out;
	};
	for (const wire_field &f : wire_fields(root[1].bytes)) {
		SCOPED_TRACE(f.id);
		if (f.id == 13) {
			EXPECT_EQ(ids(f.bytes),
			    (std::vector<uint32_t>{1, 2, 3, 4, 5}));
		} else if (f.id == 6) {
			EXPECT_EQ(ids(f.bytes), (std::vector<uint32_t>{1, 2}));
		} else if (f.id == 11) {
			EXPECT_EQ(f.wire_type, 0u);	// unpacked varints
		}
		if (f.id != 16)
			continue;
		std::vector<wire_field> idle = wire_fields(f.bytes);
		ASSERT_EQ(idle.size(), 3u);
		EXPECT_EQ(idle[0].id, 1u);
		for (size_t i = 1; i < idle.size(); i++) {
			EXPECT_EQ(idle[i].id, 2u);
			EXPECT_EQ(ids(idle[i].bytes),
			    (std::vector<uint32_t>{1, 2}));
		}
	}

	std::string tool = decode_tool();
	if (access(tool.c_str(), X_OK) != 0 ||
	    std::system("command -v protoc >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "needs " << tool << " and protoc";
	std::string dir = testing::TempDir();
	std::string file = dir + "sys_stats_packet." +
	    std::to_string(getpid()) + ".trace";
	std::string text_file = file + ".txt";
	{
		std::ofstream out(file, std::ios::binary);
		out << trace;
	}
	std::string cmd = tool + " " + file + " > " + text_file + " 2>&1";
	ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
	std::ifstream in(text_file);
	std::string text((std::istreambuf_iterator<char>(in)),
	    std::istreambuf_iterator<char>());
	std::vector<std::set<std::string>> blocks = sys_stats_blocks(text);
	ASSERT_EQ(blocks.size(), 2u) << text;
	EXPECT_EQ(blocks[1], (std::set<std::string>{"disk_stat", "num_irq",
	    "cpu_stat", "cpufreq_khz", "cpuidle_state"})) << text;
	// The first sample has no previous values to subtract.
	EXPECT_EQ(blocks[0], (std::set<std::string>{"disk_stat", "cpufreq_khz",
	    "cpuidle_state"})) << text;
	unlink(file.c_str());
	unlink(text_file.c_str());
}

// Without an enabled session no section samples anything.
TEST(SysStatsPacket, DisabledPassesTakeNoSample)
{
	start_sysstats_daemon();
	unsigned snapshots = sim_geom_snapshots_taken();
	unsigned intr = sim_sysctl_reads("hw.intrcnt");
	unsigned freq = sim_sysctl_reads("dev.cpu.0.freq");
	unsigned cx = sim_sysctl_reads("dev.cpu.0.cx_method");
	for (int i = 0; i < 3; i++)
		sysstats_pass();
	EXPECT_EQ(sim_geom_snapshots_taken(), snapshots);
	EXPECT_EQ(sim_sysctl_reads("hw.intrcnt"), intr);
	EXPECT_EQ(sim_sysctl_reads("dev.cpu.0.freq"), freq);
	EXPECT_EQ(sim_sysctl_reads("dev.cpu.0.cx_method"), cx);
}
