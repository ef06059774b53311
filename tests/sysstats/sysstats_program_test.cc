// sysstats_producer as it runs on a host without a tracing service.
#include <gtest/gtest.h>

#include "harness/capture.h"

namespace {

TEST(SysstatsProgram, RunsSilentlyWithoutAServiceAndIgnoresArguments)
{
	child_result r = run_program("sysstats_producer", {"-v", "--help", "x"},
	    700);
	EXPECT_TRUE(r.alive);
	EXPECT_EQ(r.out, "maxcpu: 256\n");
	EXPECT_EQ(r.err, "");
}

}  // namespace
