#include "power_fixture.h"

#include <gtest/gtest.h>

#include "runtime/packet.h"

struct fbsd_power_state power_state = {};
struct ds_registration power_ds = DS_REGISTRATION_INIT;

void
power_daemon_start(void)
{
	tracing_init_in_process();
	fbsd_power_register(&power_ds, &power_state);
}

struct test_session *
power_session_start(std::string *out)
{
	if (out == nullptr)
		return session_start("freebsd.power");
	capture_begin();
	struct test_session *s = session_start("freebsd.power");
	*out = capture_end().out;
	return s;
}

struct test_session *
quiet_session(void)
{
	std::string ignored;
	return power_session_start(&ignored);
}

static unsigned slept_us;

static void
record_sleep(struct fbsd_power_state *, unsigned int usec, bool)
{
	slept_us = usec;
}

unsigned
power_loop_turn(void)
{
	slept_us = 0;
	fbsd_power_loop_iteration(&power_ds, &power_state, record_sleep);
	return slept_us;
}

std::vector<perfetto::protos::TracePacket>
rail_packets(const std::string &t)
{
	return producer_packets(t, TRACE_PACKET_POWER_RAILS);
}

std::vector<perfetto::protos::TracePacket>
battery_packets(const std::string &t)
{
	return producer_packets(t, TRACE_PACKET_BATTERY);
}

std::string
payload_bytes(const std::string &raw_packet, uint32_t field)
{
	for (const wire_field &f : wire_fields(producer_bytes(raw_packet)))
		if (f.id == field && f.wire_type == 2)
			return f.bytes;
	ADD_FAILURE() << "no field " << field;
	return {};
}

std::string
varint(uint64_t v)
{
	std::string out;
	do {
		uint8_t b = v & 0x7f;
		v >>= 7;
		out.push_back((char)(v ? b | 0x80 : b));
	} while (v);
	return out;
}
