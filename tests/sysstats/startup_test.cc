// Start-up of the statistics daemon: its three set-ups in order, then its
// registration; and a daemon whose registration the SDK refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sysstats.h"
#include "sysstats/intrcnt_data.h"
#include "sysstats_fixture.h"

namespace {

// What start-up had done when the CPU set-up read its first node.  The
// interrupt set-up reads no node: its table shows that it ran.
std::string at_cpu_setup;

void
maxcpus_node(std::string *out, void *)
{
	if (at_cpu_setup.empty())
		at_cpu_setup = std::to_string(sim_geom_snapshots_taken()) +
		    " snapshot(s), " +
		    std::to_string(intrcnt_table.intrcnt_slots) +
		    " interrupt slots, " +
		    (sysstats_ds.impl != nullptr ? "registered" :
		    "not registered");
	const int maxcpus = 256;
	out->assign(reinterpret_cast<const char *>(&maxcpus), sizeof maxcpus);
}

class SysstatsStartupTest : public SysstatsTest {};

TEST_F(SysstatsStartupTest, DisksAndInterruptsThenCpusThenRegistration)
{
	sim_sysctl_set_dynamic("kern.smp.maxcpus", maxcpus_node, nullptr);
	EXPECT_EQ(start_daemon().out, "maxcpu: 256\n");
	EXPECT_EQ(at_cpu_setup, "1 snapshot(s), " +
	    std::to_string(INTRCNT_SLOTS) + " interrupt slots, not registered");
	EXPECT_NE(sysstats_ds.impl, nullptr);
	EXPECT_EQ(record(1).size(), 1u);
}

// Refused registration: start-up prints nothing more, the loop goes on and
// a session of the data source never gets a packet.
TEST_F(SysstatsStartupTest, RefusedRegistrationIsSilentAndNeverWrites)
{
	ASSERT_GT(exhaust_data_source_registrations(), 0u);
	captured_output o = start_daemon();
	EXPECT_EQ(o.out, "maxcpu: 256\n");
	EXPECT_EQ(sysstats_ds.impl, nullptr);
	EXPECT_EQ(sysstats_ds.enabled, &perfetto_atomic_false);
	unsigned reads = sim_sysctl_reads("kern.cp_times");
	EXPECT_EQ(record(3).size(), 0u);
	EXPECT_EQ(sim_sysctl_reads("kern.cp_times"), reads);
}

}  // namespace
