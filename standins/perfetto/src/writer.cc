// Chunked stream writers: the packet writer and heap buffers.  Bytes never
// move once written; a size field in an earlier chunk is written through a
// patch.
#include <string.h>

#include <algorithm>

#include "internal.h"
#include "perfetto/public/abi/heap_buffer.h"

namespace standin {

static void
add_chunk(PerfettoStreamWriterImpl *impl, PerfettoStreamWriter *w,
          size_t min_size)
{
	if (!impl->chunks.empty()) {
		chunk &cur = impl->chunks.back();
		cur.used = static_cast<size_t>(w->write_ptr - w->begin);
		w->written_previously += cur.used;
	}
	chunk c;
	c.cap = std::max(impl->chunk_size, min_size);
	c.data.reset(new uint8_t[c.cap]);
	c.used = 0;
	w->begin = w->write_ptr = c.data.get();
	w->end = w->begin + c.cap;
	impl->chunks.push_back(std::move(c));
}

void
writer_start(PerfettoStreamWriterImpl *impl, PerfettoStreamWriter *w)
{
	impl->chunks.clear();
	impl->patches.clear();
	w->impl = impl;
	w->written_previously = 0;
	add_chunk(impl, w, 0);
}

std::string
writer_collect(PerfettoStreamWriterImpl *impl, const PerfettoStreamWriter *w)
{
	impl->chunks.back().used = static_cast<size_t>(w->write_ptr - w->begin);
	for (const patch &p : impl->patches)
		memcpy(p.target, p.bytes, sizeof p.bytes);
	std::string out;
	for (const chunk &c : impl->chunks)
		out.append(reinterpret_cast<const char *>(c.data.get()), c.used);
	return out;
}

}  // namespace standin

using namespace standin;

extern "C" void
PerfettoStreamWriterUpdateWritePtr(PerfettoStreamWriter *)
{
	// Nothing is flushed before the packet ends.
}

extern "C" void
PerfettoStreamWriterNewChunk(PerfettoStreamWriter *w)
{
	add_chunk(w->impl, w, 0);
}

extern "C" void
PerfettoStreamWriterAppendBytesSlowpath(PerfettoStreamWriter *w,
                                        const uint8_t *src, size_t size)
{
	while (size > 0) {
		size_t avail = static_cast<size_t>(w->end - w->write_ptr);
		if (avail == 0) {
			add_chunk(w->impl, w, 0);
			continue;
		}
		size_t n = std::min(avail, size);
		memcpy(w->write_ptr, src, n);
		w->write_ptr += n;
		src += n;
		size -= n;
	}
}

extern "C" void
PerfettoStreamWriterReserveBytesSlowpath(PerfettoStreamWriter *w, size_t size)
{
	add_chunk(w->impl, w, size);
}

extern "C" uint8_t *
PerfettoStreamWriterAnnotatePatch(PerfettoStreamWriter *w, uint8_t *patch_addr)
{
	record_call("PerfettoStreamWriterAnnotatePatch");
	PerfettoStreamWriterImpl *impl = w->impl;
	if (impl->kind == WRITER_HEAP)
		return patch_addr;  // heap chunks stay until the buffer is destroyed
	patch p;
	p.target = patch_addr;
	memset(p.bytes, 0, sizeof p.bytes);
	impl->patches.push_back(p);
	return impl->patches.back().bytes;
}

struct PerfettoHeapBuffer {
	PerfettoStreamWriterImpl impl;
};

extern "C" PerfettoHeapBuffer *
PerfettoHeapBufferCreate(PerfettoStreamWriter *w)
{
	record_call("PerfettoHeapBufferCreate");
	PerfettoHeapBuffer *buf = new PerfettoHeapBuffer;
	buf->impl.kind = WRITER_HEAP;
	buf->impl.chunk_size = 128;
	writer_start(&buf->impl, w);
	return buf;
}

extern "C" void
PerfettoHeapBufferCopyInto(PerfettoHeapBuffer *buf, PerfettoStreamWriter *w,
                           void *dst, size_t size)
{
	record_call("PerfettoHeapBufferCopyInto(%zu)", size);
	std::string all = writer_collect(&buf->impl, w);
	memcpy(dst, all.data(), std::min(size, all.size()));
}

extern "C" void
PerfettoHeapBufferDestroy(PerfettoHeapBuffer *buf, PerfettoStreamWriter *)
{
	record_call("PerfettoHeapBufferDestroy");
	delete buf;
}
