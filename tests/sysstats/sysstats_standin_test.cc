// What only the SDK stand-in can show of the statistics daemon: that it
// registers without callbacks, and that a disabled pass makes no SDK call
// at all, not even the start of an instance walk.  The real SDK keeps no
// record of either; the kernel side is tested in sysstats_loop_test.cc and
// startup_test.cc.
#include <gtest/gtest.h>

#include "perfetto_standin/inspect.h"
#include "sysstats_fixture.h"

namespace {

class SysstatsStandinTest : public SysstatsTest {};

TEST_F(SysstatsStandinTest, DisabledPassMakesNoSdkCall)
{
	start_daemon();
	perfetto_standin_record_calls(true);
	for (int i = 0; i < 3; i++)
		sysstats_pass();
	perfetto_standin_record_calls(false);
	EXPECT_TRUE(perfetto_standin_calls().empty());
}

TEST_F(SysstatsStandinTest, RegistersWithoutCallbacks)
{
	start_daemon();
	std::vector<perfetto_standin_ds> ds = perfetto_standin_data_sources();
	ASSERT_EQ(ds.size(), 1u);
	EXPECT_TRUE(ds[0].registered);
	EXPECT_FALSE(ds[0].has_setup || ds[0].has_start || ds[0].has_stop ||
	    ds[0].has_destroy);
	EXPECT_EQ(ds[0].user_arg, nullptr);
	EXPECT_TRUE(ds[0].supports_tracing_v2);
}

}  // namespace
