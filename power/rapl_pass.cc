// The RAPL pass: per instance, one read of the four energy counters and one
// PowerRails packet per rail, each carrying its descriptor again.
#include "power/power_pass.h"

#include "power/power_read.h"
#include "runtime/packet.h"

// The names go out with their terminating NUL inside the field.
static const char RAIL_PP0[] = "pp0";
static const char RAIL_PP1[] = "pp1";
static const char RAIL_PLATFORM[] = "platform";
static const char RAIL_DRAM[] = "dram";
static const char RAIL_SUBSYS[] = "rapl";

static const struct {
	const char *name;
	size_t size;
} rails[PWR_RAPL_COUNTERS] = {
	{RAIL_PP0, sizeof RAIL_PP0},
	{RAIL_PP1, sizeof RAIL_PP1},
	{RAIL_PLATFORM, sizeof RAIL_PLATFORM},
	{RAIL_DRAM, sizeof RAIL_DRAM},
};

static const uint64_t RAIL_SESSION_UUID = 1024;
static const uint64_t RAIL_SAMPLING_RATE_HZ = 1000;

struct rail_packet {
	int rail;
	uint64_t energy;
};

static void
write_rail(struct PerfettoPbMsg *msg, void *arg)
{
	const struct rail_packet *p = (const struct rail_packet *)arg;
	struct PerfettoPbMsg descriptor;
	struct PerfettoPbMsg energy;

	PerfettoPbMsgAppendType0Field(msg, POWER_RAILS_SESSION_UUID,
	    RAIL_SESSION_UUID);

	PerfettoPbMsgBeginNested(msg, &descriptor, POWER_RAILS_RAIL_DESCRIPTOR);
	PerfettoPbMsgAppendType0Field(&descriptor, RAIL_DESCRIPTOR_INDEX,
	    (uint64_t)p->rail);
	PerfettoPbMsgAppendType2Field(&descriptor, RAIL_DESCRIPTOR_RAIL_NAME,
	    (const uint8_t *)rails[p->rail].name, rails[p->rail].size);
	PerfettoPbMsgAppendType2Field(&descriptor, RAIL_DESCRIPTOR_SUBSYS_NAME,
	    (const uint8_t *)RAIL_SUBSYS, sizeof RAIL_SUBSYS);
	PerfettoPbMsgAppendType0Field(&descriptor, RAIL_DESCRIPTOR_SAMPLING_RATE,
	    RAIL_SAMPLING_RATE_HZ);
	PerfettoPbMsgEndNested(msg);

	PerfettoPbMsgBeginNested(msg, &energy, POWER_RAILS_ENERGY_DATA);
	PerfettoPbMsgAppendType0Field(&energy, ENERGY_DATA_INDEX,
	    (uint64_t)p->rail);
	PerfettoPbMsgAppendType0Field(&energy, ENERGY_DATA_TIMESTAMP_MS,
	    monotonic_ns() / 1000000);
	PerfettoPbMsgAppendType0Field(&energy, ENERGY_DATA_ENERGY, p->energy);
	PerfettoPbMsgEndNested(msg);
}

static void
rapl_instance(struct PerfettoDsTracerImpl *tracer, void *arg)
{
	struct fbsd_power_state *st = (struct fbsd_power_state *)arg;

	if ((st->flags.load(std::memory_order_acquire) & PWR_FLAG_RAPL) == 0)
		return;
	// A failed read has said so; the rails it did not reach go out with
	// their previous values.
	fbsd_power_read_rapl(st);
	for (int i = 0; i < PWR_RAPL_COUNTERS; i++) {
		struct rail_packet p = {i, *pwr_rapl_fields(st, i).energy};

		packet_frame(tracer, TRACE_PACKET_POWER_RAILS, write_rail, &p);
	}
}

void
fbsd_power_rapl_pass(const struct ds_registration *reg,
                     struct fbsd_power_state *st)
{
	if (!ds_is_enabled(reg))
		return;
	for_each_instance(reg, rapl_instance, st);
}
