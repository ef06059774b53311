// The polling loop and the shape of its packets.
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "perfetto/public/pb_utils.h"
#include "sysstats_fixture.h"

namespace {

class SysstatsLoopTest : public SysstatsTest {};

TEST_F(SysstatsLoopTest, PacketHoldsTimestampThenSysStatsOnly)
{
	start_daemon();
	test_session *s = session_start(SYSSTATS_DATA_SOURCE);
	uint64_t before = monotonic_ns();
	sysstats_pass();
	sysstats_pass();
	std::string trace = session_read_and_destroy(s);
	std::vector<std::string> raw = producer_packets_raw(trace,
	    TRACE_PACKET_SYS_STATS);
	ASSERT_EQ(raw.size(), 2u);
	uint64_t prev = before;
	for (const std::string &p : raw) {
		std::string own = producer_bytes(p);
		ASSERT_FALSE(own.empty());
		EXPECT_EQ((uint8_t)own[0], 0x40);
		uint64_t ts;
		const uint8_t *b = (const uint8_t *)own.data();
		const uint8_t *after = PerfettoPbParseVarInt(b + 1, b + own.size(),
		    &ts);
		EXPECT_GE(ts, prev);
		prev = ts;
		EXPECT_EQ(*after, 0x3a);  // sys_stats follows at once
		std::vector<wire_field> f = wire_fields(own);
		ASSERT_EQ(f.size(), 2u);
		EXPECT_EQ(f[0].id, 8u);
		EXPECT_EQ(f[1].id, 7u);
	}
}

TEST_F(SysstatsLoopTest, DisabledPassReadsNoCounter)
{
	start_daemon();
	unsigned reads = sim_sysctl_reads("kern.cp_times");
	for (int i = 0; i < 3; i++)
		sysstats_pass();
	EXPECT_EQ(sim_sysctl_reads("kern.cp_times"), reads);
}

// The real loop, for about a second, in a child process of its own: the loop
// never returns, so the child leaves without running exit handlers.  The
// child is forked before the SDK starts any thread of its own and sets up
// the machine and the service itself.
TEST(SysstatsLoop, LoopWritesAPacketEveryHundredMilliseconds)
{
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	pid_t pid = fork();
	if (pid == 0) {
		sim_kernel_reset();
		tracing_init_in_process();
		capture_begin();
		sysstats_start();
		capture_end();
		test_session *s = session_start(SYSSTATS_DATA_SOURCE);
		std::thread(sysstats_run).detach();
		usleep(1000000);
		session_stop(s);
		std::string trace = session_read_and_destroy(s);
		std::vector<uint64_t> ts;
		for (const auto &p : producer_packets(trace, TRACE_PACKET_SYS_STATS))
			ts.push_back(p.timestamp());
		uint64_t min_gap = UINT64_MAX;
		for (size_t i = 1; i < ts.size(); i++)
			min_gap = std::min(min_gap, ts[i] - ts[i - 1]);
		uint64_t msg[2] = {ts.size(), min_gap};
		if (write(fds[1], msg, sizeof msg) != sizeof msg)
			_exit(2);
		_exit(0);
	}
	close(fds[1]);
	uint64_t msg[2] = {0, 0};
	ASSERT_EQ(read(fds[0], msg, sizeof msg), (ssize_t)sizeof msg);
	int status;
	waitpid(pid, &status, 0);
	// 100 ms sleeps plus the passes: at most ten in a second, and never two
	// closer than the sleep.
	EXPECT_GE(msg[0], 5u);
	EXPECT_LE(msg[0], 11u);
	EXPECT_GE(msg[1], 100000000u);
}

}  // namespace
