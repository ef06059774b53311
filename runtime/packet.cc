// The packet frame: every packet is a timestamped TracePacket with one
// payload field, written in place into the SDK's buffers.
#include "runtime/packet.h"

#include <time.h>

bool
ds_is_enabled(const struct ds_registration *reg)
{
	// The SDK's flag is an atomic boolean; read it afresh every time.
	return PERFETTO_ATOMIC_LOAD_EXPLICIT(reg->enabled,
	    PERFETTO_MEMORY_ORDER_RELAXED);
}

void
for_each_instance(const struct ds_registration *reg, instance_body_fn body,
                  void *arg)
{
	struct PerfettoDsImplTracerIterator it;

	it = PerfettoDsImplTraceIterateBegin(reg->impl);
	while (it.tracer != nullptr) {
		body(it.tracer, arg);
		PerfettoDsImplTraceIterateNext(reg->impl, &it);
	}
}

void
packet_frame(struct PerfettoDsTracerImpl *tracer, int32_t payload_field,
             msg_writer_fn payload, void *payload_arg, msg_writer_fn root,
             void *root_arg)
{
	struct PerfettoPbMsgWriter writer;
	struct PerfettoPbMsg packet;
	struct PerfettoPbMsg body;

	writer.writer = PerfettoDsTracerImplPacketBegin(tracer);
	PerfettoPbMsgInit(&packet, &writer);
	PerfettoPbMsgAppendType0Field(&packet, TRACE_PACKET_TIMESTAMP,
	    monotonic_ns());
	if (root != nullptr)
		root(&packet, root_arg);
	PerfettoPbMsgBeginNested(&packet, &body, payload_field);
	payload(&body, payload_arg);
	PerfettoPbMsgEndNested(&packet);
	PerfettoPbMsgFinalize(&packet);
	PerfettoDsTracerImplPacketEnd(tracer, &writer.writer);
}

uint64_t
monotonic_ns(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}
