// Control of the simulated machine's power devices, for tests: the ACPI
// battery behind "/dev/acpi" and the RAPL energy counters.  The daemons never
// include this header.
//
// The default machine has "/dev/acpi" with a discharging battery 0 and the
// four counters "dev.intel_rapl.0.{pp0,pp1,platform,dram}" advancing with
// time.  Every call here is thread-safe.
#ifndef SIM_POWER_H
#define SIM_POWER_H

#include <stdint.h>

#include <dev/acpica/acpiio.h>

// Battery 0 as the requests report it.  `units` (ACPI_BIX_UNITS_*) is what
// ACPIIO_BATT_GET_BIX answers, and so the unit of bst.cap and bst.rate.
struct sim_battery {
	uint32_t units;
	struct acpi_bst bst;       // ACPIIO_BATT_GET_BST
	struct acpi_battinfo info; // ACPIIO_BATT_GET_BATTINFO
};

// The default machine's battery.
struct sim_battery sim_battery_default(void);
// Battery 0 present, answering with these replies.
void sim_acpi_set_battery(const struct sim_battery *battery);
// Battery 0's slot empty: the status state is ACPI_BATT_STAT_NOT_PRESENT with
// every value unknown, the information reply that of no valid battery (cap
// -1, min -1, state 7, rate -1), and ACPIIO_BATT_GET_BIX fails with ENXIO.
void sim_acpi_set_battery_absent(void);
// Whether "/dev/acpi" exists; opening a missing one fails with ENOENT.
// Descriptors already open stay usable.
void sim_acpi_set_device(bool present);
// Every later `request` fails with `err` before touching its argument
// (0 clears).
void sim_acpi_fail(unsigned long request, int err);

// Requests of this code issued so far, failed ones included.
unsigned sim_acpi_requests(unsigned long request);
// Successful opens of "/dev/acpi" so far, and the flags of the last one.
unsigned sim_acpi_opens(void);
int sim_acpi_last_open_flags(void);
// Descriptors of "/dev/acpi" open now (survives reset and clear, as the
// descriptors do).
unsigned sim_acpi_open_descriptors(void);

// RAPL counter "dev.intel_rapl.0.<domain>" (pp0, pp1, platform, dram).
// A fixed value; or one that starts at `start` and grows by `per_ms` each
// millisecond of CLOCK_MONOTONIC; or failing reads and lookups (`err`, 0
// clears).  Reads are counted by sim_sysctl_reads with the full name.
void sim_rapl_set(const char *domain, uint64_t value);
void sim_rapl_set_advancing(const char *domain, uint64_t start,
                            uint64_t per_ms);
void sim_rapl_fail(const char *domain, int err);

#endif
