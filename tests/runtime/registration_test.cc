// Producer start-up, registration and the packet frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/tracing.h"
#include "perfetto_standin/inspect.h"
#include "runtime/packet.h"
#include "runtime/producer.h"

namespace {

using calls = std::vector<std::string>;

TEST(StartProducer, MakesTheFourBackendCallsInOrder)
{
	perfetto_standin_record_calls(true);
	start_producer();
	EXPECT_EQ(perfetto_standin_calls(), (calls{
	    "PerfettoProducerBackendInitArgsCreate",
	    "PerfettoProducerBackendInitArgsSetShmemSizeHintKb(0)",
	    "PerfettoProducerSystemInit",
	    "PerfettoProducerBackendInitArgsDestroy",
	}));
}

TEST(RegisterDataSource, DescriptorBytesForEachDaemon)
{
	struct { const char *name; std::string bytes; } cases[] = {
		{"freebsd.sys_stats",
		 std::string("\x0a\x11" "freebsd.sys_stats" "\x10\x01", 21)},
		{"freebsd.power", std::string("\x0a\x0d" "freebsd.power" "\x10\x01", 17)},
		{"dtrace", std::string("\x0a\x06" "dtrace" "\x10\x01", 10)},
	};
	for (const auto &c : cases) {
		struct ds_registration reg = DS_REGISTRATION_INIT;
		ASSERT_TRUE(register_data_source(&reg, c.name, nullptr)) << c.name;
		EXPECT_NE(reg.impl, nullptr);
		EXPECT_NE(reg.enabled, &perfetto_atomic_false);
		EXPECT_EQ(perfetto_standin_data_sources().back().descriptor,
		    c.bytes) << c.name;
	}
}

TEST(RegisterDataSource, WithoutCallbacksSetsNoneButTracingV2)
{
	struct ds_registration reg = DS_REGISTRATION_INIT;
	perfetto_standin_record_calls(true);
	ASSERT_TRUE(register_data_source(&reg, "freebsd.sys_stats", nullptr));
	EXPECT_EQ(perfetto_standin_calls(), (calls{
	    "PerfettoHeapBufferCreate",
	    "PerfettoHeapBufferCopyInto(21)",
	    "PerfettoHeapBufferDestroy",
	    "PerfettoDsImplCreate",
	    "PerfettoDsSetSupportsTracingV2(true)",
	    "PerfettoDsImplRegister(21)",
	}));
	perfetto_standin_ds ds = perfetto_standin_data_sources().back();
	EXPECT_FALSE(ds.has_setup || ds.has_start || ds.has_stop ||
	    ds.has_destroy);
	EXPECT_EQ(ds.user_arg, nullptr);
	EXPECT_TRUE(ds.supports_tracing_v2);
}

void *
setup_cb(PerfettoDsImpl *, PerfettoDsInstanceIndex, void *, size_t, void *arg,
         PerfettoDsOnSetupArgs *)
{
	return arg;
}
void
start_cb(PerfettoDsImpl *, PerfettoDsInstanceIndex, void *, void *,
         PerfettoDsOnStartArgs *)
{
}
void
stop_cb(PerfettoDsImpl *, PerfettoDsInstanceIndex, void *, void *,
        PerfettoDsOnStopArgs *)
{
}
void
destroy_cb(PerfettoDsImpl *, void *, void *)
{
}

TEST(RegisterDataSource, WithCallbacksSetsAllFiveInOrder)
{
	static int state;
	struct ds_callbacks cb = {setup_cb, start_cb, stop_cb, destroy_cb, &state};
	struct ds_registration reg = DS_REGISTRATION_INIT;
	perfetto_standin_record_calls(true);
	ASSERT_TRUE(register_data_source(&reg, "freebsd.power", &cb));
	calls got = perfetto_standin_calls();
	calls want = {
	    "PerfettoDsImplCreate",
	    "PerfettoDsSetOnSetupCallback",
	    "PerfettoDsSetOnStartCallback",
	    "PerfettoDsSetOnStopCallback",
	    "PerfettoDsSetOnDestroyCallback",
	    "PerfettoDsSetCbUserArg",
	    "PerfettoDsSetSupportsTracingV2(true)",
	    "PerfettoDsImplRegister(17)",
	};
	ASSERT_GE(got.size(), want.size());
	EXPECT_EQ(calls(got.end() - (long)want.size(), got.end()), want);
	EXPECT_EQ(perfetto_standin_data_sources().back().user_arg, &state);
}

TEST(RegisterDataSource, FailureLeavesTheRecordUnregistered)
{
	struct ds_registration first = DS_REGISTRATION_INIT;
	ASSERT_TRUE(register_data_source(&first, "dtrace", nullptr));
	// An empty name is refused by the service.
	struct ds_registration reg = DS_REGISTRATION_INIT;
	EXPECT_FALSE(register_data_source(&reg, "", nullptr));
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
