// The stand-in's protobuf decoder over arbitrary bytes, nested messages
// included: every field lies inside its message, the reader moves forward
// on every field it returns, and a walk ends in DONE or ERROR.
#include <stdint.h>

#include "perfetto/public/abi/pb_decoder_abi.h"

static void
walk(const uint8_t *begin, const uint8_t *end, int depth)
{
	struct PerfettoPbDecoder d = { begin, end };

	for (;;) {
		const uint8_t *before = d.read_ptr;
		struct PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
		if (f.status == PERFETTO_PB_DECODER_DONE) {
			if (before != end)
				__builtin_trap();
			return;
		}
		if (f.status != PERFETTO_PB_DECODER_OK) {
			if (d.read_ptr != before)
				__builtin_trap();  // an error moves nothing
			return;
		}
		if (d.read_ptr <= before || d.read_ptr > end)
			__builtin_trap();
		if (f.wire_type == 2) {
			const uint8_t *s = f.value.delimited.start;
			if (s < before || s > d.read_ptr ||
			    f.value.delimited.len != (size_t)(d.read_ptr - s))
				__builtin_trap();
			if (depth < 8)
				walk(s, s + f.value.delimited.len, depth + 1);
		}
	}
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	walk(data, data + size, 0);
	// Skipping goes the same way as parsing.
	struct PerfettoPbDecoder a = { data, data + size };
	struct PerfettoPbDecoder b = { data, data + size };
	for (;;) {
		uint32_t skipped = PerfettoPbDecoderSkipField(&a);
		struct PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&b);
		if (skipped != f.status || a.read_ptr != b.read_ptr)
			__builtin_trap();
		if (skipped != PERFETTO_PB_DECODER_OK)
			return 0;
	}
}
