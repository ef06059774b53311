// Reading the battery and the RAPL counters into the state record (main
// thread only).
#ifndef POWER_POWER_READ_H
#define POWER_POWER_READ_H

#include <stdint.h>

#include "power/power_state.h"

// 1 when the information request succeeded, 0 when it failed.
int32_t fbsd_power_read_battery(struct fbsd_power_state *st, uint32_t unit);
void fbsd_power_read_rapl(struct fbsd_power_state *st);

// Charge (uAh) and voltage (uV) from a status reply whose capacity is in
// `units`; a value the battery reports as unknown leaves its field as it was.
void fbsd_power_battery_from_status(struct fbsd_power_state *st,
                                    const struct acpi_bst *bst,
                                    uint32_t units);

#endif
