// Start-up and registration as the SDK sees them: the exact calls, their
// order and arguments, and the descriptor bytes registered.  Only the SDK
// stand-in records these; the real SDK keeps no such record, and what of
// registration reaches a trace is tested in registration_test.cc.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
	start_producer();  // the SDK registers with a producer only
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
	start_producer();  // the SDK registers with a producer only
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
	start_producer();  // the SDK registers with a producer only
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

}  // namespace
