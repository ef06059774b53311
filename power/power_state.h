// The power daemon's one state record, shared by the session callbacks (on
// the SDK's threads) and the main loop.
//
// Who writes what: set-up writes `flags`, `acpi_fd`, `battery_units` and the
// MIBs; start and stop write `started`; the main loop writes everything
// else.  A field that the loop reads and set-up writes is written only while
// the capability bit that gates it is still clear, and the bit is then set
// with release ordering: a loop that loads `flags` with acquire ordering and
// sees the bit also sees the field, and set-up never touches it again.  So no
// lock is needed and nothing races.
#ifndef POWER_POWER_STATE_H
#define POWER_POWER_STATE_H

#include <sys/types.h>
#include <sys/ioccom.h>
#include <dev/acpica/acpiio.h>

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#define PWR_FLAG_ACPIBATTERY 0x1u /* battery 0 answered and is present */
#define PWR_FLAG_RAPL 0x2u        /* all four RAPL names resolved */

#define PWR_RAPL_MIBLEN 4

struct fbsd_power_state {
	// Started instances; the loop samples while there is at least one.
	std::atomic<uint8_t> started;
	// PWR_FLAG_*; only ever set, with release ordering.
	std::atomic<uint32_t> flags;
	// The start callback wakes the idle loop through these, so that a
	// session is sampled from its start rather than after the idle sleep.
	std::mutex wake_lock;
	std::condition_variable wake;
	int32_t acpi_fd = -1; // "/dev/acpi", -1 while not open
	union acpi_battery_ioctl_arg battery_arg;

	int pp0_mib[PWR_RAPL_MIBLEN];
	size_t pp0_miblen;
	uint64_t pp0_energy;
	int pp1_mib[PWR_RAPL_MIBLEN];
	size_t pp1_miblen;
	uint64_t pp1_energy;
	int platform_mib[PWR_RAPL_MIBLEN];
	size_t platform_miblen;
	uint64_t platform_energy;
	int dram_mib[PWR_RAPL_MIBLEN];
	size_t dram_miblen;
	uint64_t dram_energy;

	uint64_t battery_capacity; // percent, sign-extended
	uint64_t battery_charge;   // uAh
	int64_t battery_current;   // the information reply's rate x 1000
	uint64_t battery_voltage;  // uV
	// ACPI_BIX_UNITS_* of the status reply's capacity, or ACPI_BATT_UNKNOWN.
	uint32_t battery_units = ACPI_BATT_UNKNOWN;
};

// The RAPL counters, in the order of every lookup, read and packet.
enum { PWR_RAPL_PP0, PWR_RAPL_PP1, PWR_RAPL_PLATFORM, PWR_RAPL_DRAM,
	PWR_RAPL_COUNTERS };

struct pwr_rapl_counter {
	const char *sysctl_name;
	const char *lookup_failure; // set-up, puts
	const char *read_failure;   // sampling, perror
};
extern const struct pwr_rapl_counter pwr_rapl_counters[PWR_RAPL_COUNTERS];

// The record's fields of one counter.
struct pwr_rapl_fields {
	int *mib;
	size_t *miblen;
	uint64_t *energy;
};
struct pwr_rapl_fields pwr_rapl_fields(struct fbsd_power_state *st,
                                       int counter);

#endif
