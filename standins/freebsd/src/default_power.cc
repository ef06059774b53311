// The simulated machine's power part: "/dev/acpi" with a discharging battery
// 0, and the four RAPL energy counters advancing with time.
#include "acpi_device.h"
#include "sim/kernel.h"
#include "sim/power.h"

void
sim_default_power(void)
{
	acpi_device_reset(true, true);
	// Counters well past 32 bits, as after some days of uptime.
	sim_rapl_set_advancing("pp0", 0x1234567890ull, 4000);
	sim_rapl_set_advancing("pp1", 0x0987654321ull, 300);
	sim_rapl_set_advancing("platform", 0x3456789abcull, 11000);
	sim_rapl_set_advancing("dram", 0x0456789abcull, 1500);
}

void
sim_clear_power(void)
{
	acpi_device_reset(false, false);
}
