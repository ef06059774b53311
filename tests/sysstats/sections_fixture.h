// Drives the statistics daemon against an in-process session: start-up,
// loop passes with changes to the simulated machine between them, and the
// SysStats message of every packet written.
#ifndef TESTS_SYSSTATS_SECTIONS_FIXTURE_H
#define TESTS_SYSSTATS_SECTIONS_FIXTURE_H

#include <functional>
#include <string>
#include <vector>

#include "harness/tracing.h"
#include "runtime/packet.h"
#include "sysstats/sysstats.h"

inline void
start_sysstats_daemon(void)
{
	tracing_init_in_process();
	sysstats_start();
}

// One session over `passes` passes; `before(i)` runs before pass i and
// `after(i)` after it.
inline std::vector<perfetto::protos::SysStats>
sys_stats_over_passes(int passes,
    const std::function<void(int)> &before = nullptr,
    const std::function<void(int)> &after = nullptr)
{
	struct test_session *s = session_start(SYSSTATS_DATA_SOURCE);
	for (int i = 0; i < passes; i++) {
		if (before)
			before(i);
		sysstats_pass();
		if (after)
			after(i);
	}
	session_stop(s);
	std::string trace = session_read_and_destroy(s);
	std::vector<perfetto::protos::SysStats> out;
	for (const perfetto::protos::TracePacket &p :
	    producer_packets(trace, TRACE_PACKET_SYS_STATS))
		out.push_back(p.sys_stats());
	return out;
}

#endif
