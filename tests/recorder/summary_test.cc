// The recorder's packet summary over traces built here: packets as the
// service stores them (SDK prefix, service fields after the payload) and
// the service's own packets.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "harness/tracing.h"
#include "recorder/summary.h"

static const std::string first_on_sequence("\xb8\x05\x01", 3);

// A producer's packet: timestamp, payload, then the service's fields.
static std::string
producer_packet(uint32_t payload_field, bool first)
{
	std::string p = (first ? first_on_sequence : "") +
	    pb_varint_field(8, 123456789) +
	    pb_bytes_field(payload_field, pb_varint_field(1, 1));
	return p + pb_varint_field(3, 0) + pb_varint_field(10, 2);
}

static std::string
packet(const std::string &bytes)
{
	return pb_bytes_field(1, bytes);
}

static std::string
print_to_string(const struct packet_counts *counts)
{
	FILE *f = tmpfile();
	print_packet_counts(f, counts);
	rewind(f);
	std::string s;
	char buf[256];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		s.append(buf, n);
	fclose(f);
	return s;
}

TEST(RecorderSummary, CountsPacketsByPayload)
{
	std::string trace =
	    // the service's: trace config (33), clock snapshot (6)
	    packet(pb_bytes_field(33, pb_bytes_field(1, "x")) +
	        pb_varint_field(10, 1)) +
	    packet(pb_bytes_field(6, "") + pb_varint_field(10, 1)) +
	    packet(producer_packet(7, true)) +
	    packet(producer_packet(7, false)) +
	    packet(producer_packet(7, false)) +
	    packet(producer_packet(40, true)) +
	    packet(producer_packet(40, false)) +
	    packet(producer_packet(38, false)) +
	    packet(producer_packet(11, true)) +
	    // field 7 as a varint is no SysStats
	    packet(pb_varint_field(7, 5)) +
	    // an empty packet
	    packet("");
	struct packet_counts c;
	ASSERT_TRUE(count_packets(trace, &c));
	EXPECT_EQ(c.sys_stats, 3u);
	EXPECT_EQ(c.power_rails, 2u);
	EXPECT_EQ(c.battery, 1u);
	EXPECT_EQ(c.track_event, 1u);
	EXPECT_EQ(c.other, 4u);
	EXPECT_EQ(print_to_string(&c),
	    "sys_stats    3\n"
	    "power_rails  2\n"
	    "battery      1\n"
	    "track_event  1\n"
	    "other        4\n");
}

TEST(RecorderSummary, EmptyTraceHasNoPackets)
{
	struct packet_counts c;
	ASSERT_TRUE(count_packets("", &c));
	EXPECT_EQ(c.sys_stats + c.power_rails + c.battery + c.track_event +
	    c.other, 0u);
}

// A cut trace, or a packet that is not a message, is reported; what came
// before stays counted.
TEST(RecorderSummary, MalformedTraceKeepsTheCountsBefore)
{
	std::string good = packet(producer_packet(7, true)) +
	    packet(producer_packet(40, false));
	std::string cut = packet(producer_packet(38, false));
	cut.resize(cut.size() - 2);
	std::string bad_inner = packet(std::string("\x0a\x7f", 2));
	for (const std::string &tail : {cut, bad_inner}) {
		struct packet_counts c;
		EXPECT_FALSE(count_packets(good + tail, &c));
		EXPECT_EQ(c.sys_stats, 1u);
		EXPECT_EQ(c.power_rails, 1u);
		EXPECT_EQ(c.battery, 0u);
		EXPECT_EQ(c.other, 0u);
	}
}
