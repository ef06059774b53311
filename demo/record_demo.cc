// Records a short trace from the three daemons at once, running against the
// simulated machine and the SDK's in-process tracing service: what a system
// trace would get from them on FreeBSD.
//   record_demo [FILE [MILLISECONDS]]
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "dtrace/consumer.h"
#include "perfetto/public/abi/pb_decoder_abi.h"
#include "perfetto/public/abi/producer_abi.h"
#include "perfetto/public/abi/tracing_session_abi.h"
#include "perfetto/public/pb_utils.h"
#include "power/power_callbacks.h"
#include "power/power_loop.h"
#include "sysstats/sysstats.h"

static struct fbsd_power_state power_state;
static struct ds_registration power_ds = DS_REGISTRATION_INIT;
static struct dtrace_consumer_state dtrace_state;

static void
put_varint(std::string *out, uint64_t v)
{
	uint8_t buf[PERFETTO_PB_VARINT_MAX_SIZE_64];
	uint8_t *end = PerfettoPbWriteVarInt(v, buf);
	out->append((const char *)buf, (size_t)(end - buf));
}

static std::string
field(uint32_t id, const std::string &payload)
{
	std::string out;
	put_varint(&out, PerfettoPbMakeTag((int32_t)id,
	    PERFETTO_PB_WIRE_TYPE_DELIMITED));
	put_varint(&out, payload.size());
	return out + payload;
}

static std::string
trace_config(void)
{
	std::string size;
	put_varint(&size, PerfettoPbMakeTag(1, PERFETTO_PB_WIRE_TYPE_VARINT));
	put_varint(&size, 64 * 1024);  // size_kb
	std::string dtrace = field(1, "vm_fault") + field(1, "malloc") +
	    field(1, "sched_switch") + field(2, "amd64_syscall:4");
	return field(1, size) +
	    field(2, field(1, field(1, SYSSTATS_DATA_SOURCE))) +
	    field(2, field(1, field(1, "freebsd.power"))) +
	    field(2, field(1, field(1, "dtrace") + field(143, dtrace)));
}

static void
append_piece(struct PerfettoTracingSessionImpl *, const void *data,
             size_t size, bool, void *arg)
{
	((std::string *)arg)->append((const char *)data, size);
}

static void
idle_sleep(unsigned int usec)
{
	usleep(usec);
}

// Packets in the trace by payload field.
static void
summarise(const std::string &trace)
{
	struct { uint32_t field; const char *name; unsigned n; } kinds[] = {
		{7, "sys_stats", 0}, {40, "power_rails", 0}, {38, "battery", 0},
		{11, "track_event", 0},
	};
	struct PerfettoPbDecoder d = {(const uint8_t *)trace.data(),
	    (const uint8_t *)trace.data() + trace.size()};
	for (;;) {
		struct PerfettoPbDecoderField p = PerfettoPbDecoderParseField(&d);
		if (p.status != PERFETTO_PB_DECODER_OK)
			break;
		struct PerfettoPbDecoder q = {p.value.delimited.start,
		    p.value.delimited.start + p.value.delimited.len};
		for (;;) {
			struct PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&q);
			if (f.status != PERFETTO_PB_DECODER_OK)
				break;
			for (auto &k : kinds)
				if (f.id == k.field && f.wire_type == 2)
					k.n++;
		}
	}
	for (const auto &k : kinds)
		printf("%-12s %u packets\n", k.name, k.n);
}

int
main(int argc, char **argv)
{
	const char *path = argc > 1 ? argv[1] : "demo.pftrace";
	int ms = argc > 2 ? atoi(argv[2]) : 1000;

	setvbuf(stdout, NULL, _IOLBF, 0);
	struct PerfettoProducerBackendInitArgs *args =
	    PerfettoProducerBackendInitArgsCreate();
	PerfettoProducerInProcessInit(args);
	PerfettoProducerBackendInitArgsDestroy(args);

	// Each daemon's own start-up, as its main runs it.
	sysstats_start();
	start_producer();
	fbsd_power_register(&power_ds, &power_state);
	kfunc_start(&dtrace_state);

	std::string cfg = trace_config();
	struct PerfettoTracingSessionImpl *s =
	    PerfettoTracingSessionInProcessCreate();
	PerfettoTracingSessionSetup(s, cfg.data(), cfg.size());
	PerfettoTracingSessionStartBlocking(s);

	// Each daemon's loop, on a thread of its own as if in its own process.
	std::thread(sysstats_run).detach();
	std::thread([] { fbsd_power_main_loop(&power_ds, &power_state); }).detach();
	std::thread([] {
		for (;;)
			dtrace_consumer_pass(&dtrace_state, idle_sleep);
	}).detach();

	usleep((useconds_t)ms * 1000);
	PerfettoTracingSessionStopBlocking(s);
	std::string trace;
	PerfettoTracingSessionReadTraceBlocking(s, append_piece, &trace);

	FILE *f = fopen(path, "wb");
	if (f == NULL || fwrite(trace.data(), 1, trace.size(), f) != trace.size() ||
	    fclose(f) != 0) {
		perror(path);
		_exit(1);
	}
	printf("wrote %zu bytes to %s\n", trace.size(), path);
	summarise(trace);
	fflush(stdout);
	// The loops never end; leave without running exit handlers under them.
	_exit(0);
}
