#ifndef INCLUDE_PERFETTO_PUBLIC_ABI_DATA_SOURCE_ABI_H_
#define INCLUDE_PERFETTO_PUBLIC_ABI_DATA_SOURCE_ABI_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "perfetto/public/abi/atomic.h"
#include "perfetto/public/abi/export.h"
#include "perfetto/public/abi/stream_writer_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

// A data source type, as registered with the tracing service.
struct PerfettoDsImpl;

// Instance index of a data source (one instance per tracing session).
typedef uint32_t PerfettoDsInstanceIndex;

// Always false.
extern PERFETTO_SDK_EXPORT PERFETTO_ATOMIC(bool) perfetto_atomic_false;

PERFETTO_SDK_EXPORT struct PerfettoDsImpl *PerfettoDsImplCreate(void);

struct PerfettoDsOnSetupArgs;
struct PerfettoDsOnStartArgs;
struct PerfettoDsOnStopArgs;

typedef void *(*PerfettoDsOnSetupCb)(struct PerfettoDsImpl *,
                                     PerfettoDsInstanceIndex inst_id,
                                     void *ds_config, size_t ds_config_size,
                                     void *user_arg,
                                     struct PerfettoDsOnSetupArgs *args);
typedef void (*PerfettoDsOnStartCb)(struct PerfettoDsImpl *,
                                    PerfettoDsInstanceIndex inst_id,
                                    void *user_arg, void *inst_ctx,
                                    struct PerfettoDsOnStartArgs *args);
typedef void (*PerfettoDsOnStopCb)(struct PerfettoDsImpl *,
                                   PerfettoDsInstanceIndex inst_id,
                                   void *user_arg, void *inst_ctx,
                                   struct PerfettoDsOnStopArgs *args);
typedef void (*PerfettoDsOnDestroyCb)(struct PerfettoDsImpl *, void *user_arg,
                                      void *inst_ctx);

PERFETTO_SDK_EXPORT void PerfettoDsSetOnSetupCallback(struct PerfettoDsImpl *,
                                                      PerfettoDsOnSetupCb);
PERFETTO_SDK_EXPORT void PerfettoDsSetOnStartCallback(struct PerfettoDsImpl *,
                                                      PerfettoDsOnStartCb);
PERFETTO_SDK_EXPORT void PerfettoDsSetOnStopCallback(struct PerfettoDsImpl *,
                                                     PerfettoDsOnStopCb);
PERFETTO_SDK_EXPORT void PerfettoDsSetOnDestroyCallback(struct PerfettoDsImpl *,
                                                        PerfettoDsOnDestroyCb);
PERFETTO_SDK_EXPORT void PerfettoDsSetCbUserArg(struct PerfettoDsImpl *,
                                                void *user_arg);

// Registers the data source with the serialized DataSourceDescriptor.  On
// success `*enabled_ptr` points at a flag that is true while at least one
// instance is active.
PERFETTO_SDK_EXPORT bool PerfettoDsImplRegister(
    struct PerfettoDsImpl *, PERFETTO_ATOMIC(bool) **enabled_ptr,
    const void *descriptor, size_t descriptor_size);

struct PerfettoDsTlsImpl;
struct PerfettoDsTracerImpl;

// Iterates the active instances; a null `tracer` means none is left.
struct PerfettoDsImplTracerIterator {
  struct PerfettoDsTlsImpl *tls;
  struct PerfettoDsTracerImpl *tracer;
};

PERFETTO_SDK_EXPORT struct PerfettoDsImplTracerIterator
PerfettoDsImplTraceIterateBegin(struct PerfettoDsImpl *);
PERFETTO_SDK_EXPORT void PerfettoDsImplTraceIterateNext(
    struct PerfettoDsImpl *, struct PerfettoDsImplTracerIterator *);
PERFETTO_SDK_EXPORT void PerfettoDsImplTraceIterateBreak(
    struct PerfettoDsImpl *, struct PerfettoDsImplTracerIterator *);

// Starts a packet on the instance: the writer is positioned at its start.
PERFETTO_SDK_EXPORT struct PerfettoStreamWriter
PerfettoDsTracerImplPacketBegin(struct PerfettoDsTracerImpl *);
// Commits the packet.
PERFETTO_SDK_EXPORT void PerfettoDsTracerImplPacketEnd(
    struct PerfettoDsTracerImpl *, struct PerfettoStreamWriter *);

#ifdef __cplusplus
}
#endif

#endif
