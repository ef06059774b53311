// The counting hook: malloc and its kin replaced for the whole process
// (operator new reaches them through libstdc++), forwarding to glibc's own
// allocator; and the SDK's and the kernel's entry points wrapped at link
// time (tests/alloc/link.cmake), so that an allocation made inside one of
// them is put down to it.
#include "alloc_count.h"

#include <stddef.h>

#include "perfetto/public/abi/data_source_abi.h"
#include "perfetto/public/abi/stream_writer_abi.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ALLOC_HOOK 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ALLOC_HOOK 0
#endif
#endif
#ifndef ALLOC_HOOK
#define ALLOC_HOOK 1
#endif

// Plain thread-locals of the executable: reaching them never allocates.
static __thread bool t_counting;
static __thread unsigned t_in_sdk, t_in_kernel;
static __thread struct alloc_counts t_counts;

bool
alloc_counting_available(void)
{
	return ALLOC_HOOK != 0;
}

void
alloc_count_begin(void)
{
	t_counts = {};
	t_counting = true;
}

struct alloc_counts
alloc_count_end(void)
{
	t_counting = false;
	return t_counts;
}

#if ALLOC_HOOK
static void
count_allocation(void)
{
	if (!t_counting)
		return;
	if (t_in_sdk > 0)
		t_counts.sdk++;
	else if (t_in_kernel > 0)
		t_counts.kernel++;
	else
		t_counts.daemon++;
}

static void
count_free(void *p)
{
	if (p != NULL && t_counting && t_in_sdk == 0 && t_in_kernel == 0)
		t_counts.daemon_frees++;
}

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *
malloc(size_t size)
{
	count_allocation();
	return __libc_malloc(size);
}

void *
calloc(size_t n, size_t size)
{
	count_allocation();
	return __libc_calloc(n, size);
}

void *
realloc(void *p, size_t size)
{
	count_allocation();
	return __libc_realloc(p, size);
}

void
free(void *p)
{
	count_free(p);
	__libc_free(p);
}

void *
memalign(size_t align, size_t size)
{
	count_allocation();
	return __libc_memalign(align, size);
}

void *
aligned_alloc(size_t align, size_t size)
{
	count_allocation();
	return __libc_memalign(align, size);
}

int
posix_memalign(void **out, size_t align, size_t size)
{
	count_allocation();
	void *p = __libc_memalign(align, size);
	if (p == NULL)
		return 12; // ENOMEM
	*out = p;
	return 0;
}
}
#endif

// --- The SDK's packet path ----------------------------------------------

#define SDK_ENTER() t_in_sdk++
#define SDK_LEAVE() t_in_sdk--

extern "C" {
struct PerfettoDsImplTracerIterator __real_PerfettoDsImplTraceIterateBegin(
    struct PerfettoDsImpl *);
void __real_PerfettoDsImplTraceIterateNext(struct PerfettoDsImpl *,
    struct PerfettoDsImplTracerIterator *);
struct PerfettoStreamWriter __real_PerfettoDsTracerImplPacketBegin(
    struct PerfettoDsTracerImpl *);
void __real_PerfettoDsTracerImplPacketEnd(struct PerfettoDsTracerImpl *,
    struct PerfettoStreamWriter *);
void __real_PerfettoStreamWriterUpdateWritePtr(struct PerfettoStreamWriter *);
void __real_PerfettoStreamWriterNewChunk(struct PerfettoStreamWriter *);
void __real_PerfettoStreamWriterAppendBytesSlowpath(
    struct PerfettoStreamWriter *, const uint8_t *, size_t);
uint8_t *__real_PerfettoStreamWriterAnnotatePatch(struct PerfettoStreamWriter *,
    uint8_t *);
void __real_PerfettoStreamWriterReserveBytesSlowpath(
    struct PerfettoStreamWriter *, size_t);

struct PerfettoDsImplTracerIterator
__wrap_PerfettoDsImplTraceIterateBegin(struct PerfettoDsImpl *ds)
{
	SDK_ENTER();
	struct PerfettoDsImplTracerIterator it =
	    __real_PerfettoDsImplTraceIterateBegin(ds);
	SDK_LEAVE();
	return it;
}

void
__wrap_PerfettoDsImplTraceIterateNext(struct PerfettoDsImpl *ds,
    struct PerfettoDsImplTracerIterator *it)
{
	SDK_ENTER();
	__real_PerfettoDsImplTraceIterateNext(ds, it);
	SDK_LEAVE();
}

struct PerfettoStreamWriter
__wrap_PerfettoDsTracerImplPacketBegin(struct PerfettoDsTracerImpl *t)
{
	SDK_ENTER();
	struct PerfettoStreamWriter w = __real_PerfettoDsTracerImplPacketBegin(t);
	SDK_LEAVE();
	return w;
}

void
__wrap_PerfettoDsTracerImplPacketEnd(struct PerfettoDsTracerImpl *t,
    struct PerfettoStreamWriter *w)
{
	SDK_ENTER();
	__real_PerfettoDsTracerImplPacketEnd(t, w);
	SDK_LEAVE();
}

void
__wrap_PerfettoStreamWriterUpdateWritePtr(struct PerfettoStreamWriter *w)
{
	SDK_ENTER();
	__real_PerfettoStreamWriterUpdateWritePtr(w);
	SDK_LEAVE();
}

void
__wrap_PerfettoStreamWriterNewChunk(struct PerfettoStreamWriter *w)
{
	SDK_ENTER();
	__real_PerfettoStreamWriterNewChunk(w);
	SDK_LEAVE();
}

void
__wrap_PerfettoStreamWriterAppendBytesSlowpath(struct PerfettoStreamWriter *w,
    const uint8_t *src, size_t size)
{
	SDK_ENTER();
	__real_PerfettoStreamWriterAppendBytesSlowpath(w, src, size);
	SDK_LEAVE();
}

uint8_t *
__wrap_PerfettoStreamWriterAnnotatePatch(struct PerfettoStreamWriter *w,
    uint8_t *patch_addr)
{
	SDK_ENTER();
	uint8_t *p = __real_PerfettoStreamWriterAnnotatePatch(w, patch_addr);
	SDK_LEAVE();
	return p;
}

void
__wrap_PerfettoStreamWriterReserveBytesSlowpath(struct PerfettoStreamWriter *w,
    size_t size)
{
	SDK_ENTER();
	__real_PerfettoStreamWriterReserveBytesSlowpath(w, size);
	SDK_LEAVE();
}
}

// --- The kernel's calls -------------------------------------------------

#define KERNEL_ENTER() t_in_kernel++
#define KERNEL_LEAVE() t_in_kernel--

extern "C" {
int __real_sysctl(const int *, unsigned, void *, size_t *, const void *,
    size_t);
int __real_sysctlbyname(const char *, void *, size_t *, const void *, size_t);
int __real_sysctlnametomib(const char *, int *, size_t *);
// power/device_io.h's ioctl(2), a C++ name.
int __real__Z12device_ioctlimPv(int, unsigned long, void *);

int
__wrap_sysctl(const int *name, unsigned namelen, void *oldp, size_t *oldlenp,
    const void *newp, size_t newlen)
{
	KERNEL_ENTER();
	int r = __real_sysctl(name, namelen, oldp, oldlenp, newp, newlen);
	KERNEL_LEAVE();
	return r;
}

int
__wrap_sysctlbyname(const char *name, void *oldp, size_t *oldlenp,
    const void *newp, size_t newlen)
{
	KERNEL_ENTER();
	int r = __real_sysctlbyname(name, oldp, oldlenp, newp, newlen);
	KERNEL_LEAVE();
	return r;
}

int
__wrap_sysctlnametomib(const char *name, int *mibp, size_t *sizep)
{
	KERNEL_ENTER();
	int r = __real_sysctlnametomib(name, mibp, sizep);
	KERNEL_LEAVE();
	return r;
}

int
__wrap__Z12device_ioctlimPv(int fd, unsigned long request, void *arg)
{
	KERNEL_ENTER();
	int r = __real__Z12device_ioctlimPv(fd, request, arg);
	KERNEL_LEAVE();
	return r;
}
}
