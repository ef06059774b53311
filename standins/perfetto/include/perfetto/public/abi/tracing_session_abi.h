#ifndef INCLUDE_PERFETTO_PUBLIC_ABI_TRACING_SESSION_ABI_H_
#define INCLUDE_PERFETTO_PUBLIC_ABI_TRACING_SESSION_ABI_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "perfetto/public/abi/export.h"

#ifdef __cplusplus
extern "C" {
#endif

// A tracing session, seen from the consumer side.
struct PerfettoTracingSessionImpl;

PERFETTO_SDK_EXPORT struct PerfettoTracingSessionImpl *
PerfettoTracingSessionSystemCreate(void);
PERFETTO_SDK_EXPORT struct PerfettoTracingSessionImpl *
PerfettoTracingSessionInProcessCreate(void);

// `cfg_begin` is a serialized TraceConfig.
PERFETTO_SDK_EXPORT void PerfettoTracingSessionSetup(
    struct PerfettoTracingSessionImpl *, void *cfg_begin, size_t cfg_len);
PERFETTO_SDK_EXPORT void PerfettoTracingSessionStartBlocking(
    struct PerfettoTracingSessionImpl *);
PERFETTO_SDK_EXPORT void PerfettoTracingSessionStopBlocking(
    struct PerfettoTracingSessionImpl *);
PERFETTO_SDK_EXPORT bool PerfettoTracingSessionFlushBlocking(
    struct PerfettoTracingSessionImpl *, uint32_t timeout_ms);

// Receives the serialized Trace in pieces; the last one has `has_more` false.
typedef void (*PerfettoTracingSessionReadCb)(
    struct PerfettoTracingSessionImpl *, const void *data, size_t size,
    bool has_more, void *user_arg);
PERFETTO_SDK_EXPORT void PerfettoTracingSessionReadTraceBlocking(
    struct PerfettoTracingSessionImpl *, PerfettoTracingSessionReadCb callback,
    void *user_arg);

PERFETTO_SDK_EXPORT void PerfettoTracingSessionDestroy(
    struct PerfettoTracingSessionImpl *);

#ifdef __cplusplus
}
#endif

#endif
