// What only the SDK stand-in can show of the power daemon: the data source
// as registered (descriptor, callbacks, user argument) and the absence of
// any SDK call in passes without a session.  The real SDK keeps no record
// of either; what reaches a trace is tested in the other power tests.
#include <gtest/gtest.h>

#include "perfetto_standin/inspect.h"
#include "power/power_pass.h"
#include "power_fixture.h"

namespace {

TEST(PowerStandin, RegistersWithTheRecord)
{
	power_daemon_start();
	std::vector<perfetto_standin_ds> ds = perfetto_standin_data_sources();
	ASSERT_EQ(ds.size(), 1u);
	EXPECT_TRUE(ds[0].registered);
	EXPECT_EQ(ds[0].descriptor,
	    std::string("\x0a\x0d" "freebsd.power" "\x10\x01", 17));
	EXPECT_TRUE(ds[0].has_setup && ds[0].has_start && ds[0].has_stop &&
	    ds[0].has_destroy);
	EXPECT_EQ(ds[0].user_arg, &power_state);
	EXPECT_NE(power_ds.impl, nullptr);
}

TEST(PowerStandin, PassesWithoutASessionMakeNoSdkCall)
{
	power_daemon_start();
	session_read_and_destroy(quiet_session());
	perfetto_standin_record_calls(true);
	fbsd_power_rapl_pass(&power_ds, &power_state);
	fbsd_power_battery_pass(&power_ds, &power_state);
	perfetto_standin_record_calls(false);
	EXPECT_TRUE(perfetto_standin_calls().empty());
}

}  // namespace
