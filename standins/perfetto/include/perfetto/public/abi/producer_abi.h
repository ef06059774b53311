#ifndef INCLUDE_PERFETTO_PUBLIC_ABI_PRODUCER_ABI_H_
#define INCLUDE_PERFETTO_PUBLIC_ABI_PRODUCER_ABI_H_

#include <stdint.h>

#include "perfetto/public/abi/export.h"

#ifdef __cplusplus
extern "C" {
#endif

struct PerfettoProducerBackendInitArgs;

PERFETTO_SDK_EXPORT struct PerfettoProducerBackendInitArgs *
PerfettoProducerBackendInitArgsCreate(void);
PERFETTO_SDK_EXPORT void PerfettoProducerBackendInitArgsSetShmemSizeHintKb(
    struct PerfettoProducerBackendInitArgs *, uint32_t size);
PERFETTO_SDK_EXPORT void PerfettoProducerBackendInitArgsDestroy(
    struct PerfettoProducerBackendInitArgs *);

// Connects to the system tracing service, in the background.
PERFETTO_SDK_EXPORT void PerfettoProducerSystemInit(
    const struct PerfettoProducerBackendInitArgs *);
// Runs a tracing service inside this process.
PERFETTO_SDK_EXPORT void PerfettoProducerInProcessInit(
    const struct PerfettoProducerBackendInitArgs *);

#ifdef __cplusplus
}
#endif

#endif
