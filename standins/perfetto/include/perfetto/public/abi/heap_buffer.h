#ifndef INCLUDE_PERFETTO_PUBLIC_ABI_HEAP_BUFFER_H_
#define INCLUDE_PERFETTO_PUBLIC_ABI_HEAP_BUFFER_H_

#include <stddef.h>

#include "perfetto/public/abi/export.h"
#include "perfetto/public/abi/stream_writer_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

// A stream writer that writes into memory that grows as needed.
struct PerfettoHeapBuffer;

PERFETTO_SDK_EXPORT struct PerfettoHeapBuffer *PerfettoHeapBufferCreate(
    struct PerfettoStreamWriter *);
// Copies the first `size` bytes written.
PERFETTO_SDK_EXPORT void PerfettoHeapBufferCopyInto(
    struct PerfettoHeapBuffer *, struct PerfettoStreamWriter *, void *dst,
    size_t size);
PERFETTO_SDK_EXPORT void PerfettoHeapBufferDestroy(
    struct PerfettoHeapBuffer *, struct PerfettoStreamWriter *);

#ifdef __cplusplus
}
#endif

#endif
