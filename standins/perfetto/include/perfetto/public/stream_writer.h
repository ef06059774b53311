#ifndef INCLUDE_PERFETTO_PUBLIC_STREAM_WRITER_H_
#define INCLUDE_PERFETTO_PUBLIC_STREAM_WRITER_H_

#include <string.h>

#include "perfetto/public/abi/stream_writer_abi.h"
#include "perfetto/public/compiler.h"

static inline size_t PerfettoStreamWriterAvailableBytes(
    const struct PerfettoStreamWriter *w) {
  return PERFETTO_STATIC_CAST(size_t, w->end - w->write_ptr);
}

// Only when `size` bytes are available in the current chunk.
static inline void PerfettoStreamWriterAppendBytesUnsafe(
    struct PerfettoStreamWriter *w, const uint8_t *src, size_t size) {
  if (size)
    memcpy(w->write_ptr, src, size);
  w->write_ptr += size;
}

static inline void PerfettoStreamWriterAppendBytes(
    struct PerfettoStreamWriter *w, const uint8_t *src, size_t size) {
  if (PERFETTO_LIKELY(size <= PerfettoStreamWriterAvailableBytes(w))) {
    PerfettoStreamWriterAppendBytesUnsafe(w, src, size);
    return;
  }
  PerfettoStreamWriterAppendBytesSlowpath(w, src, size);
}

static inline void PerfettoStreamWriterAppendByte(
    struct PerfettoStreamWriter *w, uint8_t value) {
  PerfettoStreamWriterAppendBytes(w, &value, 1);
}

// Returns `size` contiguous bytes to write into.
static inline uint8_t *PerfettoStreamWriterReserveBytes(
    struct PerfettoStreamWriter *w, size_t size) {
  if (PERFETTO_UNLIKELY(size > PerfettoStreamWriterAvailableBytes(w)))
    PerfettoStreamWriterReserveBytesSlowpath(w, size);
  uint8_t *ret = w->write_ptr;
  w->write_ptr += size;
  return ret;
}

static inline size_t PerfettoStreamWriterGetWrittenSize(
    const struct PerfettoStreamWriter *w) {
  return w->written_previously +
         PERFETTO_STATIC_CAST(size_t, w->write_ptr - w->begin);
}

#endif
