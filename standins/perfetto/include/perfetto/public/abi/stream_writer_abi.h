#ifndef INCLUDE_PERFETTO_PUBLIC_ABI_STREAM_WRITER_ABI_H_
#define INCLUDE_PERFETTO_PUBLIC_ABI_STREAM_WRITER_ABI_H_

#include <stddef.h>
#include <stdint.h>

#include "perfetto/public/abi/export.h"

#ifdef __cplusplus
extern "C" {
#endif

struct PerfettoStreamWriterImpl;

// A writer over a sequence of chunks.  The bytes written in the current chunk
// are [begin, write_ptr); `end` is the chunk's end.
struct PerfettoStreamWriter {
  struct PerfettoStreamWriterImpl *impl;
  uint8_t *begin;
  uint8_t *end;
  uint8_t *write_ptr;
  size_t written_previously;
};

// Size of a patch: the redundant varint of a nested message's length.
#define PERFETTO_STREAM_WRITER_PATCH_SIZE 4

PERFETTO_SDK_EXPORT void PerfettoStreamWriterUpdateWritePtr(
    struct PerfettoStreamWriter *);
PERFETTO_SDK_EXPORT void PerfettoStreamWriterNewChunk(
    struct PerfettoStreamWriter *);
PERFETTO_SDK_EXPORT void PerfettoStreamWriterAppendBytesSlowpath(
    struct PerfettoStreamWriter *, const uint8_t *src, size_t size);
PERFETTO_SDK_EXPORT void PerfettoStreamWriterReserveBytesSlowpath(
    struct PerfettoStreamWriter *, size_t size);
// Called while `patch_addr` is still in the current chunk.  Returns where the
// PERFETTO_STREAM_WRITER_PATCH_SIZE bytes must be written instead, or null
// (then nothing may be written).  The first byte written must be non-zero.
PERFETTO_SDK_EXPORT uint8_t *PerfettoStreamWriterAnnotatePatch(
    struct PerfettoStreamWriter *, uint8_t *patch_addr);

#ifdef __cplusplus
}
#endif

#endif
