// What only the SDK stand-in can show of the DTrace daemon: that its
// record callback, with no active instance, returns before making any SDK
// call at all.  The real SDK keeps no record of the calls made into it;
// that nothing reaches a trace is tested in track_event_test.cc.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kfunc_fixture.h"
#include "perfetto_standin/inspect.h"

namespace {

TEST(KfuncStandin, DisabledRecordCallbackWalksNoInstance)
{
	kfunc_daemon_start();
	perfetto_standin_record_calls(true);
	EXPECT_EQ(consume_directly(1), 0);
	perfetto_standin_record_calls(false);
	std::vector<std::string> calls = perfetto_standin_calls();
	EXPECT_EQ(std::count(calls.begin(), calls.end(),
	    "PerfettoDsImplTraceIterateBegin"), 0);
	EXPECT_EQ(kfunc_state.fbt_events.load(), 0u);
}

}  // namespace
