// Data source registration, instance iteration and packets.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "internal.h"
#include "perfetto/public/abi/pb_decoder_abi.h"
#include "perfetto/public/pb_utils.h"
#include "perfetto_standin/inspect.h"

using namespace standin;

// Every data source created, registered or not.  Like the SDK's, they live
// as long as the process: neither they nor this list are ever freed.
static std::vector<PerfettoDsImpl *> &g_created =
    *new std::vector<PerfettoDsImpl *>;

// The writer state of one thread on one instance: one packet sequence.
struct PerfettoDsTracerImpl {
	PerfettoDsImpl *ds;
	uint32_t slot;
	uint32_t generation;
	uint32_t sequence_id;
	uint64_t packets;
	PerfettoStreamWriterImpl writer;
};

static thread_local std::vector<std::unique_ptr<PerfettoDsTracerImpl>>
    t_tracers;

namespace standin {

std::vector<PerfettoDsImpl *>
registered_data_sources(void)
{
	std::vector<PerfettoDsImpl *> out;
	for (PerfettoDsImpl *ds : g_created)
		if (ds->registered)
			out.push_back(ds);
	return out;
}

}  // namespace standin

extern "C" PerfettoDsImpl *
PerfettoDsImplCreate(void)
{
	record_call("PerfettoDsImplCreate");
	PerfettoDsImpl *ds = new PerfettoDsImpl;
	std::lock_guard<std::mutex> lock(g_mutex);
	g_created.push_back(ds);
	return ds;
}

extern "C" void
PerfettoDsSetOnSetupCallback(PerfettoDsImpl *ds, PerfettoDsOnSetupCb cb)
{
	record_call("PerfettoDsSetOnSetupCallback");
	std::lock_guard<std::mutex> lock(g_mutex);
	ds->on_setup = cb;
}

extern "C" void
PerfettoDsSetOnStartCallback(PerfettoDsImpl *ds, PerfettoDsOnStartCb cb)
{
	record_call("PerfettoDsSetOnStartCallback");
	std::lock_guard<std::mutex> lock(g_mutex);
	ds->on_start = cb;
}

extern "C" void
PerfettoDsSetOnStopCallback(PerfettoDsImpl *ds, PerfettoDsOnStopCb cb)
{
	record_call("PerfettoDsSetOnStopCallback");
	std::lock_guard<std::mutex> lock(g_mutex);
	ds->on_stop = cb;
}

extern "C" void
PerfettoDsSetOnDestroyCallback(PerfettoDsImpl *ds, PerfettoDsOnDestroyCb cb)
{
	record_call("PerfettoDsSetOnDestroyCallback");
	std::lock_guard<std::mutex> lock(g_mutex);
	ds->on_destroy = cb;
}

extern "C" void
PerfettoDsSetCbUserArg(PerfettoDsImpl *ds, void *user_arg)
{
	record_call("PerfettoDsSetCbUserArg");
	std::lock_guard<std::mutex> lock(g_mutex);
	ds->user_arg = user_arg;
}

// Not an SDK function; the daemons call it and nothing depends on it.
extern "C" void
PerfettoDsSetSupportsTracingV2(PerfettoDsImpl *ds, bool supported)
{
	record_call("PerfettoDsSetSupportsTracingV2(%s)",
	    supported ? "true" : "false");
	std::lock_guard<std::mutex> lock(g_mutex);
	ds->supports_tracing_v2 = supported;
}

// As the SDK's: a process registers at most 32 data source types; the 33rd
// and later registrations fail.  The descriptor is taken as it is (the SDK
// neither checks its name nor fails on bytes it cannot parse), and a second
// registration of the same handle changes nothing and succeeds.
static const unsigned max_data_sources = 32;
static unsigned g_registrations;

extern "C" bool
PerfettoDsImplRegister(PerfettoDsImpl *ds, PERFETTO_ATOMIC(bool) **enabled_ptr,
                       const void *descriptor, size_t descriptor_size)
{
	record_call("PerfettoDsImplRegister(%zu)", descriptor_size);
	if (!g_initialised.load(std::memory_order_acquire)) {
		// As the SDK: a data source registers with an initialised
		// producer only.
		fprintf(stderr, "Tracing not initialized: initialise a producer "
		    "back-end before registering a data source\n");
		abort();
	}
	std::string name;
	PerfettoPbDecoder d;
	d.read_ptr = static_cast<const uint8_t *>(descriptor);
	d.end_ptr = d.read_ptr + descriptor_size;
	for (;;) {
		PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
		if (f.status != PERFETTO_PB_DECODER_OK)
			break;
		if (f.id == 1 && f.wire_type == PERFETTO_PB_WIRE_TYPE_DELIMITED)
			name.assign(reinterpret_cast<const char *>(
			    f.value.delimited.start), f.value.delimited.len);
	}
	std::lock_guard<std::mutex> lock(g_mutex);
	if (!ds->registered) {
		if (g_registrations >= max_data_sources)
			return false;
		g_registrations++;
		ds->name = name;
		ds->descriptor.assign(static_cast<const char *>(descriptor),
		    descriptor_size);
		ds->registered = true;
	}
	*enabled_ptr = &ds->enabled;
	return true;
}

static PerfettoDsTracerImpl *
tracer_for(PerfettoDsImpl *ds, uint32_t slot)
{
	uint32_t gen = ds->slots[slot].generation.load(std::memory_order_acquire);
	PerfettoDsTracerImpl *t = nullptr;
	for (auto &p : t_tracers)
		if (p->ds == ds && p->slot == slot)
			t = p.get();
	if (t == nullptr) {
		t_tracers.push_back(std::make_unique<PerfettoDsTracerImpl>());
		t = t_tracers.back().get();
		t->ds = ds;
		t->slot = slot;
		t->generation = gen - 1;
		t->writer.kind = WRITER_PACKET;
	}
	if (t->generation != gen) {
		// A new instance in this slot: a new sequence.
		t->generation = gen;
		std::lock_guard<std::mutex> lock(g_mutex);
		t->sequence_id = session_new_sequence_id(ds->slots[slot].owner);
		t->packets = 0;
	}
	return t;
}

static PerfettoDsTracerImpl *
first_active_from(PerfettoDsImpl *ds, uint32_t slot)
{
	uint32_t mask = ds->active_mask.load(std::memory_order_acquire);
	for (; slot < kMaxInstances; slot++)
		if (mask & (1u << slot))
			return tracer_for(ds, slot);
	return nullptr;
}

extern "C" PerfettoDsImplTracerIterator
PerfettoDsImplTraceIterateBegin(PerfettoDsImpl *ds)
{
	record_call("PerfettoDsImplTraceIterateBegin");
	PerfettoDsImplTracerIterator it;
	it.tls = nullptr;
	it.tracer = first_active_from(ds, 0);
	return it;
}

extern "C" void
PerfettoDsImplTraceIterateNext(PerfettoDsImpl *ds,
                               PerfettoDsImplTracerIterator *it)
{
	record_call("PerfettoDsImplTraceIterateNext");
	if (it->tracer == nullptr)
		return;
	it->tracer = first_active_from(ds, it->tracer->slot + 1);
}

extern "C" void
PerfettoDsImplTraceIterateBreak(PerfettoDsImpl *,
                                PerfettoDsImplTracerIterator *it)
{
	record_call("PerfettoDsImplTraceIterateBreak");
	it->tracer = nullptr;
}

extern "C" PerfettoStreamWriter
PerfettoDsTracerImplPacketBegin(PerfettoDsTracerImpl *t)
{
	record_call("PerfettoDsTracerImplPacketBegin");
	PerfettoStreamWriter w;
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		t->writer.chunk_size = g_chunk_size;
	}
	writer_start(&t->writer, &w);
	if (t->packets == 0) {
		// first_packet_on_sequence = true
		static const uint8_t first[] = { 0xb8, 0x05, 0x01 };
		memcpy(w.write_ptr, first, sizeof first);
		w.write_ptr += sizeof first;
	}
	return w;
}

// As the service's check of what producers write: a packet must parse and
// must not carry a field that only the service writes (trusted_uid,
// trusted_packet_sequence_id, trace_config, trace_stats, compressed packets,
// synchronization_marker, trusted_pid, machine_id, service_event,
// trace_provenance, protovms); the service drops any other.
static bool
packet_is_valid(const std::string &packet)
{
	static const uint32_t reserved[] = {
		3, 10, 33, 35, 50, 133, 36, 79, 98, 69, 124, 125,
	};
	PerfettoPbDecoder d;
	d.read_ptr = reinterpret_cast<const uint8_t *>(packet.data());
	d.end_ptr = d.read_ptr + packet.size();
	for (;;) {
		PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
		if (f.status == PERFETTO_PB_DECODER_DONE)
			return true;
		if (f.status != PERFETTO_PB_DECODER_OK)
			return false;
		for (uint32_t id : reserved)
			if (f.id == id)
				return false;
	}
}

extern "C" void
PerfettoDsTracerImplPacketEnd(PerfettoDsTracerImpl *t, PerfettoStreamWriter *w)
{
	record_call("PerfettoDsTracerImplPacketEnd");
	std::string packet = writer_collect(&t->writer, w);
	t->writer.chunks.clear();
	t->writer.patches.clear();
	if (!packet_is_valid(packet))
		return;

	// What the service adds to every packet it stores.
	put_varint_field(&packet, 3, getuid());       // trusted_uid
	put_varint_field(&packet, 10, t->sequence_id); // trusted_packet_sequence_id
	put_varint_field(&packet, 79, 0);             // trusted_pid, in process
	if (t->packets == 0)
		put_varint_field(&packet, 42, 1);     // previous_packet_dropped
	t->packets++;

	std::lock_guard<std::mutex> lock(g_mutex);
	instance_slot &slot = t->ds->slots[t->slot];
	if (!slot.active ||
	    slot.generation.load(std::memory_order_relaxed) != t->generation)
		return;  // the instance has gone: the packet is lost
	store_packet(slot.owner, slot.target_buffer, std::move(packet));
}

std::vector<perfetto_standin_ds>
perfetto_standin_data_sources(void)
{
	std::lock_guard<std::mutex> lock(g_mutex);
	std::vector<perfetto_standin_ds> out;
	for (PerfettoDsImpl *ds : g_created) {
		perfetto_standin_ds info;
		info.descriptor = ds->descriptor;
		info.registered = ds->registered;
		info.has_setup = ds->on_setup != nullptr;
		info.has_start = ds->on_start != nullptr;
		info.has_stop = ds->on_stop != nullptr;
		info.has_destroy = ds->on_destroy != nullptr;
		info.user_arg = ds->user_arg;
		info.supports_tracing_v2 = ds->supports_tracing_v2;
		out.push_back(info);
	}
	return out;
}
