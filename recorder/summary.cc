#include "recorder/summary.h"

#include "perfetto/public/abi/pb_decoder_abi.h"
#include "perfetto/public/pb_utils.h"

enum {
	TRACE_PACKET = 1,
	PACKET_SYS_STATS = 7,
	PACKET_TRACK_EVENT = 11,
	PACKET_BATTERY = 38,
	PACKET_POWER_RAILS = 40,
};

// The count a packet adds to: that of its first payload field, or other's.
// Null when the packet does not parse.
static size_t *
packet_kind(const uint8_t *begin, size_t size, struct packet_counts *counts)
{
	struct PerfettoPbDecoder d = {begin, begin + size};
	for (;;) {
		struct PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
		if (f.status == PERFETTO_PB_DECODER_DONE)
			return &counts->other;
		if (f.status != PERFETTO_PB_DECODER_OK)
			return nullptr;
		if (f.wire_type != PERFETTO_PB_WIRE_TYPE_DELIMITED)
			continue;
		switch (f.id) {
		case PACKET_SYS_STATS:
			return &counts->sys_stats;
		case PACKET_POWER_RAILS:
			return &counts->power_rails;
		case PACKET_BATTERY:
			return &counts->battery;
		case PACKET_TRACK_EVENT:
			return &counts->track_event;
		}
	}
}

bool
count_packets(const std::string &trace, struct packet_counts *counts)
{
	*counts = {};
	const uint8_t *begin = reinterpret_cast<const uint8_t *>(trace.data());
	struct PerfettoPbDecoder d = {begin, begin + trace.size()};
	for (;;) {
		struct PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
		if (f.status == PERFETTO_PB_DECODER_DONE)
			return true;
		if (f.status != PERFETTO_PB_DECODER_OK)
			return false;
		if (f.id != TRACE_PACKET ||
		    f.wire_type != PERFETTO_PB_WIRE_TYPE_DELIMITED)
			continue;
		size_t *count = packet_kind(f.value.delimited.start,
		    f.value.delimited.len, counts);
		if (count == nullptr)
			return false;
		(*count)++;
	}
}

void
print_packet_counts(FILE *f, const struct packet_counts *counts)
{
	fprintf(f, "sys_stats    %zu\n", counts->sys_stats);
	fprintf(f, "power_rails  %zu\n", counts->power_rails);
	fprintf(f, "battery      %zu\n", counts->battery);
	fprintf(f, "track_event  %zu\n", counts->track_event);
	fprintf(f, "other        %zu\n", counts->other);
}
