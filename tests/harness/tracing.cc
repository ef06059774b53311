#include "harness/tracing.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <mutex>

#include "perfetto/public/abi/data_source_abi.h"
#include "perfetto/public/abi/producer_abi.h"
#include "perfetto/public/abi/tracing_session_abi.h"

using google::protobuf::internal::WireFormatLite;

struct test_session {
	struct PerfettoTracingSessionImpl *impl;
};

void
tracing_init_in_process(void)
{
	static std::once_flag once;
	std::call_once(once, [] {
		struct PerfettoProducerBackendInitArgs *args =
		    PerfettoProducerBackendInitArgsCreate();
		PerfettoProducerInProcessInit(args);
		PerfettoProducerBackendInitArgsDestroy(args);
	});
}

unsigned
exhaust_data_source_registrations(void)
{
	for (unsigned n = 0; n < 1000; n++) {
		std::string name = "placeholder." + std::to_string(n);
		std::string desc = pb_bytes_field(1, name);
		PERFETTO_ATOMIC(bool) *enabled;
		if (!PerfettoDsImplRegister(PerfettoDsImplCreate(), &enabled,
		    desc.data(), desc.size()))
			return n;
	}
	return 0;
}

std::string
pb_varint_field(uint32_t id, uint64_t value)
{
	std::string out;
	google::protobuf::io::StringOutputStream sos(&out);
	{
		google::protobuf::io::CodedOutputStream cos(&sos);
		cos.WriteTag(WireFormatLite::MakeTag(id,
		    WireFormatLite::WIRETYPE_VARINT));
		cos.WriteVarint64(value);
	}
	return out;
}

std::string
pb_bytes_field(uint32_t id, const std::string &payload)
{
	std::string out;
	google::protobuf::io::StringOutputStream sos(&out);
	{
		google::protobuf::io::CodedOutputStream cos(&sos);
		cos.WriteTag(WireFormatLite::MakeTag(id,
		    WireFormatLite::WIRETYPE_LENGTH_DELIMITED));
		cos.WriteVarint32(static_cast<uint32_t>(payload.size()));
		cos.WriteString(payload);
	}
	return out;
}

struct test_session *
session_start(const char *ds_name, const std::string &ds_config_extra,
              uint32_t buffer_kb)
{
	tracing_init_in_process();
	std::string ds_config = pb_bytes_field(1, ds_name) + ds_config_extra;
	std::string cfg = pb_bytes_field(1, pb_varint_field(1, buffer_kb)) +
	    pb_bytes_field(2, pb_bytes_field(1, ds_config));
	struct test_session *s = new test_session;
	s->impl = PerfettoTracingSessionInProcessCreate();
	PerfettoTracingSessionSetup(s->impl, cfg.data(), cfg.size());
	PerfettoTracingSessionStartBlocking(s->impl);
	return s;
}

void
session_stop(struct test_session *s)
{
	PerfettoTracingSessionStopBlocking(s->impl);
}

static void
append_piece(struct PerfettoTracingSessionImpl *, const void *data,
             size_t size, bool, void *user_arg)
{
	static_cast<std::string *>(user_arg)->append(
	    static_cast<const char *>(data), size);
}

std::string
session_read_and_destroy(struct test_session *s)
{
	std::string trace;
	PerfettoTracingSessionStopBlocking(s->impl);
	PerfettoTracingSessionReadTraceBlocking(s->impl, append_piece, &trace);
	PerfettoTracingSessionDestroy(s->impl);
	delete s;
	return trace;
}

std::vector<wire_field>
wire_fields(const std::string &msg)
{
	std::vector<wire_field> out;
	google::protobuf::io::CodedInputStream in(
	    reinterpret_cast<const uint8_t *>(msg.data()),
	    static_cast<int>(msg.size()));
	for (;;) {
		uint32_t tag = in.ReadTag();
		if (tag == 0)
			break;
		wire_field f;
		f.id = tag >> 3;
		f.wire_type = tag & 7;
		f.varint = 0;
		bool ok = true;
		switch (f.wire_type) {
		case 0:
			ok = in.ReadVarint64(&f.varint);
			break;
		case 1:
			ok = in.ReadLittleEndian64(&f.varint);
			break;
		case 5: {
			uint32_t v;
			ok = in.ReadLittleEndian32(&v);
			f.varint = v;
			break;
		}
		case 2: {
			uint32_t len;
			ok = in.ReadVarint32(&len) &&
			    in.ReadString(&f.bytes, static_cast<int>(len));
			break;
		}
		default:
			ok = false;
		}
		if (!ok)
			break;
		out.push_back(f);
	}
	return out;
}

std::vector<uint32_t>
field_ids(const std::string &msg)
{
	std::vector<uint32_t> ids;
	for (const wire_field &f : wire_fields(msg))
		ids.push_back(f.id);
	return ids;
}

std::vector<std::string>
trace_packets_raw(const std::string &trace)
{
	std::vector<std::string> out;
	for (const wire_field &f : wire_fields(trace))
		if (f.id == 1 && f.wire_type == 2)
			out.push_back(f.bytes);
	return out;
}

std::vector<std::string>
producer_packets_raw(const std::string &trace, uint32_t payload_field)
{
	std::vector<std::string> out;
	for (const std::string &p : trace_packets_raw(trace))
		for (const wire_field &f : wire_fields(p))
			if (f.id == payload_field && f.wire_type == 2) {
				out.push_back(p);
				break;
			}
	return out;
}

std::vector<perfetto::protos::TracePacket>
producer_packets(const std::string &trace, uint32_t payload_field)
{
	std::vector<perfetto::protos::TracePacket> out;
	for (const std::string &raw : producer_packets_raw(trace, payload_field)) {
		perfetto::protos::TracePacket p;
		p.ParseFromString(raw);
		out.push_back(p);
	}
	return out;
}

// How many of the last fields the service appended: trusted_uid (3) and
// trusted_packet_sequence_id (10), then where present trusted_pid (79),
// machine_id (98) and previous_packet_dropped (42), each once and in that
// order.  A field of these numbers before that run is the producer's own.
static size_t
service_trailer_length(const std::vector<wire_field> &fields)
{
	static const struct { uint32_t id; bool optional; } trailer[] = {
		{3, false}, {10, false}, {79, true}, {98, true}, {42, true},
	};
	size_t n = fields.size();
	size_t i = n;
	for (int t = 4; t >= 0; t--) {
		if (i > 0 && fields[i - 1].id == trailer[t].id)
			i--;
		else if (!trailer[t].optional)
			return 0;
	}
	return n - i;
}

// Cuts out the fields the producer wrote, in their order.
std::string
producer_bytes(const std::string &packet)
{
	std::string out;
	std::vector<wire_field> fields = wire_fields(packet);
	size_t first = 0, last = fields.size();
	if (!fields.empty() && fields[0].id == 87)
		first = 1;  // first_packet_on_sequence, written by the SDK
	last = fields.size() - service_trailer_length(fields);
	// Cut the original bytes rather than re-encode: find where the
	// producer's fields begin and end.
	google::protobuf::io::CodedInputStream in(
	    reinterpret_cast<const uint8_t *>(packet.data()),
	    static_cast<int>(packet.size()));
	int begin = 0, end = 0;
	for (size_t i = 0; i < fields.size(); i++) {
		if (i == first)
			begin = in.CurrentPosition();
		uint32_t tag = in.ReadTag();
		switch (tag & 7) {
		case 0: {
			uint64_t v;
			in.ReadVarint64(&v);
			break;
		}
		case 1:
			in.Skip(8);
			break;
		case 5:
			in.Skip(4);
			break;
		case 2: {
			uint32_t len;
			in.ReadVarint32(&len);
			in.Skip(static_cast<int>(len));
			break;
		}
		}
		if (i + 1 == last)
			end = in.CurrentPosition();
	}
	if (last <= first)
		return out;
	return packet.substr(static_cast<size_t>(begin),
	    static_cast<size_t>(end - begin));
}
