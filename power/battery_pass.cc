// The battery pass: per instance, one battery read and one BatteryCounters
// packet with what it left in the record.
#include "power/power_pass.h"

#include "power/power_read.h"
#include "runtime/packet.h"

// Sent with its terminating NUL inside the field.
static const char BATTERY_NAME_ACPI0[] = "acpi0";

static void
write_battery(struct PerfettoPbMsg *msg, void *arg)
{
	const struct fbsd_power_state *st =
	    (const struct fbsd_power_state *)arg;

	PerfettoPbMsgAppendType2Field(msg, BATTERY_NAME,
	    (const uint8_t *)BATTERY_NAME_ACPI0, sizeof BATTERY_NAME_ACPI0);
	// The first word holds the reply's capacity after a good read, the
	// unit (0) after a failed one.
	if (st->battery_arg.unit != 0) {
		PerfettoPbMsgAppendType0Field(msg, BATTERY_CHARGE_COUNTER_UAH,
		    st->battery_charge);
		PerfettoPbMsgAppendType0Field(msg, BATTERY_CURRENT_AVG_UA,
		    (uint64_t)st->battery_current);
		PerfettoPbMsgAppendType0Field(msg, BATTERY_CURRENT_UA,
		    (uint64_t)st->battery_current);
	}
	// ACPI says -1 for a capacity it does not know: no percentage then.
	if ((int64_t)st->battery_capacity >= 0)
		PerfettoPbMsgAppendFloatField(msg, BATTERY_CAPACITY_PERCENT,
		    (float)st->battery_capacity);
	PerfettoPbMsgAppendType0Field(msg, BATTERY_VOLTAGE_UV,
	    st->battery_voltage);
}

static void
battery_instance(struct PerfettoDsTracerImpl *tracer, void *arg)
{
	struct fbsd_power_state *st = (struct fbsd_power_state *)arg;

	if ((st->flags.load(std::memory_order_acquire) &
	    PWR_FLAG_ACPIBATTERY) == 0)
		return;
	// A failed read has said so; the packet then shows the last good
	// values.
	(void)fbsd_power_read_battery(st, 0);
	packet_frame(tracer, TRACE_PACKET_BATTERY, write_battery, st);
}

void
fbsd_power_battery_pass(const struct ds_registration *reg,
                        struct fbsd_power_state *st)
{
	if (!ds_is_enabled(reg))
		return;
	for_each_instance(reg, battery_instance, st);
}
