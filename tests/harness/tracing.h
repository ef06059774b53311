// In-process tracing sessions for tests: start a session that enables one
// data source, stop it, read the trace back and decode it with protobuf.
#ifndef TESTS_HARNESS_TRACING_H
#define TESTS_HARNESS_TRACING_H

#include <stdint.h>

#include <string>
#include <vector>

#include "perfetto_subset.pb.h"

// Starts the SDK's in-process tracing service.  Idempotent; call it before
// the daemon's start-up so that its data source is served in process.
void tracing_init_in_process(void);

// Registers placeholder data sources until the SDK refuses one; returns
// how many it took.  Every later registration in the process fails.
unsigned exhaust_data_source_registrations(void);

struct test_session;

// Starts a session (blocking: setup and start callbacks have run on return)
// whose trace config enables `ds_name`.  `ds_config_extra` is appended to the
// DataSourceConfig after its name (e.g. a serialized field 143).
struct test_session *session_start(const char *ds_name,
                                   const std::string &ds_config_extra = {},
                                   uint32_t buffer_kb = 8192);
// Stops it (blocking: stop and destroy callbacks have run on return).
void session_stop(struct test_session *s);
// The serialized Trace of a stopped session; frees the session.
std::string session_read_and_destroy(struct test_session *s);

// One field as it stands on the wire, in order.
struct wire_field {
	uint32_t id;
	uint32_t wire_type;
	uint64_t varint;    // wire types 0, 1, 5
	std::string bytes;  // wire type 2: the payload
};
// The fields of a serialized message, in wire order (a minimal independent
// reader over protobuf's CodedInputStream).
std::vector<wire_field> wire_fields(const std::string &msg);
// Their field numbers, in wire order.
std::vector<uint32_t> field_ids(const std::string &msg);

// The serialized TracePackets of a trace, in order.
std::vector<std::string> trace_packets_raw(const std::string &trace);
// The serialized TracePackets that carry payload field `payload_field`.
std::vector<std::string> producer_packets_raw(const std::string &trace,
                                              uint32_t payload_field);
// The same, decoded.
std::vector<perfetto::protos::TracePacket>
producer_packets(const std::string &trace, uint32_t payload_field);
// A packet's bytes as the producer wrote them: without the SDK's
// first_packet_on_sequence prefix (b8 05 01) and without the service's
// trailing fields (trusted_uid, trusted_packet_sequence_id, trusted_pid,
// previous_packet_dropped).
std::string producer_bytes(const std::string &packet);

// Serialized DataSourceConfig field helpers for building configs in tests.
std::string pb_varint_field(uint32_t id, uint64_t value);
std::string pb_bytes_field(uint32_t id, const std::string &payload);

#endif
