// Set-up of "freebsd.power": what it finds, what it prints, and what the
// loop then does with it.
#include <sys/types.h>
#include <sys/sysctl.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <gtest/gtest.h>

#include "power_fixture.h"
#include "sim/kernel.h"
#include "sim/power.h"

namespace {

void
no_rapl(void)
{
	for (const char *d : {"pp0", "pp1", "platform", "dram"})
		sim_rapl_fail(d, ENOENT);
}

struct setup_case {
	const char *name;
	void (*machine)(void);
	const char *lines; // set-up's output, then start's
	uint32_t flags;
	unsigned period_us;
	size_t rails;      // packets after one loop turn
	size_t batteries;
};

const setup_case setup_cases[] = {
	{"Nothing", [] { sim_kernel_clear(); },
	    "ACPI Battery: failed to open /dev/acpi\n"
	    "Couldn't read RAPL pp0\n"
	    "freebsd power:  \n"
	    "fbsd_power_on_start_cb\n",
	    0, 1000000, 0, 0},
	{"BatteryAbsentNoRapl", [] { sim_acpi_set_battery_absent(); no_rapl(); },
	    "ACPI Battery: Battery 0 not present\n"
	    "Couldn't read RAPL pp0\n"
	    "freebsd power:  \n"
	    "fbsd_power_on_start_cb\n",
	    0, 1000000, 0, 0},
	{"RaplOnly", [] { sim_acpi_set_battery_absent(); },
	    "ACPI Battery: Battery 0 not present\n"
	    "freebsd power:  PWR_FLAG_RAPL\n"
	    "fbsd_power_on_start_cb\n",
	    PWR_FLAG_RAPL, 1000, 4, 0},
	{"StatusFailsRaplOnly",
	    [] { sim_acpi_fail(ACPIIO_BATT_GET_BST, ENXIO); },
	    "freebsd power:  PWR_FLAG_RAPL\n"
	    "fbsd_power_on_start_cb\n",
	    PWR_FLAG_RAPL, 1000, 4, 0},
	{"BatteryOnly", no_rapl,
	    "ACPI Battery: Battery 0 voltage 11800\n"
	    "Couldn't read RAPL pp0\n"
	    "freebsd power: PWR_FLAG_ACPIBATTERY \n"
	    "fbsd_power_on_start_cb\n",
	    PWR_FLAG_ACPIBATTERY, 1000, 0, 1},
	{"Both", [] {},
	    "ACPI Battery: Battery 0 voltage 11800\n"
	    "freebsd power: PWR_FLAG_ACPIBATTERY PWR_FLAG_RAPL\n"
	    "fbsd_power_on_start_cb\n",
	    PWR_FLAG_ACPIBATTERY | PWR_FLAG_RAPL, 1000, 4, 1},
	{"PlatformMissing", [] { sim_rapl_fail("platform", ENOENT); },
	    "ACPI Battery: Battery 0 voltage 11800\n"
	    "Couldn't read RAPL platform\n"
	    "freebsd power: PWR_FLAG_ACPIBATTERY \n"
	    "fbsd_power_on_start_cb\n",
	    PWR_FLAG_ACPIBATTERY, 1000, 0, 1},
	{"DramMissing", [] { sim_rapl_fail("dram", ENOENT); },
	    "ACPI Battery: Battery 0 voltage 11800\n"
	    "Couldn't read RAPL dram\n"
	    "freebsd power: PWR_FLAG_ACPIBATTERY \n"
	    "fbsd_power_on_start_cb\n",
	    PWR_FLAG_ACPIBATTERY, 1000, 0, 1},
};

void
PrintTo(const setup_case &c, std::ostream *os)
{
	*os << c.name;
}

class PowerSetup : public ::testing::TestWithParam<setup_case> {};

} // namespace

// Set-up lines byte for byte, the capability bits, the loop's period, and
// which passes write.
TEST_P(PowerSetup, LinesFlagsAndPasses)
{
	const setup_case &c = GetParam();
	c.machine();
	power_daemon_start();

	std::string out;
	struct test_session *s = power_session_start(&out);
	EXPECT_EQ(out, c.lines);
	EXPECT_EQ(power_state.flags.load(), c.flags);
	EXPECT_EQ(power_loop_turn(), c.period_us);
	std::string trace = session_read_and_destroy(s);
	EXPECT_EQ(rail_packets(trace).size(), c.rails);
	EXPECT_EQ(battery_packets(trace).size(), c.batteries);
}

INSTANTIATE_TEST_SUITE_P(Machines, PowerSetup,
    ::testing::ValuesIn(setup_cases),
    [](const ::testing::TestParamInfo<setup_case> &i) {
	    return std::string(i.param.name);
    });

// A failed pp1 lookup stops there: platform and dram are not looked up (their
// failures would print), the pp0 MIB is in, the RAPL bit stays clear.
TEST(PowerSetupRapl, FailedPp1LookupStopsTheLookups)
{
	sim_rapl_fail("pp1", ENOENT);
	sim_rapl_fail("platform", ENOENT);
	sim_rapl_fail("dram", ENOENT);
	power_daemon_start();

	std::string out;
	struct test_session *s = power_session_start(&out);
	EXPECT_EQ(out, "ACPI Battery: Battery 0 voltage 11800\n"
	               "Couldn't read RAPL pp1\n"
	               "freebsd power: PWR_FLAG_ACPIBATTERY \n"
	               "fbsd_power_on_start_cb\n");
	EXPECT_EQ(power_state.flags.load() & PWR_FLAG_RAPL, 0u);

	int mib[4];
	size_t miblen = 4;
	ASSERT_EQ(sysctlnametomib("dev.intel_rapl.0.pp0", mib, &miblen), 0);
	ASSERT_EQ(power_state.pp0_miblen, miblen);
	EXPECT_EQ(memcmp(power_state.pp0_mib, mib, miblen * sizeof(int)), 0);
	EXPECT_EQ(power_state.platform_miblen, 0u);
	EXPECT_EQ(power_state.dram_miblen, 0u);
	session_read_and_destroy(s);
}

// Capability bits and the descriptor outlive sessions.  A later set-up
// reuses the one descriptor (so a device node gone since costs nothing),
// and looks the counters up again without disturbing the MIBs in use.
TEST(PowerSetupRepeated, LaterSetupsKeepBitsDescriptorAndMibs)
{
	power_daemon_start();
	struct test_session *s = power_session_start();
	session_read_and_destroy(s);
	int fd = power_state.acpi_fd;
	int pp0_mib[4];
	memcpy(pp0_mib, power_state.pp0_mib, sizeof pp0_mib);
	size_t pp0_miblen = power_state.pp0_miblen;

	sim_acpi_set_device(false);
	sim_rapl_fail("pp0", ENOENT);
	std::string out;
	s = power_session_start(&out);
	EXPECT_EQ(out, "ACPI Battery: Battery 0 voltage 11800\n"
	               "Couldn't read RAPL pp0\n"
	               "freebsd power: PWR_FLAG_ACPIBATTERY PWR_FLAG_RAPL\n"
	               "fbsd_power_on_start_cb\n");
	EXPECT_EQ(power_state.acpi_fd, fd);
	EXPECT_EQ(memcmp(power_state.pp0_mib, pp0_mib, sizeof pp0_mib), 0);
	EXPECT_EQ(power_state.pp0_miblen, pp0_miblen);

	// The battery is still read through the one descriptor.
	sim_rapl_fail("pp0", 0);
	power_loop_turn();
	std::string trace = session_read_and_destroy(s);
	auto batteries = battery_packets(trace);
	ASSERT_EQ(batteries.size(), 1u);
	EXPECT_TRUE(batteries[0].battery().has_charge_counter_uah());

	EXPECT_EQ(sim_acpi_opens(), 1u);
	EXPECT_EQ(sim_acpi_open_descriptors(), 1u);
}

// A set-up that could not open the device leaves nothing open, and a later
// one opens it and finds the battery.
TEST(PowerSetupRepeated, OpenFailureIsRetriedByALaterSetup)
{
	sim_acpi_set_device(false);
	power_daemon_start();
	session_read_and_destroy(power_session_start());
	EXPECT_EQ(power_state.acpi_fd, -1);
	EXPECT_EQ(sim_acpi_open_descriptors(), 0u);

	sim_acpi_set_device(true);
	std::string out;
	session_read_and_destroy(power_session_start(&out));
	EXPECT_EQ(out.rfind("ACPI Battery: Battery 0 voltage 11800\n", 0), 0u)
	    << out;
	EXPECT_NE(power_state.flags.load() & PWR_FLAG_ACPIBATTERY, 0u);
	EXPECT_EQ(sim_acpi_open_descriptors(), 1u);
	EXPECT_EQ(sim_acpi_last_open_flags(), O_RDONLY);
}

// Stop and destroy print their names; neither closes the device or clears a
// bit.
TEST(PowerCallbacks, StopAndDestroyLines)
{
	power_daemon_start();
	struct test_session *s = power_session_start();
	capture_begin();
	session_stop(s);
	std::string out = capture_end().out;
	EXPECT_EQ(out, "fbsd_power_on_stop_cb\nfbsd_power_on_destroy_cb\n");
	EXPECT_EQ(power_state.started.load(), 0u);
	EXPECT_EQ(power_state.flags.load(), PWR_FLAG_ACPIBATTERY | PWR_FLAG_RAPL);
	EXPECT_EQ(sim_acpi_open_descriptors(), 1u);
	session_read_and_destroy(s);
}

