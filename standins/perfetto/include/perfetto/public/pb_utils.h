#ifndef INCLUDE_PERFETTO_PUBLIC_PB_UTILS_H_
#define INCLUDE_PERFETTO_PUBLIC_PB_UTILS_H_

#include <stdint.h>
#include <string.h>

#include "perfetto/public/compiler.h"

enum PerfettoPbWireType {
  PERFETTO_PB_WIRE_TYPE_VARINT = 0,
  PERFETTO_PB_WIRE_TYPE_FIXED64 = 1,
  PERFETTO_PB_WIRE_TYPE_DELIMITED = 2,
  PERFETTO_PB_WIRE_TYPE_FIXED32 = 5,
};

#define PERFETTO_PB_VARINT_MAX_SIZE_32 5
#define PERFETTO_PB_VARINT_MAX_SIZE_64 10

static inline uint32_t PerfettoPbMakeTag(int32_t field_id,
                                         enum PerfettoPbWireType wire_type) {
  return (PERFETTO_STATIC_CAST(uint32_t, field_id) << 3) |
         PERFETTO_STATIC_CAST(uint32_t, wire_type);
}

static inline uint8_t *PerfettoPbWriteVarInt(uint64_t value, uint8_t *dst) {
  while (value >= 0x80) {
    *dst++ = PERFETTO_STATIC_CAST(uint8_t, value | 0x80);
    value >>= 7;
  }
  *dst++ = PERFETTO_STATIC_CAST(uint8_t, value);
  return dst;
}

static inline uint8_t *PerfettoPbWriteFixed32(uint32_t value, uint8_t *dst) {
  for (int i = 0; i < 4; i++)
    *dst++ = PERFETTO_STATIC_CAST(uint8_t, value >> (8 * i));
  return dst;
}

static inline uint8_t *PerfettoPbWriteFixed64(uint64_t value, uint8_t *dst) {
  for (int i = 0; i < 8; i++)
    *dst++ = PERFETTO_STATIC_CAST(uint8_t, value >> (8 * i));
  return dst;
}

static inline uint64_t PerfettoPbZigZagEncode64(int64_t value) {
  return (PERFETTO_STATIC_CAST(uint64_t, value) << 1) ^
         PERFETTO_STATIC_CAST(uint64_t, value >> 63);
}

// Parses a varint in [start, end).  Returns the byte after it, or `start`
// when no complete varint is there.
static inline const uint8_t *PerfettoPbParseVarInt(const uint8_t *start,
                                                   const uint8_t *end,
                                                   uint64_t *out_value) {
  const uint8_t *pos = start;
  uint64_t value = 0;
  for (uint32_t shift = 0; pos < end && shift < 64u; shift += 7) {
    const uint64_t byte = *pos++;
    value |= (byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) {
      *out_value = value;
      return pos;
    }
  }
  *out_value = 0;
  return start;
}

#endif
