// The simulated power devices: FreeBSD's battery declarations, the
// "/dev/acpi" device behind the descriptor seam, and the RAPL counters.
#include <sys/types.h>
#include <sys/ioccom.h>
#include <dev/acpica/acpiio.h>
#include <sys/sysctl.h>

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "power/device_io.h"
#include "sim/kernel.h"
#include "sim/power.h"

// FreeBSD's layouts (amd64) and request words.
static_assert(sizeof(struct acpi_battinfo) == 16);
static_assert(sizeof(struct acpi_bst) == 16);
static_assert(offsetof(struct acpi_bst, volt) == 12);
static_assert(sizeof(struct acpi_bif) == 164);
static_assert(offsetof(struct acpi_bif, model) == 36);
static_assert(offsetof(struct acpi_bif, oeminfo) == 132);
static_assert(sizeof(struct acpi_bix) == 256);
static_assert(offsetof(struct acpi_bix, rev) == 164);
static_assert(offsetof(struct acpi_bix, cycles) == 168);
static_assert(offsetof(struct acpi_bix, scap) == 192);
static_assert(offsetof(struct acpi_bix, bix_reserved) == 196);
static_assert(sizeof(union acpi_battery_ioctl_arg) == 256);
static_assert(sizeof(union acpi_battery_ioctl_arg_v1) == 164);
static_assert(ACPIIO_BATT_GET_BATTINFO == 0xC1004203ul);
static_assert(ACPIIO_BATT_GET_BST == 0xC1004211ul);
static_assert(ACPIIO_BATT_GET_BIX == 0xC1004210ul);
static_assert(ACPIIO_BATT_GET_UNITS == 0x40044201ul);
static_assert(ACPIIO_BATT_GET_BATTINFO_V1 == 0xC0A44203ul);
static_assert(ACPIIO_BATT_GET_BST_V1 == 0xC0A44211ul);
static_assert(ACPIIO_BATT_GET_BIF == 0xC0A44210ul);
static_assert(ACPI_BATT_STAT_NOT_PRESENT == 7);
static_assert(ACPI_BATT_STAT_INVALID == 3);
static_assert(ACPI_BATT_UNKNOWN == 0xffffffffu);
static_assert(ACPI_BATTERY_ALL_UNITS == -1);

namespace {

int
request(int fd, unsigned long req, int unit, union acpi_battery_ioctl_arg *arg)
{
	memset(arg, 0xa5, sizeof *arg);
	arg->unit = unit;
	return device_ioctl(fd, req, arg);
}

uint64_t
read_counter(const char *name, int *err)
{
	int mib[4];
	size_t miblen = 4;
	uint64_t value = 0;
	size_t size = sizeof value;

	*err = 0;
	if (sysctlnametomib(name, mib, &miblen) == -1 ||
	    sysctl(mib, (u_int)miblen, &value, &size, nullptr, 0) == -1) {
		*err = errno;
		return 0;
	}
	EXPECT_EQ(size, 8u) << name;
	return value;
}

const char *const rapl_names[] = {
	"dev.intel_rapl.0.pp0", "dev.intel_rapl.0.pp1",
	"dev.intel_rapl.0.platform", "dev.intel_rapl.0.dram",
};

} // namespace

// Runs in a process of its own: control given before anything else touched
// the simulation is not undone by the default machine's installation.
TEST(SimAcpi, ControlBeforeFirstUseSurvivesInstallation)
{
	struct sim_battery b = sim_battery_default();
	b.info.cap = 12;
	sim_acpi_set_battery(&b);

	int fd = device_open("/dev/acpi", O_RDONLY);
	ASSERT_NE(fd, -1);
	union acpi_battery_ioctl_arg arg;
	ASSERT_EQ(request(fd, ACPIIO_BATT_GET_BATTINFO, 0, &arg), 0);
	EXPECT_EQ(arg.battinfo.cap, 12);
	device_close(fd);
}

TEST(SimAcpi, DefaultBatteryAnswersEachRequest)
{
	sim_kernel_reset();
	int fd = device_open("/dev/acpi", O_RDONLY);
	ASSERT_NE(fd, -1);
	EXPECT_EQ(sim_acpi_last_open_flags(), O_RDONLY);
	// Not a descriptor of this process.
	EXPECT_EQ(fcntl(fd, F_GETFD), -1);

	struct sim_battery d = sim_battery_default();
	union acpi_battery_ioctl_arg arg;
	ASSERT_EQ(request(fd, ACPIIO_BATT_GET_BST, 0, &arg), 0);
	EXPECT_EQ(arg.bst.state, (uint32_t)ACPI_BATT_STAT_DISCHARG);
	EXPECT_EQ(memcmp(&arg.bst, &d.bst, sizeof d.bst), 0);
	ASSERT_EQ(request(fd, ACPIIO_BATT_GET_BATTINFO, 0, &arg), 0);
	EXPECT_EQ(memcmp(&arg.battinfo, &d.info, sizeof d.info), 0);
	EXPECT_GT(arg.battinfo.cap, 0);
	ASSERT_EQ(request(fd, ACPIIO_BATT_GET_BATTINFO,
	    ACPI_BATTERY_ALL_UNITS, &arg), 0);
	ASSERT_EQ(request(fd, ACPIIO_BATT_GET_BIX, 0, &arg), 0);
	EXPECT_EQ(arg.bix.units, d.units);
	EXPECT_EQ(arg.bix.rev, ACPI_BIX_REV_0);

	// A unit that does not exist, and a request the device does not know.
	EXPECT_EQ(request(fd, ACPIIO_BATT_GET_BST, 1, &arg), -1);
	EXPECT_EQ(errno, ENXIO);
	EXPECT_EQ(request(fd, ACPIIO_BATT_GET_BST, ACPI_BATTERY_ALL_UNITS,
	    &arg), -1);
	EXPECT_EQ(errno, ENXIO);
	EXPECT_EQ(request(fd, _IOWR('B', 0x7f, int), 0, &arg), -1);
	EXPECT_EQ(errno, ENOTTY);

	EXPECT_EQ(sim_acpi_requests(ACPIIO_BATT_GET_BST), 3u);
	EXPECT_EQ(sim_acpi_requests(ACPIIO_BATT_GET_BATTINFO), 2u);
	EXPECT_EQ(device_close(fd), 0);
}

TEST(SimAcpi, DescriptorsAreCountedAndChecked)
{
	sim_kernel_reset();
	int a = device_open("/dev/acpi", O_RDONLY);
	int b = device_open("/dev/acpi", O_RDONLY);
	ASSERT_NE(a, -1);
	ASSERT_NE(b, -1);
	EXPECT_NE(a, b);
	EXPECT_EQ(sim_acpi_open_descriptors(), 2u);
	EXPECT_EQ(sim_acpi_opens(), 2u);

	EXPECT_EQ(device_close(a), 0);
	EXPECT_EQ(sim_acpi_open_descriptors(), 1u);
	EXPECT_EQ(device_close(a), -1);
	EXPECT_EQ(errno, EBADF);
	union acpi_battery_ioctl_arg arg;
	EXPECT_EQ(request(a, ACPIIO_BATT_GET_BST, 0, &arg), -1);
	EXPECT_EQ(errno, EBADF);
	EXPECT_EQ(request(-1, ACPIIO_BATT_GET_BST, 0, &arg), -1);
	EXPECT_EQ(errno, EBADF);
	// The lowest free descriptor is taken again.
	EXPECT_EQ(device_open("/dev/acpi", O_RDONLY), a);

	EXPECT_EQ(device_open("/dev/nonesuch", O_RDONLY), -1);
	EXPECT_EQ(errno, ENOENT);
	device_close(a);
	device_close(b);
	EXPECT_EQ(sim_acpi_open_descriptors(), 0u);
}

TEST(SimAcpi, AbsentFailingAndMissing)
{
	sim_kernel_reset();
	int fd = device_open("/dev/acpi", O_RDONLY);
	ASSERT_NE(fd, -1);
	union acpi_battery_ioctl_arg arg;

	sim_acpi_set_battery_absent();
	ASSERT_EQ(request(fd, ACPIIO_BATT_GET_BST, 0, &arg), 0);
	EXPECT_EQ(arg.bst.state, (uint32_t)ACPI_BATT_STAT_NOT_PRESENT);
	EXPECT_EQ(arg.bst.volt, ACPI_BATT_UNKNOWN);
	ASSERT_EQ(request(fd, ACPIIO_BATT_GET_BATTINFO, 0, &arg), 0);
	EXPECT_EQ(arg.battinfo.cap, -1);
	EXPECT_EQ(arg.battinfo.min, -1);
	EXPECT_EQ(arg.battinfo.state, ACPI_BATT_STAT_NOT_PRESENT);
	EXPECT_EQ(arg.battinfo.rate, -1);
	EXPECT_EQ(request(fd, ACPIIO_BATT_GET_BIX, 0, &arg), -1);
	EXPECT_EQ(errno, ENXIO);

	// A failing request leaves its argument alone.
	sim_acpi_fail(ACPIIO_BATT_GET_BATTINFO, EIO);
	EXPECT_EQ(request(fd, ACPIIO_BATT_GET_BATTINFO, 0, &arg), -1);
	EXPECT_EQ(errno, EIO);
	EXPECT_EQ(arg.unit, 0);
	EXPECT_EQ(arg.battinfo.min, (int)0xa5a5a5a5);
	sim_acpi_fail(ACPIIO_BATT_GET_BATTINFO, 0);
	EXPECT_EQ(request(fd, ACPIIO_BATT_GET_BATTINFO, 0, &arg), 0);

	// A device node that went away: no new opens, the old one still works.
	sim_acpi_set_device(false);
	EXPECT_EQ(device_open("/dev/acpi", O_RDONLY), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(request(fd, ACPIIO_BATT_GET_BST, 0, &arg), 0);

	// The empty machine has neither; reset brings both back, and the open
	// descriptor outlives both.
	sim_kernel_clear();
	EXPECT_EQ(device_open("/dev/acpi", O_RDONLY), -1);
	int err;
	read_counter("dev.intel_rapl.0.pp0", &err);
	EXPECT_EQ(err, ENOENT);
	sim_kernel_reset();
	EXPECT_EQ(sim_acpi_open_descriptors(), 1u);
	EXPECT_EQ(sim_acpi_requests(ACPIIO_BATT_GET_BST), 0u);
	ASSERT_EQ(request(fd, ACPIIO_BATT_GET_BST, 0, &arg), 0);
	EXPECT_EQ(arg.bst.state, (uint32_t)ACPI_BATT_STAT_DISCHARG);
	device_close(fd);
}

TEST(SimRapl, DefaultCountersAdvanceAs64BitValues)
{
	sim_kernel_reset();
	uint64_t first[4];
	for (int i = 0; i < 4; i++) {
		int err;
		first[i] = read_counter(rapl_names[i], &err);
		ASSERT_EQ(err, 0) << rapl_names[i];
		EXPECT_GT(first[i], UINT32_MAX) << rapl_names[i];
	}
	usleep(5000);
	for (int i = 0; i < 4; i++) {
		int err;
		EXPECT_GT(read_counter(rapl_names[i], &err), first[i])
		    << rapl_names[i];
	}
	EXPECT_EQ(sim_sysctl_reads("dev.intel_rapl.0.dram"), 2u);
}

TEST(SimRapl, FixedAdvancingAndBrokenCounters)
{
	sim_kernel_reset();
	int err;
	sim_rapl_set("pp1", 0x100000001ull);
	EXPECT_EQ(read_counter("dev.intel_rapl.0.pp1", &err), 0x100000001ull);
	EXPECT_EQ(read_counter("dev.intel_rapl.0.pp1", &err), 0x100000001ull);

	sim_rapl_set_advancing("dram", 1000, 1000000);
	uint64_t a = read_counter("dev.intel_rapl.0.dram", &err);
	usleep(3000);
	uint64_t b = read_counter("dev.intel_rapl.0.dram", &err);
	EXPECT_GE(a, 1000u);
	EXPECT_GE(b - a, 2000000u);

	// A broken node fails both the lookup and a read by a MIB found before.
	int mib[4];
	size_t miblen = 4;
	ASSERT_EQ(sysctlnametomib("dev.intel_rapl.0.platform", mib, &miblen), 0);
	sim_rapl_fail("platform", EIO);
	read_counter("dev.intel_rapl.0.platform", &err);
	EXPECT_EQ(err, EIO);
	uint64_t v;
	size_t size = sizeof v;
	EXPECT_EQ(sysctl(mib, (u_int)miblen, &v, &size, nullptr, 0), -1);
	EXPECT_EQ(errno, EIO);
	sim_rapl_fail("platform", 0);
	read_counter("dev.intel_rapl.0.platform", &err);
	EXPECT_EQ(err, 0);
}

TEST(SimAcpi, ConcurrentRequestsAndControl)
{
	sim_kernel_reset();
	int fd = device_open("/dev/acpi", O_RDONLY);
	ASSERT_NE(fd, -1);
	std::thread control([] {
		struct sim_battery b = sim_battery_default();
		for (int i = 0; i < 200; i++) {
			b.info.cap = i % 100;
			sim_acpi_set_battery(&b);
			sim_rapl_set_advancing("pp0", (uint64_t)i, 1);
		}
	});
	for (int i = 0; i < 200; i++) {
		union acpi_battery_ioctl_arg arg;
		int err;
		EXPECT_EQ(request(fd, ACPIIO_BATT_GET_BATTINFO, 0, &arg), 0);
		read_counter("dev.intel_rapl.0.pp0", &err);
	}
	control.join();
	device_close(fd);
}
