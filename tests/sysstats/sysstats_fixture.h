// Drives sysstats_producer in process: start-up against the simulated
// kernel, loop passes recorded by in-process sessions.
#ifndef TESTS_SYSSTATS_FIXTURE_H
#define TESTS_SYSSTATS_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/capture.h"
#include "harness/tracing.h"
#include "runtime/packet.h"
#include "sim/kernel.h"
#include "sysstats/sysstats.h"

class SysstatsTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		sim_kernel_reset();
		tracing_init_in_process();
	}

	// The daemon's start-up; returns what it printed.
	static captured_output start_daemon()
	{
		capture_begin();
		sysstats_start();
		return capture_end();
	}

	// `passes` loop passes recorded by one session; the SysStats of each
	// packet.
	static std::vector<perfetto::protos::SysStats> record(int passes)
	{
		test_session *s = session_start(SYSSTATS_DATA_SOURCE);
		for (int i = 0; i < passes; i++)
			sysstats_pass();
		return sys_stats_of(session_read_and_destroy(s));
	}

	static std::vector<perfetto::protos::SysStats>
	sys_stats_of(const std::string &trace)
	{
		std::vector<perfetto::protos::SysStats> out;
		for (const auto &p : producer_packets(trace, TRACE_PACKET_SYS_STATS))
			out.push_back(p.sys_stats());
		return out;
	}
};

#endif
