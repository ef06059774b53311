// The frame every trace packet goes through: enabled test, instance walk,
// one timestamped TracePacket with one payload field.
#ifndef RUNTIME_PACKET_H
#define RUNTIME_PACKET_H

#include <stdint.h>

#include "perfetto/public/abi/data_source_abi.h"
#include "perfetto/public/pb_msg.h"
#include "runtime/producer.h"

// TracePacket fields written by the daemons.
enum {
	TRACE_PACKET_TIMESTAMP = 8,
	TRACE_PACKET_SYS_STATS = 7,
	TRACE_PACKET_TRACK_EVENT = 11,
	TRACE_PACKET_BATTERY = 38,
	TRACE_PACKET_POWER_RAILS = 40,
};

typedef void (*instance_body_fn)(struct PerfettoDsTracerImpl *tracer,
                                 void *arg);
typedef void (*msg_writer_fn)(struct PerfettoPbMsg *msg, void *arg);

bool ds_is_enabled(const struct ds_registration *reg);
void for_each_instance(const struct ds_registration *reg, instance_body_fn body,
                       void *arg);
// `root`, when given, runs on the TracePacket after the timestamp and before
// the payload field is opened.
void packet_frame(struct PerfettoDsTracerImpl *tracer, int32_t payload_field,
                  msg_writer_fn payload, void *payload_arg,
                  msg_writer_fn root = nullptr, void *root_arg = nullptr);
uint64_t monotonic_ns(void);

#endif
