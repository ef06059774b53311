// Probe firings as track events: fields by provider and probe name, the
// packet's two timestamps, per-CPU uuids and the event counters.
#include <string>

#include <gtest/gtest.h>

#include "dtrace/cpu_track.h"
#include "kfunc_fixture.h"
#include "runtime/packet.h"

namespace {

const uint32_t FBT = 1, KINST = 2;

TEST(CpuTrack, Fnv1aAndUuids)
{
	// Published FNV-1a 64 test vectors.
	EXPECT_EQ(fnv1a_64("", 0), 0xcbf29ce484222325ULL);
	EXPECT_EQ(fnv1a_64("a", 1), 0xaf63dc4c8601ec8cULL);
	EXPECT_EQ(fnv1a_64("foobar", 6), 0x85944171f73967e8ULL);

	EXPECT_EQ(cpu_track_uuid(0), 0x649e2a070af72f81ULL);
	EXPECT_EQ(cpu_track_uuid(1), 0x649e29070af72dcfULL);
	EXPECT_EQ(cpu_track_uuid(16), fnv1a_64("CPU 16", 6) ^ 16u);
	EXPECT_EQ(cpu_track_uuid(1000), fnv1a_64("CPU 1000", 8) ^ 1000u);
	// The number is sign-extended before the XOR.
	EXPECT_EQ(cpu_track_uuid(-1), ~fnv1a_64("CPU -1", 6));
}

struct expected_event {
	struct sim_dtrace_firing f;
	std::string name;
	uint64_t uuid;
	std::string category;
	int type;	// 0: no type field
};

TEST(TrackEvents, FieldsByProviderAndProbeName)
{
	kfunc_daemon_start();
	struct test_session *s = kfunc_session_start(dtrace_config(
	    { { FBT, "f" }, { KINST, "g:4" } }));
	const expected_event cases[] = {
		{ firing(0, "fbt", "f", "entry", 1999), "CPU 0",
		  0x649e2a070af72f81ULL, "fbt:f", 1 },
		{ firing(1, "fbt", "f", "return", 2000000), "CPU 1",
		  0x649e29070af72dcfULL, "fbt:f", 2 },
		{ firing(2, "fbt", "f", "probe", 3), "CPU 2",
		  fnv1a_64("CPU 2", 5) ^ 2u, "fbt:f", 2 },
		{ firing(3, "kinst", "g", "4", 4000), "CPU 3",
		  fnv1a_64("CPU 3", 5) ^ 3u, "kinst:g", 3 },
		{ firing(4, "syscall", "read", "entry", 5000), "CPU 4",
		  fnv1a_64("CPU 4", 5) ^ 4u, "syscall:read", 0 },
		{ firing(16, "fbt", "f", "entry", 6000), "CPU 16",
		  fnv1a_64("CPU 16", 6) ^ 16u, "fbt:f", 1 },
		{ firing(255, "fbt", "f", "return", 7000), "CPU 255",
		  fnv1a_64("CPU 255", 7) ^ 255u, "fbt:f", 2 },
	};
	uint64_t before = monotonic_ns();
	for (const expected_event &c : cases)
		ASSERT_EQ(sim_dtrace_inject(c.f), 1u);
	drain();
	std::string trace = kfunc_session_finish(s);

	std::vector<perfetto::protos::TracePacket> events =
	    event_packets(trace);
	ASSERT_EQ(events.size(), std::size(cases));
	for (size_t i = 0; i < events.size(); i++) {
		const expected_event &c = cases[i];
		const perfetto::protos::TrackEvent &ev = events[i].track_event();
		SCOPED_TRACE(c.name + " " + c.f.provider + ":" + c.f.name);
		// The last timestamp is the record's.
		EXPECT_EQ(events[i].timestamp(), c.f.timestamp);
		EXPECT_EQ(ev.name(), c.name);
		EXPECT_EQ(ev.track_uuid(), c.uuid);
		EXPECT_EQ(ev.timestamp_absolute_us(),
		    (int64_t)(c.f.timestamp / 1000));
		ASSERT_EQ(ev.categories_size(), 1);
		EXPECT_EQ(ev.categories(0), c.category);
		EXPECT_EQ(ev.has_type(), c.type != 0);
		if (c.type != 0) {
			EXPECT_EQ((int)ev.type(), c.type);
		}
	}
	EXPECT_EQ(events[0].track_event().timestamp_absolute_us(), 1);
	EXPECT_EQ(kfunc_state.fbt_events.load(), 5u);
	EXPECT_EQ(kfunc_state.kinst_events.load(), 1u);

	// On the wire: the frame's monotonic time, the record's time, then
	// the event with its fields in a fixed order.
	std::vector<std::string> raw = producer_packets_raw(trace,
	    TRACE_PACKET_TRACK_EVENT);
	std::vector<wire_field> top = wire_fields(producer_bytes(raw[0]));
	ASSERT_EQ(top.size(), 3u);
	EXPECT_EQ(top[0].id, 8u);
	EXPECT_EQ(top[0].wire_type, 0u);
	EXPECT_GE(top[0].varint, before);
	EXPECT_EQ(top[1].id, 8u);
	EXPECT_EQ(top[1].varint, 1999u);
	EXPECT_EQ(top[2].id, 11u);
	std::vector<uint32_t> ids;
	for (const wire_field &f : wire_fields(top[2].bytes))
		ids.push_back(f.id);
	EXPECT_EQ(ids, (std::vector<uint32_t>{ 23, 11, 16, 22, 9 }));
	ids.clear();
	std::vector<wire_field> other = wire_fields(producer_bytes(raw[4]));
	for (const wire_field &f : wire_fields(other.back().bytes))
		ids.push_back(f.id);
	EXPECT_EQ(ids, (std::vector<uint32_t>{ 23, 11, 16, 22 }));
}

// libdtrace calls the record callback for each data record of a firing and
// once more without one; a firing is one event however many records it has.
TEST(TrackEvents, OneEventPerFiringWhateverItsRecords)
{
	kfunc_daemon_start();
	struct test_session *s = kfunc_session_start(dtrace_config(
	    { { FBT, "f" } }));
	for (unsigned records : { 0u, 1u, 3u }) {
		struct sim_dtrace_firing f = firing(0, "fbt", "f", "entry",
		    1000 + records);
		f.records = records;
		ASSERT_EQ(sim_dtrace_fire(f), 1u);
	}
	drain();
	std::vector<perfetto::protos::TracePacket> events =
	    event_packets(kfunc_session_finish(s));
	ASSERT_EQ(events.size(), 3u);
	EXPECT_EQ(events[2].timestamp(), 1003u);
	EXPECT_EQ(kfunc_state.fbt_events.load(), 3u);
}

TEST(TrackEvents, TwoSessionsGetAPacketEachAndTheCounterMovesByTwo)
{
	kfunc_daemon_start();
	std::string config = dtrace_config({ { FBT, "f" } });
	struct test_session *a = kfunc_session_start(config);
	struct test_session *b = kfunc_session_start(config);
	ASSERT_EQ(sim_dtrace_fire(firing(5, "fbt", "f", "entry", 42)), 1u);
	drain();
	std::string out;
	std::vector<perfetto::protos::TracePacket> ea =
	    event_packets(kfunc_session_finish(a));
	std::vector<perfetto::protos::TracePacket> eb =
	    event_packets(kfunc_session_finish(b, &out));
	ASSERT_EQ(ea.size(), 1u);
	ASSERT_EQ(eb.size(), 1u);
	EXPECT_EQ(ea[0].track_event().name(), "CPU 5");
	EXPECT_EQ(eb[0].track_event().name(), "CPU 5");
	EXPECT_EQ(kfunc_state.fbt_events.load(), 2u);
	EXPECT_NE(out.find("dtrace_on_stop_cb\tfbt events: 2 kinst events: 0\n"),
	    std::string::npos) << out;
}

// Each firing's time is the one in its record header.  A dtrace_work
// drains all the firings of a CPU from one snapshot of its buffer, taken
// after them: a slice spans from its entry to its return, and no event
// takes the snapshot's time.
TEST(TrackEvents, FiringsOfOneSnapshotKeepTheirOwnTimes)
{
	kfunc_daemon_start();
	struct test_session *s = kfunc_session_start(dtrace_config(
	    { { FBT, "f" }, { KINST, "g:4" } }));
	uint64_t t0 = monotonic_ns() - 1000000;
	const uint64_t at[] = { t0, t0 + 7300, t0 + 25000 };
	ASSERT_EQ(sim_dtrace_fire(firing(2, "fbt", "f", "entry", at[0])), 1u);
	ASSERT_EQ(sim_dtrace_fire(firing(2, "kinst", "g", "4", at[1])), 1u);
	struct sim_dtrace_firing ret = firing(2, "fbt", "f", "return", at[2]);
	ret.records = 2;
	ASSERT_EQ(sim_dtrace_fire(ret), 1u);
	loop_pass();
	ASSERT_EQ(sim_dtrace_pending(), 0u);
	uint64_t snapshot = sim_dtrace_snapshot_ns();
	std::vector<perfetto::protos::TracePacket> events =
	    event_packets(kfunc_session_finish(s));

	ASSERT_EQ(events.size(), 3u);
	EXPECT_GT(snapshot, at[2]);
	for (size_t i = 0; i < events.size(); i++) {
		EXPECT_EQ(events[i].timestamp(), at[i]) << i;
		EXPECT_EQ(events[i].track_event().timestamp_absolute_us(),
		    (int64_t)(at[i] / 1000)) << i;
	}
	EXPECT_EQ(events[2].timestamp() - events[0].timestamp(), 25000u);
	EXPECT_EQ(events[2].track_event().timestamp_absolute_us() -
	    events[0].track_event().timestamp_absolute_us(), 25);
}

// Without an active instance the callbacks write nothing and count
// nothing, before the first session and after one has stopped.
TEST(TrackEvents, DisabledWritesNothing)
{
	kfunc_daemon_start();
	EXPECT_EQ(consume_directly(1), 0);
	struct test_session *s = kfunc_session_start(dtrace_config(
	    { { FBT, "f" } }));
	EXPECT_EQ(consume_directly(2), 0);
	EXPECT_EQ(kfunc_state.fbt_events.load(), 1u);
	std::vector<perfetto::protos::TracePacket> events =
	    event_packets(kfunc_session_finish(s));
	ASSERT_EQ(events.size(), 1u);
	EXPECT_EQ(events[0].timestamp(), 2u);
	EXPECT_EQ(consume_directly(3), 0);
	EXPECT_EQ(kfunc_state.fbt_events.load(), 1u);
	EXPECT_EQ(kfunc_state.kinst_events.load(), 0u);
}

}  // namespace
