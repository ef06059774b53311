// The in-process tracing service, seen from the consumer side: sessions,
// their buffers, and the instances they create.
#include <unistd.h>

#include "internal.h"
#include "perfetto/public/abi/pb_decoder_abi.h"
#include "perfetto/public/abi/tracing_session_abi.h"
#include "perfetto/public/pb_utils.h"

using namespace standin;

namespace standin {

struct trace_buffer {
	size_t size_limit;
	size_t size;
	std::deque<std::string> packets;  // ring: the oldest go first
};

struct ds_request {
	std::string name;
	uint32_t target_buffer;
	std::string config;  // DataSourceConfig as the trace config has it
};

struct instance_ref {
	PerfettoDsImpl *ds;
	uint32_t slot;
};

struct session {
	bool in_process;
	uint64_t id;
	bool started, stopped;
	uint32_t duration_ms;
	std::string trace_config;
	std::vector<ds_request> requests;
	std::vector<instance_ref> instances;
	std::vector<trace_buffer> buffers;  // guarded by g_mutex
	uint32_t next_sequence_id = 2;      // guarded by g_mutex
};

uint32_t
session_new_sequence_id(session *s)
{
	return s != nullptr ? s->next_sequence_id++ : 0;
}

static void
put_varint(std::string *out, uint64_t v)
{
	uint8_t buf[PERFETTO_PB_VARINT_MAX_SIZE_64];
	uint8_t *end = PerfettoPbWriteVarInt(v, buf);
	out->append(reinterpret_cast<char *>(buf),
	    static_cast<size_t>(end - buf));
}

void
put_varint_field(std::string *out, uint32_t id, uint64_t v)
{
	put_varint(out, PerfettoPbMakeTag(static_cast<int32_t>(id),
	    PERFETTO_PB_WIRE_TYPE_VARINT));
	put_varint(out, v);
}

void
put_bytes_field(std::string *out, uint32_t id, const std::string &bytes)
{
	put_varint(out, PerfettoPbMakeTag(static_cast<int32_t>(id),
	    PERFETTO_PB_WIRE_TYPE_DELIMITED));
	put_varint(out, bytes.size());
	out->append(bytes);
}

void
store_packet(session *s, uint32_t target_buffer, std::string packet)
{
	if (target_buffer >= s->buffers.size())
		return;
	trace_buffer &b = s->buffers[target_buffer];
	b.size += packet.size();
	b.packets.push_back(std::move(packet));
	while (b.size > b.size_limit && !b.packets.empty()) {
		b.size -= b.packets.front().size();
		b.packets.pop_front();
	}
}

}  // namespace standin

struct PerfettoTracingSessionImpl {
	session s;
};

static std::atomic<uint64_t> g_next_session_id{1};

static PerfettoPbDecoder
decoder_over(const std::string &bytes)
{
	PerfettoPbDecoder d;
	d.read_ptr = reinterpret_cast<const uint8_t *>(bytes.data());
	d.end_ptr = d.read_ptr + bytes.size();
	return d;
}

static std::string
delimited(const PerfettoPbDecoderField &f)
{
	return std::string(reinterpret_cast<const char *>(f.value.delimited.start),
	    f.value.delimited.len);
}

static ds_request
parse_data_source(const std::string &ds_msg)
{
	ds_request r;
	r.target_buffer = 0;
	PerfettoPbDecoder d = decoder_over(ds_msg);
	for (PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
	    f.status == PERFETTO_PB_DECODER_OK;
	    f = PerfettoPbDecoderParseField(&d)) {
		if (f.id != 1 || f.wire_type != PERFETTO_PB_WIRE_TYPE_DELIMITED)
			continue;
		r.config = delimited(f);
		PerfettoPbDecoder c = decoder_over(r.config);
		for (PerfettoPbDecoderField g = PerfettoPbDecoderParseField(&c);
		    g.status == PERFETTO_PB_DECODER_OK;
		    g = PerfettoPbDecoderParseField(&c)) {
			if (g.id == 1 && g.wire_type == PERFETTO_PB_WIRE_TYPE_DELIMITED)
				r.name = delimited(g);
			else if (g.id == 2 && g.wire_type == PERFETTO_PB_WIRE_TYPE_VARINT)
				r.target_buffer = static_cast<uint32_t>(g.value.integer64);
		}
	}
	return r;
}

// The DataSourceConfig an instance gets: the service's own fields first,
// then the rest of what the trace config said, as it said it.
static std::string
instance_config(const session &s, const ds_request &r)
{
	std::string out;
	put_bytes_field(&out, 1, r.name);
	put_varint_field(&out, 2, r.target_buffer);
	if (s.duration_ms)
		put_varint_field(&out, 3, s.duration_ms);
	put_varint_field(&out, 4, s.id);
	PerfettoPbDecoder d = decoder_over(r.config);
	for (;;) {
		const uint8_t *start = d.read_ptr;
		PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
		if (f.status != PERFETTO_PB_DECODER_OK)
			break;
		if (f.id >= 1 && f.id <= 4)
			continue;
		out.append(reinterpret_cast<const char *>(start),
		    static_cast<size_t>(d.read_ptr - start));
	}
	return out;
}

extern "C" PerfettoTracingSessionImpl *
PerfettoTracingSessionSystemCreate(void)
{
	PerfettoTracingSessionImpl *ts = new PerfettoTracingSessionImpl;
	ts->s.in_process = false;
	ts->s.id = g_next_session_id.fetch_add(1);
	ts->s.started = ts->s.stopped = false;
	ts->s.duration_ms = 0;
	return ts;
}

extern "C" PerfettoTracingSessionImpl *
PerfettoTracingSessionInProcessCreate(void)
{
	PerfettoTracingSessionImpl *ts = PerfettoTracingSessionSystemCreate();
	ts->s.in_process = true;
	return ts;
}

extern "C" void
PerfettoTracingSessionSetup(PerfettoTracingSessionImpl *ts, void *cfg_begin,
                            size_t cfg_len)
{
	session &s = ts->s;
	s.trace_config.assign(static_cast<const char *>(cfg_begin), cfg_len);
	PerfettoPbDecoder d = decoder_over(s.trace_config);
	std::lock_guard<std::mutex> lock(g_mutex);
	for (PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
	    f.status == PERFETTO_PB_DECODER_OK;
	    f = PerfettoPbDecoderParseField(&d)) {
		if (f.id == 1 && f.wire_type == PERFETTO_PB_WIRE_TYPE_DELIMITED) {
			trace_buffer b{1024 * 1024, 0, {}};
			std::string msg = delimited(f);
			PerfettoPbDecoder bd = decoder_over(msg);
			for (PerfettoPbDecoderField g = PerfettoPbDecoderParseField(&bd);
			    g.status == PERFETTO_PB_DECODER_OK;
			    g = PerfettoPbDecoderParseField(&bd))
				if (g.id == 1 && g.wire_type == PERFETTO_PB_WIRE_TYPE_VARINT)
					b.size_limit = g.value.integer64 * 1024;
			s.buffers.push_back(std::move(b));
		} else if (f.id == 2 &&
		    f.wire_type == PERFETTO_PB_WIRE_TYPE_DELIMITED) {
			s.requests.push_back(parse_data_source(delimited(f)));
		} else if (f.id == 3 && f.wire_type == PERFETTO_PB_WIRE_TYPE_VARINT) {
			s.duration_ms = static_cast<uint32_t>(f.value.integer64);
		}
	}
}

// Setup, then visible to iteration with the flag set, then start.
static void
start_instance(session &s, PerfettoDsImpl *ds, const ds_request &r)
{
	uint32_t slot_index;
	PerfettoDsOnSetupCb on_setup;
	PerfettoDsOnStartCb on_start;
	void *user_arg;
	std::string config;
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		for (slot_index = 0; slot_index < kMaxInstances; slot_index++)
			if (!ds->slots[slot_index].allocated)
				break;
		if (slot_index == kMaxInstances)
			return;  // the SDK serves at most this many at once
		instance_slot &slot = ds->slots[slot_index];
		slot.allocated = true;
		slot.generation.fetch_add(1, std::memory_order_acq_rel);
		slot.owner = &s;
		slot.target_buffer = r.target_buffer;
		slot.config = instance_config(s, r);
		config = slot.config;
		on_setup = ds->on_setup;
		on_start = ds->on_start;
		user_arg = ds->user_arg;
		s.instances.push_back({ds, slot_index});
	}
	void *inst_ctx = nullptr;
	if (on_setup)
		inst_ctx = on_setup(ds, slot_index, config.data(), config.size(),
		    user_arg, nullptr);
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		instance_slot &slot = ds->slots[slot_index];
		slot.inst_ctx = inst_ctx;
		slot.active = true;
		ds->active_mask.fetch_or(1u << slot_index, std::memory_order_acq_rel);
		ds->enabled.store(true, std::memory_order_release);
	}
	if (on_start)
		on_start(ds, slot_index, user_arg, inst_ctx, nullptr);
}

// Stop while still visible, then gone from iteration, then destroy.
static void
stop_instance(const instance_ref &ref)
{
	PerfettoDsImpl *ds = ref.ds;
	PerfettoDsOnStopCb on_stop;
	PerfettoDsOnDestroyCb on_destroy;
	void *user_arg, *inst_ctx;
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		on_stop = ds->on_stop;
		on_destroy = ds->on_destroy;
		user_arg = ds->user_arg;
		inst_ctx = ds->slots[ref.slot].inst_ctx;
	}
	if (on_stop)
		on_stop(ds, ref.slot, user_arg, inst_ctx, nullptr);
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		instance_slot &slot = ds->slots[ref.slot];
		slot.active = false;
		uint32_t left = ds->active_mask.fetch_and(~(1u << ref.slot),
		    std::memory_order_acq_rel) & ~(1u << ref.slot);
		if (left == 0)
			ds->enabled.store(false, std::memory_order_release);
	}
	if (on_destroy)
		on_destroy(ds, user_arg, inst_ctx);
	std::lock_guard<std::mutex> lock(g_mutex);
	instance_slot &slot = ds->slots[ref.slot];
	slot.allocated = false;
	slot.owner = nullptr;
}

extern "C" void
PerfettoTracingSessionStartBlocking(PerfettoTracingSessionImpl *ts)
{
	session &s = ts->s;
	if (s.started)
		return;
	s.started = true;
	if (!s.in_process || !g_in_process.load(std::memory_order_acquire))
		return;  // no system service to talk to
	if (s.buffers.empty()) {
		std::lock_guard<std::mutex> lock(g_mutex);
		s.buffers.push_back({1024 * 1024, 0, {}});
	}
	run_on_sdk_thread([&s] {
		std::vector<PerfettoDsImpl *> all;
		{
			std::lock_guard<std::mutex> lock(g_mutex);
			all = registered_data_sources();
		}
		for (const ds_request &r : s.requests)
			for (PerfettoDsImpl *ds : all)
				if (ds->name == r.name)
					start_instance(s, ds, r);
	});
}

extern "C" void
PerfettoTracingSessionStopBlocking(PerfettoTracingSessionImpl *ts)
{
	session &s = ts->s;
	if (!s.started || s.stopped)
		return;
	s.stopped = true;
	run_on_sdk_thread([&s] {
		for (const instance_ref &ref : s.instances)
			stop_instance(ref);
	});
	s.instances.clear();
}

extern "C" bool
PerfettoTracingSessionFlushBlocking(PerfettoTracingSessionImpl *, uint32_t)
{
	return true;  // packets are in the buffers as soon as they end
}

extern "C" void
PerfettoTracingSessionReadTraceBlocking(PerfettoTracingSessionImpl *ts,
                                        PerfettoTracingSessionReadCb cb,
                                        void *user_arg)
{
	session &s = ts->s;
	std::vector<std::string> packets;
	if (s.started && s.in_process) {
		// The service's own packet: the trace config, on its sequence.
		std::string own;
		put_bytes_field(&own, 33, s.trace_config);
		put_varint_field(&own, 3, getuid());
		put_varint_field(&own, 10, 1);
		packets.push_back(own);
	}
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		for (const trace_buffer &b : s.buffers)
			for (const std::string &p : b.packets)
				packets.push_back(p);
	}
	// Handed over in pieces of whole packets.
	std::string piece;
	for (size_t i = 0; i < packets.size(); i++) {
		put_bytes_field(&piece, 1, packets[i]);
		if (piece.size() >= 64 * 1024 && i + 1 < packets.size()) {
			cb(ts, piece.data(), piece.size(), true, user_arg);
			piece.clear();
		}
	}
	cb(ts, piece.data(), piece.size(), false, user_arg);
}

extern "C" void
PerfettoTracingSessionDestroy(PerfettoTracingSessionImpl *ts)
{
	PerfettoTracingSessionStopBlocking(ts);
	delete ts;
}
