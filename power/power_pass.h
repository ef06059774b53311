// The two sampling passes of the main loop: power rails, then the battery.
// Each visits every active instance of the data source.
#ifndef POWER_POWER_PASS_H
#define POWER_POWER_PASS_H

#include "power/power_state.h"
#include "runtime/producer.h"

// TracePacket.power_rails: PowerRails.
enum {
	POWER_RAILS_RAIL_DESCRIPTOR = 1,
	POWER_RAILS_ENERGY_DATA = 2,
	POWER_RAILS_SESSION_UUID = 3,
};
// PowerRails.RailDescriptor.
enum {
	RAIL_DESCRIPTOR_INDEX = 1,
	RAIL_DESCRIPTOR_RAIL_NAME = 2,
	RAIL_DESCRIPTOR_SUBSYS_NAME = 3,
	RAIL_DESCRIPTOR_SAMPLING_RATE = 4,
};
// PowerRails.EnergyData.
enum {
	ENERGY_DATA_INDEX = 1,
	ENERGY_DATA_TIMESTAMP_MS = 2,
	ENERGY_DATA_ENERGY = 3,
};
// TracePacket.battery: BatteryCounters.
enum {
	BATTERY_CHARGE_COUNTER_UAH = 1,
	BATTERY_CAPACITY_PERCENT = 2,
	BATTERY_CURRENT_UA = 3,
	BATTERY_CURRENT_AVG_UA = 4,
	BATTERY_NAME = 5,
	BATTERY_VOLTAGE_UV = 7,
};

void fbsd_power_rapl_pass(const struct ds_registration *reg,
                          struct fbsd_power_state *st);
void fbsd_power_battery_pass(const struct ds_registration *reg,
                             struct fbsd_power_state *st);

#endif
