// Registration as a trace shows it, and the packet frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/tracing.h"
#include "runtime/packet.h"
#include "runtime/producer.h"

namespace {

// The SDK refuses registrations once a process has registered as many data
// source types as it serves.
TEST(RegisterDataSource, FailureLeavesTheRecordUnregistered)
{
	tracing_init_in_process();
	ASSERT_GT(exhaust_data_source_registrations(), 0u);
	struct ds_registration reg = DS_REGISTRATION_INIT;
	EXPECT_FALSE(register_data_source(&reg, "dtrace", nullptr));
	EXPECT_EQ(reg.impl, nullptr);
	EXPECT_EQ(reg.enabled, &perfetto_atomic_false);
	EXPECT_FALSE(ds_is_enabled(&reg));
}

struct frame_test {
	int instances;
};

void
payload_writer(struct PerfettoPbMsg *msg, void *)
{
	PerfettoPbMsgAppendType0Field(msg, 1, 5);
}

void
root_writer(struct PerfettoPbMsg *msg, void *)
{
	PerfettoPbMsgAppendType0Field(msg, TRACE_PACKET_TIMESTAMP, 1234);
}

void
frame_body(struct PerfettoDsTracerImpl *tracer, void *arg)
{
	static_cast<frame_test *>(arg)->instances++;
	packet_frame(tracer, TRACE_PACKET_SYS_STATS, payload_writer, nullptr);
	packet_frame(tracer, TRACE_PACKET_TRACK_EVENT, payload_writer, nullptr,
	    root_writer, nullptr);
}

TEST(PacketFrame, TimestampThenRootFieldsThenPayload)
{
	tracing_init_in_process();
	struct ds_registration reg = DS_REGISTRATION_INIT;
	ASSERT_TRUE(register_data_source(&reg, "frame.test", nullptr));
	frame_test ft = {0};
	EXPECT_FALSE(ds_is_enabled(&reg));

	test_session *a = session_start("frame.test");
	test_session *b = session_start("frame.test");
	ASSERT_TRUE(ds_is_enabled(&reg));
	uint64_t before = monotonic_ns();
	for_each_instance(&reg, frame_body, &ft);
	uint64_t after = monotonic_ns();
	EXPECT_EQ(ft.instances, 2);
	std::string ta = session_read_and_destroy(a);
	std::string tb = session_read_and_destroy(b);
	EXPECT_FALSE(ds_is_enabled(&reg));

	for (const std::string *t : {&ta, &tb}) {
		std::vector<std::string> p = producer_packets_raw(*t, 7);
		ASSERT_EQ(p.size(), 1u);
		std::vector<wire_field> f = wire_fields(producer_bytes(p[0]));
		ASSERT_EQ(f.size(), 2u);
		EXPECT_EQ(f[0].id, 8u);
		EXPECT_GE(f[0].varint, before);
		EXPECT_LE(f[0].varint, after);
		EXPECT_EQ(f[1].id, 7u);
		EXPECT_EQ(f[1].bytes, std::string("\x08\x05", 2));

		std::vector<std::string> q = producer_packets_raw(*t, 11);
		ASSERT_EQ(q.size(), 1u);
		f = wire_fields(producer_bytes(q[0]));
		ASSERT_EQ(f.size(), 3u);
		EXPECT_EQ(f[0].id, 8u);
		EXPECT_EQ(f[1].id, 8u);
		EXPECT_EQ(f[1].varint, 1234u);
		EXPECT_EQ(f[2].id, 11u);
	}
}

}  // namespace
