// Reading the battery and the RAPL counters.
#include "power/power_read.h"

#include <sys/types.h>
#include <sys/sysctl.h>

#include <stdio.h>
#include <string.h>

#include "power/device_io.h"

const struct pwr_rapl_counter pwr_rapl_counters[PWR_RAPL_COUNTERS] = {
	{"dev.intel_rapl.0.pp0", "Couldn't read RAPL pp0", "ERROR: sysctl pp0"},
	{"dev.intel_rapl.0.pp1", "Couldn't read RAPL pp1", "ERROR: sysctl pp1"},
	{"dev.intel_rapl.0.platform", "Couldn't read RAPL platform",
	    "ERROR: sysctl platform"},
	{"dev.intel_rapl.0.dram", "Couldn't read RAPL dram",
	    "ERROR: sysctl dram"},
};

struct pwr_rapl_fields
pwr_rapl_fields(struct fbsd_power_state *st, int counter)
{
	switch (counter) {
	case PWR_RAPL_PP0:
		return {st->pp0_mib, &st->pp0_miblen, &st->pp0_energy};
	case PWR_RAPL_PP1:
		return {st->pp1_mib, &st->pp1_miblen, &st->pp1_energy};
	case PWR_RAPL_PLATFORM:
		return {st->platform_mib, &st->platform_miblen,
		    &st->platform_energy};
	default:
		return {st->dram_mib, &st->dram_miblen, &st->dram_energy};
	}
}

void
fbsd_power_battery_from_status(struct fbsd_power_state *st,
                               const struct acpi_bst *bst, uint32_t units)
{
	if (bst->state == ACPI_BATT_STAT_NOT_PRESENT)
		return;
	if (bst->volt != ACPI_BATT_UNKNOWN)
		st->battery_voltage = (uint64_t)bst->volt * 1000; // mV
	if (bst->cap == ACPI_BATT_UNKNOWN)
		return;
	if (units == ACPI_BIX_UNITS_MA) {
		st->battery_charge = (uint64_t)bst->cap * 1000; // mAh
	} else if (units == ACPI_BIX_UNITS_MW && bst->volt != 0 &&
	    bst->volt != ACPI_BATT_UNKNOWN) {
		// mWh / mV = Ah, at the present voltage.
		st->battery_charge = (uint64_t)bst->cap * 1000000 / bst->volt;
	}
}

int32_t
fbsd_power_read_battery(struct fbsd_power_state *st, uint32_t unit)
{
	union acpi_battery_ioctl_arg status;

	if (unit > 64)
		printf("invalid battery %d", (int)unit);

	st->battery_arg.unit = (int)unit;
	if (device_ioctl(st->acpi_fd, ACPIIO_BATT_GET_BATTINFO,
	    &st->battery_arg) == -1) {
		printf("get battery info (%d) failed", (int)unit);
		return 0;
	}
	st->battery_capacity = (uint64_t)(int64_t)st->battery_arg.battinfo.cap;
	// In 64 bits: a 32-bit product would overflow for rates past 2 million.
	st->battery_current = (int64_t)st->battery_arg.battinfo.rate * 1000;

	// Charge and voltage come from the status reply, asked for in an
	// argument of its own so that battery_arg keeps the information
	// reply.  Without it they keep their last values.
	memset(&status, 0, sizeof status);
	status.unit = (int)unit;
	if (device_ioctl(st->acpi_fd, ACPIIO_BATT_GET_BST, &status) != -1)
		fbsd_power_battery_from_status(st, &status.bst,
		    st->battery_units);
	return 1;
}

void
fbsd_power_read_rapl(struct fbsd_power_state *st)
{
	for (int i = 0; i < PWR_RAPL_COUNTERS; i++) {
		struct pwr_rapl_fields f = pwr_rapl_fields(st, i);
		// Fresh for each counter, so that a short answer cannot
		// leave bytes of the previous counter in the value.
		uint64_t value = 0;
		size_t size = sizeof value;

		if (sysctl(f.mib, (u_int)*f.miblen, &value, &size, NULL, 0) ==
		    -1) {
			perror(pwr_rapl_counters[i].read_failure);
			return;
		}
		*f.energy = value;
	}
}
