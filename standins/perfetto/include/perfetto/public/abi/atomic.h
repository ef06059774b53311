#ifndef INCLUDE_PERFETTO_PUBLIC_ABI_ATOMIC_H_
#define INCLUDE_PERFETTO_PUBLIC_ABI_ATOMIC_H_

#ifdef __cplusplus
#include <atomic>
#define PERFETTO_ATOMIC(TYPE) std::atomic<TYPE>
#define PERFETTO_ATOMIC_LOAD std::atomic_load
#define PERFETTO_ATOMIC_LOAD_EXPLICIT std::atomic_load_explicit
#define PERFETTO_ATOMIC_STORE std::atomic_store
#define PERFETTO_ATOMIC_STORE_EXPLICIT std::atomic_store_explicit
#define PERFETTO_MEMORY_ORDER_ACQ_REL std::memory_order_acq_rel
#define PERFETTO_MEMORY_ORDER_ACQUIRE std::memory_order_acquire
#define PERFETTO_MEMORY_ORDER_RELAXED std::memory_order_relaxed
#define PERFETTO_MEMORY_ORDER_RELEASE std::memory_order_release
#else
#include <stdatomic.h>
#define PERFETTO_ATOMIC(TYPE) _Atomic(TYPE)
#define PERFETTO_ATOMIC_LOAD atomic_load
#define PERFETTO_ATOMIC_LOAD_EXPLICIT atomic_load_explicit
#define PERFETTO_ATOMIC_STORE atomic_store
#define PERFETTO_ATOMIC_STORE_EXPLICIT atomic_store_explicit
#define PERFETTO_MEMORY_ORDER_ACQ_REL memory_order_acq_rel
#define PERFETTO_MEMORY_ORDER_ACQUIRE memory_order_acquire
#define PERFETTO_MEMORY_ORDER_RELAXED memory_order_relaxed
#define PERFETTO_MEMORY_ORDER_RELEASE memory_order_release
#endif

#endif
