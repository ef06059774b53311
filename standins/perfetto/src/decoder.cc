// The protobuf field decoder.
#include "perfetto/public/abi/pb_decoder_abi.h"
#include "perfetto/public/pb_utils.h"

extern "C" PerfettoPbDecoderField
PerfettoPbDecoderParseField(PerfettoPbDecoder *d)
{
	PerfettoPbDecoderField f = {};
	if (d->read_ptr >= d->end_ptr) {
		f.status = PERFETTO_PB_DECODER_DONE;
		return f;
	}
	f.status = PERFETTO_PB_DECODER_ERROR;
	uint64_t tag;
	const uint8_t *p = PerfettoPbParseVarInt(d->read_ptr, d->end_ptr, &tag);
	// As the SDK's decoder: field number 0 is not refused here; readers
	// skip it as an unknown field.
	if (p == d->read_ptr || (tag >> 3) > UINT32_MAX)
		return f;
	f.id = static_cast<uint32_t>(tag >> 3);
	f.wire_type = static_cast<uint32_t>(tag & 7);
	size_t left = static_cast<size_t>(d->end_ptr - p);
	switch (f.wire_type) {
	case PERFETTO_PB_WIRE_TYPE_VARINT: {
		const uint8_t *q = PerfettoPbParseVarInt(p, d->end_ptr,
		                                         &f.value.integer64);
		if (q == p)
			return f;
		p = q;
		break;
	}
	case PERFETTO_PB_WIRE_TYPE_FIXED64:
		if (left < 8)
			return f;
		f.value.integer64 = 0;
		for (int i = 7; i >= 0; i--)
			f.value.integer64 = (f.value.integer64 << 8) | p[i];
		p += 8;
		break;
	case PERFETTO_PB_WIRE_TYPE_FIXED32:
		if (left < 4)
			return f;
		f.value.integer64 = 0;
		f.value.integer32 = static_cast<uint32_t>(p[0]) |
		    static_cast<uint32_t>(p[1]) << 8 |
		    static_cast<uint32_t>(p[2]) << 16 |
		    static_cast<uint32_t>(p[3]) << 24;
		p += 4;
		break;
	case PERFETTO_PB_WIRE_TYPE_DELIMITED: {
		uint64_t len;
		const uint8_t *q = PerfettoPbParseVarInt(p, d->end_ptr, &len);
		if (q == p || len > static_cast<uint64_t>(d->end_ptr - q))
			return f;
		f.value.delimited.start = q;
		f.value.delimited.len = static_cast<size_t>(len);
		p = q + len;
		break;
	}
	default:
		return f;
	}
	f.status = PERFETTO_PB_DECODER_OK;
	d->read_ptr = p;
	return f;
}

extern "C" uint32_t
PerfettoPbDecoderSkipField(PerfettoPbDecoder *d)
{
	return PerfettoPbDecoderParseField(d).status;
}
