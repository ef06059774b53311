// The sampling passes: power rails, then the battery, per active instance.
#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <gtest/gtest.h>

#include "power/power_read.h"
#include "power_fixture.h"
#include "power/device_io.h"
#include "runtime/packet.h"
#include "sim/kernel.h"
#include "sim/power.h"

namespace {

const char *const domains[4] = {"pp0", "pp1", "platform", "dram"};
const std::string rail_names[4] = {
	std::string("pp0\0", 4), std::string("pp1\0", 4),
	std::string("platform\0", 9), std::string("dram\0", 5),
};

void
set_counters(const uint64_t values[4])
{
	for (int i = 0; i < 4; i++)
		sim_rapl_set(domains[i], values[i]);
}

// A battery that reports in mAh: 4 Ah left at 12 V, drawing 1.5 A.
struct sim_battery
ma_battery(int cap, int rate)
{
	struct sim_battery b = sim_battery_default();
	b.units = ACPI_BIX_UNITS_MA;
	b.bst = {ACPI_BATT_STAT_DISCHARG, 1500, 4000, 12000};
	b.info = {cap, 160, ACPI_BATT_STAT_DISCHARG, rate};
	return b;
}

std::string
float_bytes(float f)
{
	std::string out(4, '\0');
	memcpy(&out[0], &f, 4); // little-endian host, as on the wire
	return out;
}

uint64_t
packet_timestamp(const std::string &raw)
{
	perfetto::protos::TracePacket p;
	p.ParseFromString(raw);
	return p.timestamp();
}

} // namespace

TEST(PowerPass, OnePassOneSession)
{
	const uint64_t energy[4] = {0x123456789abcull, 7, 1ull << 40, 0};
	set_counters(energy);
	struct sim_battery b = ma_battery(80, -1500);
	sim_acpi_set_battery(&b);
	power_daemon_start();
	struct test_session *s = quiet_session();
	uint64_t before = monotonic_ns();
	EXPECT_EQ(power_loop_turn(), 1000u);
	std::string trace = session_read_and_destroy(s);

	std::vector<std::string> rails = producer_packets_raw(trace,
	    TRACE_PACKET_POWER_RAILS);
	ASSERT_EQ(rails.size(), 4u);
	uint64_t last_ts = before;
	for (int i = 0; i < 4; i++) {
		SCOPED_TRACE(domains[i]);
		EXPECT_EQ(field_ids(producer_bytes(rails[i])),
		    (std::vector<uint32_t>{8, 40}));
		perfetto::protos::TracePacket p;
		ASSERT_TRUE(p.ParseFromString(rails[i]));
		EXPECT_GE(p.timestamp(), last_ts);
		last_ts = p.timestamp();

		const perfetto::protos::PowerRails &pr = p.power_rails();
		EXPECT_EQ(pr.session_uuid(), 1024u);
		ASSERT_EQ(pr.rail_descriptor_size(), 1);
		ASSERT_EQ(pr.energy_data_size(), 1);
		const auto &d = pr.rail_descriptor(0);
		EXPECT_EQ(d.index(), (uint32_t)i);
		EXPECT_EQ(d.rail_name(), rail_names[i]);
		EXPECT_EQ(d.subsys_name(), std::string("rapl\0", 5));
		EXPECT_EQ(d.sampling_rate(), 1000u);
		const auto &e = pr.energy_data(0);
		EXPECT_EQ(e.index(), (uint32_t)i);
		EXPECT_EQ(e.energy(), energy[i]);
		EXPECT_GE(e.timestamp_ms(), p.timestamp() / 1000000);
		EXPECT_LE(e.timestamp_ms(), monotonic_ns() / 1000000);

		// On the wire: session_uuid first (18 80 08), then the
		// descriptor, then the sample; every index written, 0 too.
		std::string payload = payload_bytes(rails[i], 40);
		EXPECT_EQ(payload.substr(0, 3), "\x18\x80\x08");
		std::vector<wire_field> f = wire_fields(payload);
		ASSERT_EQ(f.size(), 3u);
		EXPECT_EQ(field_ids(payload), (std::vector<uint32_t>{3, 1, 2}));
		EXPECT_EQ(field_ids(f[1].bytes),
		    (std::vector<uint32_t>{1, 2, 3, 4}));
		EXPECT_EQ(field_ids(f[2].bytes), (std::vector<uint32_t>{1, 2, 3}));
		EXPECT_EQ(f[1].bytes.substr(0, 2), std::string("\x08", 1) +
		    (char)i);
		EXPECT_EQ(f[2].bytes.substr(0, 2), std::string("\x08", 1) +
		    (char)i);
		EXPECT_EQ(f[1].bytes.substr(2), "\x12" +
		    std::string(1, (char)rail_names[i].size()) + rail_names[i] +
		    std::string("\x1a\x05rapl\0\x20\xe8\x07", 10));
	}

	std::vector<std::string> batteries = producer_packets_raw(trace,
	    TRACE_PACKET_BATTERY);
	ASSERT_EQ(batteries.size(), 1u);
	EXPECT_EQ(field_ids(producer_bytes(batteries[0])),
	    (std::vector<uint32_t>{8, 38}));
	EXPECT_GE(packet_timestamp(batteries[0]), last_ts);
	perfetto::protos::TracePacket p;
	ASSERT_TRUE(p.ParseFromString(batteries[0]));
	const perfetto::protos::BatteryCounters &bc = p.battery();
	EXPECT_EQ(bc.name(), std::string("acpi0\0", 6));
	EXPECT_EQ(bc.charge_counter_uah(), 4000000); // 4000 mAh
	EXPECT_EQ(bc.current_avg_ua(), -1500000);
	EXPECT_EQ(bc.current_ua(), -1500000);
	EXPECT_EQ(bc.capacity_percent(), 80.0f);
	EXPECT_EQ(bc.voltage_uv(), 12000000); // 12000 mV

	// Byte for byte: name, 1, 4, 3, 2, 7; the negative current as a
	// 10-byte varint.
	std::string current = varint((uint64_t)(int64_t)-1500000);
	ASSERT_EQ(current.size(), 10u);
	EXPECT_EQ(payload_bytes(batteries[0], 38),
	    std::string("\x2a\x06" "acpi0\0", 8) +
	    "\x08" + varint(4000000) + "\x20" + current + "\x18" + current +
	    "\x15" + float_bytes(80.0f) + "\x38" + varint(12000000));
}

// A failed counter read leaves the counters after it at their last values
// (0 if never read) and the four packets go out all the same.
TEST(PowerPass, RaplReadFailureKeepsLaterCountersStale)
{
	const uint64_t e0[4] = {100, 200, 300, 400};
	const uint64_t e1[4] = {110, 210, 310, 410};
	const uint64_t e2[4] = {120, 220, 320, 420};
	const struct {
		const uint64_t *values;
		const char *failing;
		int err;
		const char *perror_line;
		uint64_t expect[4];
	} passes[] = {
		{e0, "platform", ENOENT,
		    "ERROR: sysctl platform: No such file or directory\n",
		    {100, 200, 0, 0}},
		{e1, nullptr, 0, "", {110, 210, 310, 410}},
		{e2, "pp1", EIO, "ERROR: sysctl pp1: Input/output error\n",
		    {120, 210, 310, 410}},
	};

	power_daemon_start();
	struct test_session *s = quiet_session();
	for (const auto &pass : passes) {
		set_counters(pass.values);
		if (pass.failing)
			sim_rapl_fail(pass.failing, pass.err);
		capture_begin();
		power_loop_turn();
		captured_output out = capture_end();
		EXPECT_EQ(out.err, pass.perror_line);
		if (pass.failing)
			sim_rapl_fail(pass.failing, 0);
	}
	auto rails = rail_packets(session_read_and_destroy(s));
	ASSERT_EQ(rails.size(), 12u);
	for (size_t i = 0; i < 12; i++)
		EXPECT_EQ(rails[i].power_rails().energy_data(0).energy(),
		    passes[i / 4].expect[i % 4]) << "packet " << i;
}

// What each battery read leaves in its packet: a failed read (before and
// after a good one) and replies with 0 and unknown (-1) capacity.
TEST(PowerPass, BatteryPacketAfterEachKindOfRead)
{
	const struct {
		const char *what;
		int fail;     // errno of the information request, or 0
		int cap;
		const char *out;
		std::vector<uint32_t> fields;
		float capacity;
		int64_t voltage;
	} reads[] = {
		{"failed, none good before", EIO, 80,
		    "get battery info (0) failed", {5, 2, 7}, 0.0f, 0},
		{"good", 0, 80, "", {5, 1, 4, 3, 2, 7}, 80.0f, 12000000},
		{"failed after a good one", EIO, 50,
		    "get battery info (0) failed", {5, 2, 7}, 80.0f, 12000000},
		{"zero percent", 0, 0, "", {5, 2, 7}, 0.0f, 12000000},
		{"unknown capacity", 0, -1, "", {5, 1, 4, 3, 7}, 0.0f, 12000000},
	};

	power_daemon_start();
	struct test_session *s = quiet_session();
	for (const auto &r : reads) {
		struct sim_battery b = ma_battery(r.cap, 900);
		sim_acpi_set_battery(&b);
		sim_acpi_fail(ACPIIO_BATT_GET_BATTINFO, r.fail);
		capture_begin();
		power_loop_turn();
		EXPECT_EQ(capture_end().out, r.out) << r.what;
		if (r.fail) {
			EXPECT_EQ(power_state.battery_arg.unit, 0) << r.what;
		}
	}
	std::string trace = session_read_and_destroy(s);
	std::vector<std::string> raw = producer_packets_raw(trace,
	    TRACE_PACKET_BATTERY);
	ASSERT_EQ(raw.size(), std::size(reads));
	for (size_t i = 0; i < raw.size(); i++) {
		SCOPED_TRACE(reads[i].what);
		std::string payload = payload_bytes(raw[i], 38);
		EXPECT_EQ(field_ids(payload), reads[i].fields);
		perfetto::protos::BatteryCounters bc;
		ASSERT_TRUE(bc.ParseFromString(payload));
		EXPECT_EQ(bc.capacity_percent(), reads[i].capacity);
		EXPECT_EQ(bc.voltage_uv(), reads[i].voltage);
	}
}

// The battery read: the information reply decides the result and stays in
// battery_arg; the status reply, asked for beside it, gives charge and
// voltage.
TEST(PowerRead, BatteryReadTakesInformationAndStatus)
{
	struct fbsd_power_state st = {};
	st.acpi_fd = device_open("/dev/acpi", O_RDONLY);
	ASSERT_NE(st.acpi_fd, -1);
	st.battery_units = ACPI_BIX_UNITS_MA;
	struct sim_battery b = ma_battery(64, 700);
	sim_acpi_set_battery(&b);

	ASSERT_EQ(fbsd_power_read_battery(&st, 0), 1);
	EXPECT_EQ(memcmp(&st.battery_arg.battinfo, &b.info, sizeof b.info), 0);
	EXPECT_EQ(st.battery_capacity, 64u);
	EXPECT_EQ(st.battery_current, 700000);
	EXPECT_EQ(st.battery_charge, 4000000u);
	EXPECT_EQ(st.battery_voltage, 12000000u);

	// Without a status reply the read still succeeds; charge and voltage
	// keep their values.
	b.info.cap = 63;
	b.bst.cap = 3000;
	b.bst.volt = 11000;
	sim_acpi_set_battery(&b);
	sim_acpi_fail(ACPIIO_BATT_GET_BST, EIO);
	ASSERT_EQ(fbsd_power_read_battery(&st, 0), 1);
	EXPECT_EQ(st.battery_capacity, 63u);
	EXPECT_EQ(st.battery_charge, 4000000u);
	EXPECT_EQ(st.battery_voltage, 12000000u);
	sim_acpi_fail(ACPIIO_BATT_GET_BST, 0);

	// A unit past 64 is said to be invalid and still asked for.
	capture_begin();
	EXPECT_EQ(fbsd_power_read_battery(&st, 65), 0);
	EXPECT_EQ(capture_end().out,
	    "invalid battery 65get battery info (65) failed");
	EXPECT_EQ(st.battery_arg.unit, 65);
	EXPECT_EQ(st.battery_capacity, 63u);
	device_close(st.acpi_fd);
}

// Charge in uAh and voltage in uV from a status reply: mAh directly, mWh
// through the present voltage; an unknown value leaves its field alone.
TEST(PowerRead, ChargeAndVoltageFromStatus)
{
	const uint32_t U = ACPI_BATT_UNKNOWN;
	const struct {
		uint32_t units;
		struct acpi_bst bst;
		uint64_t charge, voltage; // 111 and 222 before
	} cases[] = {
		{ACPI_BIX_UNITS_MA, {1, 1500, 4000, 12000}, 4000000, 12000000},
		{ACPI_BIX_UNITS_MW, {1, 9500, 39000, 11800}, 3305084, 11800000},
		{ACPI_BIX_UNITS_MW, {1, 9500, 39000, U}, 111, 222},
		{ACPI_BIX_UNITS_MW, {1, 9500, 39000, 0}, 111, 0},
		{ACPI_BIX_UNITS_MA, {1, 1500, U, 12000}, 111, 12000000},
		{U, {1, 1500, 4000, 12000}, 111, 12000000},
		{ACPI_BIX_UNITS_MA, {ACPI_BATT_STAT_NOT_PRESENT, U, U, U}, 111, 222},
		{ACPI_BIX_UNITS_MA, {2, 0, 0xfffffffe, 20000},
		    0xfffffffeull * 1000, 20000000},
	};
	for (const auto &c : cases) {
		struct fbsd_power_state st = {};
		st.battery_charge = 111;
		st.battery_voltage = 222;
		fbsd_power_battery_from_status(&st, &c.bst, c.units);
		EXPECT_EQ(st.battery_charge, c.charge) << c.bst.cap << " " << c.bst.volt;
		EXPECT_EQ(st.battery_voltage, c.voltage) << c.bst.cap << " " << c.bst.volt;
	}
}
