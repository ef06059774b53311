#ifndef INCLUDE_PERFETTO_PUBLIC_ABI_PB_DECODER_ABI_H_
#define INCLUDE_PERFETTO_PUBLIC_ABI_PB_DECODER_ABI_H_

#include <stddef.h>
#include <stdint.h>

#include "perfetto/public/abi/export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Reads the fields of a serialized message in [read_ptr, end_ptr).
struct PerfettoPbDecoder {
  const uint8_t *read_ptr;
  const uint8_t *end_ptr;
};

enum PerfettoPbDecoderStatus {
  // A field was parsed.
  PERFETTO_PB_DECODER_OK = 0,
  // Nothing is left to parse.
  PERFETTO_PB_DECODER_DONE = 1,
  // The data is malformed.
  PERFETTO_PB_DECODER_ERROR = 2,
};

struct PerfettoPbDecoderDelimitedField {
  const uint8_t *start;
  size_t len;
};

struct PerfettoPbDecoderField {
  uint32_t status;
  uint32_t wire_type;
  uint32_t id;
  union {
    struct PerfettoPbDecoderDelimitedField delimited;
    uint64_t integer64;
    uint32_t integer32;
    double double_val;
    float float_val;
  } value;
};

// Parses the next field and advances past it.
PERFETTO_SDK_EXPORT struct PerfettoPbDecoderField PerfettoPbDecoderParseField(
    struct PerfettoPbDecoder *decoder);
// Skips the next field; returns a PerfettoPbDecoderStatus.
PERFETTO_SDK_EXPORT uint32_t PerfettoPbDecoderSkipField(
    struct PerfettoPbDecoder *decoder);

#ifdef __cplusplus
}
#endif

#endif
