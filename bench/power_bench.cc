// One power sampling pass (four rails and a battery packet, one instance)
// against the same packets written by a bare loop over the message writer
// from the values the pass left in the record.
#include <benchmark/benchmark.h>

#include "harness/capture.h"
#include "harness/tracing.h"
#include "perfetto/public/abi/data_source_abi.h"
#include "perfetto/public/pb_msg.h"
#include "power/power_callbacks.h"
#include "power/power_pass.h"
#include "power/power_read.h"
#include "power/power_state.h"
#include "runtime/packet.h"
#include "sim/kernel.h"

namespace {

struct fbsd_power_state st = {};
struct ds_registration reg = DS_REGISTRATION_INIT;

struct test_session *
start_session(void)
{
	static bool registered;
	capture_begin();
	if (!registered) {
		registered = true;
		sim_kernel_reset();
		tracing_init_in_process();
		fbsd_power_register(&reg, &st);
	}
	struct test_session *s = session_start("freebsd.power");
	capture_end();
	return s;
}

void
BM_power_pass(benchmark::State &bs)
{
	struct test_session *s = start_session();
	for (auto _ : bs) {
		fbsd_power_rapl_pass(&reg, &st);
		fbsd_power_battery_pass(&reg, &st);
	}
	bs.SetItemsProcessed((int64_t)bs.iterations());
	session_read_and_destroy(s);
}
BENCHMARK(BM_power_pass);

// Where a pass spends its time: the two reading routines alone (the
// kernel's calls, four sysctl reads and two battery requests).
void
BM_read_rapl(benchmark::State &bs)
{
	struct test_session *s = start_session();
	for (auto _ : bs)
		fbsd_power_read_rapl(&st);
	session_read_and_destroy(s);
}
BENCHMARK(BM_read_rapl);

void
BM_read_battery(benchmark::State &bs)
{
	struct test_session *s = start_session();
	for (auto _ : bs)
		fbsd_power_read_battery(&st, 0);
	session_read_and_destroy(s);
}
BENCHMARK(BM_read_battery);

const char RAIL_NAMES[4][9] = { "pp0", "pp1", "platform", "dram" };
const size_t RAIL_SIZES[4] = { 4, 4, 9, 5 };

void
bare_pass(void)
{
	const uint64_t energy[4] = { st.pp0_energy, st.pp1_energy,
	    st.platform_energy, st.dram_energy };
	struct PerfettoDsImplTracerIterator it;

	if (!ds_is_enabled(&reg))
		return;
	it = PerfettoDsImplTraceIterateBegin(reg.impl);
	while (it.tracer != nullptr) {
		for (int i = 0; i < 5; i++) {
			struct PerfettoPbMsgWriter w;
			struct PerfettoPbMsg packet, body, nested;

			w.writer = PerfettoDsTracerImplPacketBegin(it.tracer);
			PerfettoPbMsgInit(&packet, &w);
			PerfettoPbMsgAppendType0Field(&packet, 8, monotonic_ns());
			if (i < 4) {
				PerfettoPbMsgBeginNested(&packet, &body, 40);
				PerfettoPbMsgAppendType0Field(&body, 3, 1024);
				PerfettoPbMsgBeginNested(&body, &nested, 1);
				PerfettoPbMsgAppendType0Field(&nested, 1, (uint64_t)i);
				PerfettoPbMsgAppendType2Field(&nested, 2,
				    (const uint8_t *)RAIL_NAMES[i], RAIL_SIZES[i]);
				PerfettoPbMsgAppendType2Field(&nested, 3,
				    (const uint8_t *)"rapl", 5);
				PerfettoPbMsgAppendType0Field(&nested, 4, 1000);
				PerfettoPbMsgEndNested(&body);
				PerfettoPbMsgBeginNested(&body, &nested, 2);
				PerfettoPbMsgAppendType0Field(&nested, 1, (uint64_t)i);
				PerfettoPbMsgAppendType0Field(&nested, 2,
				    monotonic_ns() / 1000000);
				PerfettoPbMsgAppendType0Field(&nested, 3, energy[i]);
				PerfettoPbMsgEndNested(&body);
			} else {
				PerfettoPbMsgBeginNested(&packet, &body, 38);
				PerfettoPbMsgAppendType2Field(&body, 5,
				    (const uint8_t *)"acpi0", 6);
				PerfettoPbMsgAppendType0Field(&body, 1,
				    st.battery_charge);
				PerfettoPbMsgAppendType0Field(&body, 4,
				    (uint64_t)st.battery_current);
				PerfettoPbMsgAppendType0Field(&body, 3,
				    (uint64_t)st.battery_current);
				PerfettoPbMsgAppendFloatField(&body, 2,
				    (float)st.battery_capacity);
				PerfettoPbMsgAppendType0Field(&body, 7,
				    st.battery_voltage);
			}
			PerfettoPbMsgEndNested(&packet);
			PerfettoPbMsgFinalize(&packet);
			PerfettoDsTracerImplPacketEnd(it.tracer, &w.writer);
		}
		PerfettoDsImplTraceIterateNext(reg.impl, &it);
	}
}

void
BM_bare_packets(benchmark::State &bs)
{
	struct test_session *s = start_session();
	// One real pass, so that the record holds what a pass writes.
	fbsd_power_rapl_pass(&reg, &st);
	fbsd_power_battery_pass(&reg, &st);
	for (auto _ : bs)
		bare_pass();
	bs.SetItemsProcessed((int64_t)bs.iterations());
	session_read_and_destroy(s);
}
BENCHMARK(BM_bare_packets);

// The bare loop after the kernel reads a pass makes: what is left between
// this and the pass is the daemon's own cost.
void
BM_bare_packets_and_reads(benchmark::State &bs)
{
	struct test_session *s = start_session();
	for (auto _ : bs) {
		fbsd_power_read_rapl(&st);
		fbsd_power_read_battery(&st, 0);
		bare_pass();
	}
	bs.SetItemsProcessed((int64_t)bs.iterations());
	session_read_and_destroy(s);
}
BENCHMARK(BM_bare_packets_and_reads);

}  // namespace

BENCHMARK_MAIN();
