// The SDK's message writer: a SysStats-sized message of nested entries
// written field by field, against memcpy of the same bytes; and a whole
// packet through the SDK into an in-process session.  The same program
// built against the other SDK gives the comparison between the two.
#include <benchmark/benchmark.h>

#include <string.h>

#include <string>

#include "harness/tracing.h"
#include "perfetto/public/abi/data_source_abi.h"
#include "perfetto/public/pb_msg.h"
#include "runtime/packet.h"
#include "runtime/producer.h"

namespace {

uint8_t flat[1 << 16];

// 64 CpuTimes entries and 64 named idle entries: about 3 KiB.
void
write_message(struct PerfettoPbMsg *msg)
{
	struct PerfettoPbMsg nested, entry;

	for (uint64_t cpu = 0; cpu < 64; cpu++) {
		PerfettoPbMsgBeginNested(msg, &nested, 3);
		PerfettoPbMsgAppendType0Field(&nested, 1, cpu);
		PerfettoPbMsgAppendType0Field(&nested, 2, 781250000ull + cpu);
		PerfettoPbMsgAppendType0Field(&nested, 3, 7812500ull);
		PerfettoPbMsgAppendType0Field(&nested, 4, 39062500ull * cpu);
		PerfettoPbMsgAppendType0Field(&nested, 5, 62500000ull);
		PerfettoPbMsgAppendType0Field(&nested, 7, 0);
		PerfettoPbMsgEndNested(msg);
	}
	for (uint64_t cpu = 0; cpu < 64; cpu++) {
		PerfettoPbMsgBeginNested(msg, &nested, 16);
		PerfettoPbMsgAppendType0Field(&nested, 1, cpu);
		PerfettoPbMsgBeginNested(&nested, &entry, 2);
		PerfettoPbMsgAppendType2Field(&entry, 1, (const uint8_t *)"C2", 2);
		PerfettoPbMsgAppendType0Field(&entry, 2, 4000000 + cpu);
		PerfettoPbMsgEndNested(&nested);
		PerfettoPbMsgEndNested(msg);
	}
}

void
flat_writer(struct PerfettoPbMsgWriter *w)
{
	w->writer.impl = nullptr;
	w->writer.begin = w->writer.write_ptr = flat;
	w->writer.end = flat + sizeof flat;
	w->writer.written_previously = 0;
}

size_t
message_size(void)
{
	struct PerfettoPbMsgWriter w;
	struct PerfettoPbMsg msg;
	flat_writer(&w);
	PerfettoPbMsgInit(&msg, &w);
	write_message(&msg);
	return (size_t)(w.writer.write_ptr - flat);
}

void
BM_writer_flat(benchmark::State &bs)
{
	struct PerfettoPbMsgWriter w;
	struct PerfettoPbMsg msg;
	size_t size = message_size();
	for (auto _ : bs) {
		flat_writer(&w);
		PerfettoPbMsgInit(&msg, &w);
		write_message(&msg);
		benchmark::DoNotOptimize(w.writer.write_ptr);
		benchmark::ClobberMemory();
	}
	bs.SetBytesProcessed((int64_t)(bs.iterations() * size));
}
BENCHMARK(BM_writer_flat);

void
BM_memcpy_flat(benchmark::State &bs)
{
	size_t size = message_size();
	std::string bytes((const char *)flat, size);
	static uint8_t dst[1 << 16];
	for (auto _ : bs) {
		memcpy(dst, bytes.data(), size);
		benchmark::DoNotOptimize(dst);
		benchmark::ClobberMemory();
	}
	bs.SetBytesProcessed((int64_t)(bs.iterations() * size));
}
BENCHMARK(BM_memcpy_flat);

struct ds_registration reg = DS_REGISTRATION_INIT;

void
write_payload(struct PerfettoPbMsg *msg, void *)
{
	write_message(msg);
}

void
write_instance(struct PerfettoDsTracerImpl *tracer, void *)
{
	packet_frame(tracer, TRACE_PACKET_SYS_STATS, write_payload, nullptr);
}

// The same message as one packet, chunks and commit included.
void
BM_packet_write(benchmark::State &bs)
{
	static bool registered;
	if (!registered) {
		registered = true;
		tracing_init_in_process();
		register_data_source(&reg, "bench.writer", nullptr);
	}
	size_t size = message_size();
	struct test_session *s = session_start("bench.writer");
	for (auto _ : bs)
		if (ds_is_enabled(&reg))
			for_each_instance(&reg, write_instance, nullptr);
	bs.SetBytesProcessed((int64_t)(bs.iterations() * size));
	session_read_and_destroy(s);
}
BENCHMARK(BM_packet_write);

}  // namespace

BENCHMARK_MAIN();
