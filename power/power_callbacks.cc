// The session callbacks: set-up probes the battery and the RAPL counters,
// start and stop count the started instances.
//
// The SDK runs the callbacks one at a time (on its own thread), so set-ups
// never overlap each other; they may overlap the main loop's sampling.
#include "power/power_callbacks.h"
#include "power/power_loop.h"

#include <sys/types.h>
#include <sys/sysctl.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "power/device_io.h"

static const char ACPI_DEVICE[] = "/dev/acpi";

// The units of the status reply's capacity, from _BIX.
static uint32_t
battery_units(int fd)
{
	union acpi_battery_ioctl_arg arg;

	memset(&arg, 0, sizeof arg);
	arg.unit = 0;
	if (device_ioctl(fd, ACPIIO_BATT_GET_BIX, &arg) == -1)
		return ACPI_BATT_UNKNOWN;
	return arg.bix.units;
}

static void
probe_battery(struct fbsd_power_state *st)
{
	union acpi_battery_ioctl_arg arg;
	int fd;

	// One descriptor for the life of the process: a set-up for a later
	// session reuses it, and only a set-up that finds none opens one.
	// The loop reads acpi_fd only once the battery bit is set, which
	// needs an open descriptor, so this store never meets a reader.
	fd = st->acpi_fd;
	if (fd == -1) {
		fd = device_open(ACPI_DEVICE, O_RDONLY);
		if (fd == -1) {
			printf("ACPI Battery: failed to open %s\n", ACPI_DEVICE);
			return;
		}
		st->acpi_fd = fd;
	}

	// An argument of our own: battery_arg belongs to the loop's reads.
	memset(&arg, 0, sizeof arg);
	arg.unit = 0;
	if (device_ioctl(fd, ACPIIO_BATT_GET_BST, &arg) == -1)
		return;
	if (arg.bst.state == ACPI_BATT_STAT_NOT_PRESENT) {
		printf("ACPI Battery: Battery %d not present\n", 0);
		return;
	}
	if ((st->flags.load(std::memory_order_acquire) &
	    PWR_FLAG_ACPIBATTERY) == 0) {
		st->battery_units = battery_units(fd);
		st->flags.fetch_or(PWR_FLAG_ACPIBATTERY,
		    std::memory_order_release);
	}
	printf("ACPI Battery: Battery %d voltage %d\n", 0, (int)arg.bst.volt);
}

static void
probe_rapl(struct fbsd_power_state *st)
{
	int scratch_mib[PWR_RAPL_MIBLEN];
	size_t scratch_miblen;
	bool resolved;

	// Once the bit is set the loop reads the MIBs: a later set-up looks
	// the names up all the same (and says what it misses) but keeps the
	// answers to itself.
	resolved = (st->flags.load(std::memory_order_acquire) &
	    PWR_FLAG_RAPL) != 0;
	for (int i = 0; i < PWR_RAPL_COUNTERS; i++) {
		struct pwr_rapl_fields f = pwr_rapl_fields(st, i);
		int *mib = resolved ? scratch_mib : f.mib;
		size_t *miblen = resolved ? &scratch_miblen : f.miblen;

		*miblen = PWR_RAPL_MIBLEN;
		if (sysctlnametomib(pwr_rapl_counters[i].sysctl_name, mib,
		    miblen) == -1) {
			puts(pwr_rapl_counters[i].lookup_failure);
			return;
		}
	}
	st->flags.fetch_or(PWR_FLAG_RAPL, std::memory_order_release);
}

void *
fbsd_power_on_setup_cb(struct PerfettoDsImpl *, PerfettoDsInstanceIndex,
                       void *, size_t, void *user_arg,
                       struct PerfettoDsOnSetupArgs *)
{
	struct fbsd_power_state *st = (struct fbsd_power_state *)user_arg;
	uint32_t flags;

	probe_battery(st);
	probe_rapl(st);
	flags = st->flags.load(std::memory_order_acquire);
	printf("freebsd power: %s %s\n",
	    (flags & PWR_FLAG_ACPIBATTERY) ? "PWR_FLAG_ACPIBATTERY" : "",
	    (flags & PWR_FLAG_RAPL) ? "PWR_FLAG_RAPL" : "");
	return user_arg;
}

void
fbsd_power_on_start_cb(struct PerfettoDsImpl *, PerfettoDsInstanceIndex,
                       void *user_arg, void *, struct PerfettoDsOnStartArgs *)
{
	struct fbsd_power_state *st = (struct fbsd_power_state *)user_arg;
	uint8_t n;

	puts("fbsd_power_on_start_cb");
	// Saturating; the service allows far fewer instances than 255.
	n = st->started.load(std::memory_order_relaxed);
	while (n < UINT8_MAX && !st->started.compare_exchange_weak(n,
	    (uint8_t)(n + 1), std::memory_order_release,
	    std::memory_order_relaxed))
		;
	fbsd_power_wake(st);
}

void
fbsd_power_on_stop_cb(struct PerfettoDsImpl *, PerfettoDsInstanceIndex,
                      void *user_arg, void *, struct PerfettoDsOnStopArgs *)
{
	struct fbsd_power_state *st = (struct fbsd_power_state *)user_arg;
	uint8_t n;

	puts("fbsd_power_on_stop_cb");
	// Sampling goes on while another session is still started.
	n = st->started.load(std::memory_order_relaxed);
	while (n > 0 && !st->started.compare_exchange_weak(n,
	    (uint8_t)(n - 1), std::memory_order_release,
	    std::memory_order_relaxed))
		;
}

void
fbsd_power_on_destroy_cb(struct PerfettoDsImpl *, void *, void *)
{
	// The descriptor and the capability bits outlive the session.
	puts("fbsd_power_on_destroy_cb");
}

void
fbsd_power_register(struct ds_registration *reg, struct fbsd_power_state *st)
{
	struct ds_callbacks callbacks = {
		fbsd_power_on_setup_cb,
		fbsd_power_on_start_cb,
		fbsd_power_on_stop_cb,
		fbsd_power_on_destroy_cb,
		st,
	};

	(void)register_data_source(reg, "freebsd.power", &callbacks);
}
