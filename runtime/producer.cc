// Producer start-up and data source registration.
#include "runtime/producer.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "perfetto/public/abi/heap_buffer.h"
#include "perfetto/public/abi/producer_abi.h"
#include "perfetto/public/pb_msg.h"

// DataSourceDescriptor fields.
enum {
	DESCRIPTOR_NAME = 1,
	DESCRIPTOR_WILL_NOTIFY_ON_STOP = 2,
};

void
start_producer(void)
{
	struct PerfettoProducerBackendInitArgs *args;

	args = PerfettoProducerBackendInitArgsCreate();
	// 0 leaves the shared memory size to the SDK and the service.
	PerfettoProducerBackendInitArgsSetShmemSizeHintKb(args, 0);
	PerfettoProducerSystemInit(args);
	PerfettoProducerBackendInitArgsDestroy(args);
}

bool
register_data_source(struct ds_registration *reg, const char *name,
                     const struct ds_callbacks *callbacks)
{
	struct PerfettoPbMsgWriter msg_writer;
	struct PerfettoPbMsg desc;
	struct PerfettoHeapBuffer *hb;
	struct PerfettoDsImpl *ds;
	size_t size;
	void *block;
	bool ok;

	reg->enabled = &perfetto_atomic_false;
	reg->impl = nullptr;

	hb = PerfettoHeapBufferCreate(&msg_writer.writer);
	PerfettoPbMsgInit(&desc, &msg_writer);
	PerfettoPbMsgAppendCStrField(&desc, DESCRIPTOR_NAME, name);
	PerfettoPbMsgAppendType0Field(&desc, DESCRIPTOR_WILL_NOTIFY_ON_STOP, 1);
	size = PerfettoStreamWriterGetWrittenSize(&msg_writer.writer);
	block = malloc(size);
	if (block != nullptr)
		PerfettoHeapBufferCopyInto(hb, &msg_writer.writer, block, size);
	PerfettoHeapBufferDestroy(hb, &msg_writer.writer);
	if (block == nullptr)
		return false;

	ds = PerfettoDsImplCreate();
	if (callbacks != nullptr) {
		PerfettoDsSetOnSetupCallback(ds, callbacks->on_setup);
		PerfettoDsSetOnStartCallback(ds, callbacks->on_start);
		PerfettoDsSetOnStopCallback(ds, callbacks->on_stop);
		PerfettoDsSetOnDestroyCallback(ds, callbacks->on_destroy);
		PerfettoDsSetCbUserArg(ds, callbacks->user_arg);
	}
	PerfettoDsSetSupportsTracingV2(ds, true);
	ok = PerfettoDsImplRegister(ds, &reg->enabled, block, size);
	free(block);
	if (ok)
		reg->impl = ds;
	return ok;
}
