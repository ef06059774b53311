// Data sources and the in-process tracing service as the daemons and the
// tests rely on them, against either SDK.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness/tracing.h"
#include "perfetto/public/abi/data_source_abi.h"
#include "perfetto/public/abi/producer_abi.h"
#include "perfetto/public/abi/tracing_session_abi.h"
#include "perfetto/public/pb_msg.h"

namespace {

struct event {
	std::string what;
	uint32_t inst;
	bool enabled;
	int visible;  // instances the iteration sees during the callback
	std::thread::id thread;
};

std::mutex g_events_mutex;
std::vector<event> g_events;
PerfettoDsImpl *g_ds;
PERFETTO_ATOMIC(bool) *g_enabled = &perfetto_atomic_false;
std::string g_last_config;

int
visible_instances(void)
{
	int n = 0;
	PerfettoDsImplTracerIterator it = PerfettoDsImplTraceIterateBegin(g_ds);
	for (; it.tracer; PerfettoDsImplTraceIterateNext(g_ds, &it))
		n++;
	return n;
}

void
note(const char *what, uint32_t inst)
{
	event e{what, inst, g_enabled->load(), visible_instances(),
	    std::this_thread::get_id()};
	std::lock_guard<std::mutex> lock(g_events_mutex);
	g_events.push_back(e);
}

void *
on_setup(PerfettoDsImpl *, PerfettoDsInstanceIndex inst, void *cfg,
         size_t size, void *user_arg, PerfettoDsOnSetupArgs *)
{
	g_last_config.assign((const char *)cfg, size);
	note("setup", inst);
	return user_arg;
}
void
on_start(PerfettoDsImpl *, PerfettoDsInstanceIndex inst, void *, void *,
         PerfettoDsOnStartArgs *)
{
	note("start", inst);
}
void
on_stop(PerfettoDsImpl *, PerfettoDsInstanceIndex inst, void *, void *,
        PerfettoDsOnStopArgs *)
{
	note("stop", inst);
}
void
on_destroy(PerfettoDsImpl *, void *, void *)
{
	note("destroy", 99);
}

void
register_test_source(void)
{
	tracing_init_in_process();
	g_ds = PerfettoDsImplCreate();
	PerfettoDsSetOnSetupCallback(g_ds, on_setup);
	PerfettoDsSetOnStartCallback(g_ds, on_start);
	PerfettoDsSetOnStopCallback(g_ds, on_stop);
	PerfettoDsSetOnDestroyCallback(g_ds, on_destroy);
	PerfettoDsSetCbUserArg(g_ds, &g_events);
	const char desc[] = "\x0a\x04test";
	ASSERT_TRUE(PerfettoDsImplRegister(g_ds, &g_enabled, desc, 6));
}

void
write_packet(uint64_t value)
{
	PerfettoDsImplTracerIterator it = PerfettoDsImplTraceIterateBegin(g_ds);
	for (; it.tracer; PerfettoDsImplTraceIterateNext(g_ds, &it)) {
		PerfettoPbMsgWriter w;
		w.writer = PerfettoDsTracerImplPacketBegin(it.tracer);
		PerfettoPbMsg root;
		PerfettoPbMsgInit(&root, &w);
		PerfettoPbMsgAppendType0Field(&root, 8, value);
		PerfettoPbMsg payload;
		PerfettoPbMsgBeginNested(&root, &payload, 7);
		PerfettoPbMsgEndNested(&root);
		PerfettoPbMsgFinalize(&root);
		PerfettoDsTracerImplPacketEnd(it.tracer, &w.writer);
	}
}

TEST(DataSource, CallbackOrderFlagAndVisibility)
{
	register_test_source();
	EXPECT_FALSE(g_enabled->load());
	test_session *s = session_start("test");
	EXPECT_TRUE(g_enabled->load());
	session_stop(s);
	EXPECT_FALSE(g_enabled->load());
	session_read_and_destroy(s);

	ASSERT_EQ(g_events.size(), 4u);
	struct { const char *what; bool enabled; int visible; } want[] = {
		{"setup", false, 0}, {"start", true, 1},
		{"stop", true, 1}, {"destroy", false, 0},
	};
	for (size_t i = 0; i < 4; i++) {
		EXPECT_EQ(g_events[i].what, want[i].what);
		EXPECT_EQ(g_events[i].enabled, want[i].enabled) << want[i].what;
		EXPECT_EQ(g_events[i].visible, want[i].visible) << want[i].what;
		EXPECT_NE(g_events[i].thread, std::this_thread::get_id());
		EXPECT_EQ(g_events[i].thread, g_events[0].thread);
	}
	EXPECT_EQ(g_events[0].inst, 0u);
}

TEST(DataSource, ConcurrentInstancesAndTheirPackets)
{
	register_test_source();
	test_session *a = session_start("test");
	test_session *b = session_start("test");
	ASSERT_EQ(g_events.size(), 4u);
	EXPECT_EQ(g_events[0].inst, 0u);
	EXPECT_EQ(g_events[2].inst, 1u);
	EXPECT_EQ(visible_instances(), 2);
	write_packet(1);
	write_packet(2);
	session_stop(a);
	EXPECT_TRUE(g_enabled->load());  // b is still active
	write_packet(3);
	std::string ta = session_read_and_destroy(a);
	std::string tb = session_read_and_destroy(b);
	EXPECT_FALSE(g_enabled->load());

	std::vector<perfetto::protos::TracePacket> pa = producer_packets(ta, 7);
	std::vector<perfetto::protos::TracePacket> pb = producer_packets(tb, 7);
	ASSERT_EQ(pa.size(), 2u);
	ASSERT_EQ(pb.size(), 3u);
	EXPECT_EQ(pb[2].timestamp(), 3u);
	// One sequence per writer thread and instance, marked by the SDK on its
	// first packet and by the service on every packet.  Sequence ids count
	// within a session, from 2 (1 is the service's own).
	EXPECT_TRUE(pa[0].first_packet_on_sequence());
	EXPECT_FALSE(pa[1].has_first_packet_on_sequence());
	EXPECT_TRUE(pb[0].first_packet_on_sequence());
	EXPECT_EQ(pa[0].trusted_packet_sequence_id(),
	    pa[1].trusted_packet_sequence_id());
	EXPECT_GE(pa[0].trusted_packet_sequence_id(), 2u);
	EXPECT_GE(pb[0].trusted_packet_sequence_id(), 2u);
	std::vector<std::string> raw = producer_packets_raw(ta, 7);
	EXPECT_EQ(raw[0].substr(0, 3), std::string("\xb8\x05\x01"));
	EXPECT_EQ(producer_bytes(raw[0]),
	    std::string("\x40\x01\x3a\x80\x80\x80\x00", 7));
	EXPECT_EQ(producer_bytes(raw[1]),
	    std::string("\x40\x02\x3a\x80\x80\x80\x00", 7));
}

TEST(DataSource, SetupGetsTheServiceFieldsAroundTheConfig)
{
	register_test_source();
	std::string dtrace = pb_bytes_field(1, "f");
	std::string extra = pb_bytes_field(143, dtrace) + pb_varint_field(500, 5);
	test_session *s = session_start("test", extra);
	session_read_and_destroy(s);
	perfetto::protos::DataSourceConfig cfg;
	ASSERT_TRUE(cfg.ParseFromString(g_last_config));
	EXPECT_EQ(cfg.name(), "test");
	EXPECT_TRUE(cfg.has_target_buffer());
	EXPECT_TRUE(cfg.has_tracing_session_id());
	std::vector<wire_field> f = wire_fields(g_last_config);
	ASSERT_GE(f.size(), 2u);
	EXPECT_EQ(f[f.size() - 2].id, 143u);
	EXPECT_EQ(f[f.size() - 2].bytes, dtrace);
	EXPECT_EQ(f.back().id, 500u);
}

TEST(DataSource, LargePacketAcrossChunksIsStoredWhole)
{
	register_test_source();
	test_session *s = session_start("test");
	PerfettoDsImplTracerIterator it = PerfettoDsImplTraceIterateBegin(g_ds);
	ASSERT_NE(it.tracer, nullptr);
	PerfettoPbMsgWriter w;
	w.writer = PerfettoDsTracerImplPacketBegin(it.tracer);
	PerfettoPbMsg root, outer, inner;
	PerfettoPbMsgInit(&root, &w);
	PerfettoPbMsgAppendType0Field(&root, 8, 77);
	PerfettoPbMsgBeginNested(&root, &outer, 7);
	// Far more than one chunk of either SDK.
	for (int i = 0; i < 2000; i++) {
		PerfettoPbMsgBeginNested(&outer, &inner, 3);
		PerfettoPbMsgAppendType0Field(&inner, 1, (uint64_t)i);
		PerfettoPbMsgAppendCStrField(&inner, 2, "a string of some length");
		PerfettoPbMsgEndNested(&outer);
	}
	PerfettoPbMsgEndNested(&root);
	PerfettoPbMsgFinalize(&root);
	PerfettoDsTracerImplPacketEnd(it.tracer, &w.writer);
	std::string trace = session_read_and_destroy(s);

	std::vector<std::string> raw = producer_packets_raw(trace, 7);
	ASSERT_EQ(raw.size(), 1u);
	std::vector<wire_field> top = wire_fields(producer_bytes(raw[0]));
	ASSERT_EQ(top.size(), 2u);
	std::vector<wire_field> entries = wire_fields(top[1].bytes);
	ASSERT_EQ(entries.size(), 2000u);
	for (int i = 0; i < 2000; i++) {
		std::vector<wire_field> e = wire_fields(entries[i].bytes);
		ASSERT_EQ(e.size(), 2u);
		EXPECT_EQ(e[0].varint, (uint64_t)i);
		EXPECT_EQ(e[1].bytes, "a string of some length");
	}
}

// The system back-end with no service behind its sockets.  As with the
// SDK, the producer is initialised before anything registers.
TEST(DataSource, SystemBackendWithoutServiceNeverStartsAnInstance)
{
	setenv("PERFETTO_PRODUCER_SOCK_NAME", "/nonexistent/producer", 1);
	setenv("PERFETTO_CONSUMER_SOCK_NAME", "/nonexistent/consumer", 1);
	PerfettoProducerBackendInitArgs *args =
	    PerfettoProducerBackendInitArgsCreate();
	PerfettoProducerSystemInit(args);
	PerfettoProducerBackendInitArgsDestroy(args);
	g_ds = PerfettoDsImplCreate();
	PerfettoDsSetOnSetupCallback(g_ds, on_setup);
	const char desc[] = "\x0a\x04test";
	ASSERT_TRUE(PerfettoDsImplRegister(g_ds, &g_enabled, desc, 6));
	PerfettoTracingSessionImpl *s = PerfettoTracingSessionSystemCreate();
	std::string cfg = pb_bytes_field(2, pb_bytes_field(1,
	    pb_bytes_field(1, "test")));
	PerfettoTracingSessionSetup(s, cfg.data(), cfg.size());
	PerfettoTracingSessionStartBlocking(s);
	EXPECT_FALSE(g_enabled->load());
	PerfettoTracingSessionStopBlocking(s);
	PerfettoTracingSessionDestroy(s);
	EXPECT_TRUE(g_events.empty());
}

}  // namespace
