// State shared by the stand-in's translation units.
#ifndef PERFETTO_STANDIN_INTERNAL_H
#define PERFETTO_STANDIN_INTERNAL_H

#include <stdint.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "perfetto/public/abi/data_source_abi.h"
#include "perfetto/public/abi/stream_writer_abi.h"

namespace standin {

// One chunk of a stream writer.  Chunks never move once allocated.
struct chunk {
	std::unique_ptr<uint8_t[]> data;
	size_t cap;
	size_t used;
};

struct patch {
	uint8_t *target;
	uint8_t bytes[PERFETTO_STREAM_WRITER_PATCH_SIZE];
};

enum writer_kind { WRITER_HEAP, WRITER_PACKET };

}  // namespace standin

struct PerfettoStreamWriterImpl {
	standin::writer_kind kind;
	size_t chunk_size;
	std::vector<standin::chunk> chunks;
	std::deque<standin::patch> patches;  // deque: addresses stay put
};

namespace standin {

void writer_start(PerfettoStreamWriterImpl *impl, PerfettoStreamWriter *w);
// All bytes written, patches applied.
std::string writer_collect(PerfettoStreamWriterImpl *impl,
                           const PerfettoStreamWriter *w);

constexpr uint32_t kMaxInstances = 8;

struct session;

struct instance_slot {
	bool allocated = false;
	bool active = false;  // visible to iteration
	std::atomic<uint32_t> generation{0};
	session *owner = nullptr;
	uint32_t target_buffer = 0;
	void *inst_ctx = nullptr;
	std::string config;  // the DataSourceConfig handed to setup
};

// As the service's, packet sequence ids count within a session from 2 (1
// is the service's own).  Called with g_mutex held.
uint32_t session_new_sequence_id(session *s);

// Everything below is guarded by g_mutex.
extern std::mutex g_mutex;
extern size_t g_chunk_size;
extern std::atomic<bool> g_in_process;
// Set by either back-end's initialisation; registering before it is fatal.
extern std::atomic<bool> g_initialised;

void record_call(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Runs `fn` on the SDK thread and waits for it.
void run_on_sdk_thread(const std::function<void()> &fn);

// Protobuf fields appended to a message being built by the service.
void put_varint_field(std::string *out, uint32_t id, uint64_t value);
void put_bytes_field(std::string *out, uint32_t id, const std::string &bytes);

// Stores a committed packet of the instance; drops it when the instance has
// gone.  Called with g_mutex held.
void store_packet(session *s, uint32_t target_buffer, std::string packet);

std::vector<PerfettoDsImpl *> registered_data_sources(void);

}  // namespace standin

struct PerfettoDsImpl {
	PerfettoDsOnSetupCb on_setup = nullptr;
	PerfettoDsOnStartCb on_start = nullptr;
	PerfettoDsOnStopCb on_stop = nullptr;
	PerfettoDsOnDestroyCb on_destroy = nullptr;
	void *user_arg = nullptr;
	bool supports_tracing_v2 = false;
	bool registered = false;
	std::string name;
	std::string descriptor;
	PERFETTO_ATOMIC(bool) enabled{false};
	std::atomic<uint32_t> active_mask{0};
	standin::instance_slot slots[standin::kMaxInstances];
};

#endif
