// Probe firings as track events on the firing CPU's track: fbt entry opens
// a slice, any other fbt probe closes it, a kinst hit is an instant.
#include <sys/types.h>
#include <dtrace.h>
#include <stdint.h>
#include <string.h>

#include "dtrace/consumer.h"
#include "dtrace/cpu_track.h"
#include "perfetto/public/pb_msg.h"
#include "runtime/packet.h"

// TrackEvent fields.
enum {
	TRACK_EVENT_TYPE = 9,
	TRACK_EVENT_TRACK_UUID = 11,
	TRACK_EVENT_TIMESTAMP_ABSOLUTE_US = 16,
	TRACK_EVENT_CATEGORIES = 22,
	TRACK_EVENT_NAME = 23,
};

enum {
	TYPE_NONE = 0,
	TYPE_SLICE_BEGIN = 1,
	TYPE_SLICE_END = 2,
	TYPE_INSTANT = 3,
};

// "provider:function": both names are fixed arrays, so the text fits.
#define CATEGORY_SIZE \
	(sizeof(((dtrace_probedesc_t *)0)->dtpd_provider) + 1 + \
	sizeof(((dtrace_probedesc_t *)0)->dtpd_func))

// What one firing writes into every instance.  The texts are made once per
// firing (the category) or once per CPU (label and uuid, cpu_track_of), on
// the stack or in a table kept for the process: a firing allocates nothing.
struct probe_event {
	struct dtrace_consumer_state *st;
	const struct cpu_track *track;
	uint64_t timestamp;
	int type;
	std::atomic<uint32_t> *counter;	// null for other providers
	size_t category_len;
	char category[CATEGORY_SIZE];
};

static bool
field_is(const char *field, size_t size, const char *value)
{
	return strncmp(field, value, size) == 0;
}

// The names are fixed arrays: never read past them.
static size_t
append_name(char *dst, const char *name, size_t size)
{
	size_t n = strnlen(name, size);

	memcpy(dst, name, n);
	return n;
}

static void
make_category(struct probe_event *ev, const dtrace_probedesc_t *pd)
{
	size_t n;

	n = append_name(ev->category, pd->dtpd_provider,
	    sizeof(pd->dtpd_provider));
	ev->category[n++] = ':';
	n += append_name(ev->category + n, pd->dtpd_func, sizeof(pd->dtpd_func));
	ev->category_len = n;
}

// The packet's own time: a second `timestamp`, after the frame's.
static void
write_record_time(struct PerfettoPbMsg *packet, void *arg)
{
	const struct probe_event *ev = (const struct probe_event *)arg;

	PerfettoPbMsgAppendType0Field(packet, TRACE_PACKET_TIMESTAMP,
	    ev->timestamp);
}

static void
write_track_event(struct PerfettoPbMsg *msg, void *arg)
{
	const struct probe_event *ev = (const struct probe_event *)arg;

	PerfettoPbMsgAppendType2Field(msg, TRACK_EVENT_NAME,
	    (const uint8_t *)ev->track->label, ev->track->label_len);
	PerfettoPbMsgAppendType0Field(msg, TRACK_EVENT_TRACK_UUID,
	    ev->track->uuid);
	PerfettoPbMsgAppendType0Field(msg, TRACK_EVENT_TIMESTAMP_ABSOLUTE_US,
	    ev->timestamp / 1000);
	PerfettoPbMsgAppendType2Field(msg, TRACK_EVENT_CATEGORIES,
	    (const uint8_t *)ev->category, ev->category_len);
	if (ev->type != TYPE_NONE)
		PerfettoPbMsgAppendType0Field(msg, TRACK_EVENT_TYPE,
		    (uint64_t)ev->type);
}

static void
write_event(struct PerfettoDsTracerImpl *tracer, void *arg)
{
	struct probe_event *ev = (struct probe_event *)arg;

	packet_frame(tracer, TRACE_PACKET_TRACK_EVENT, write_track_event, ev,
	    write_record_time, ev);
	if (ev->counter != NULL)
		ev->counter->fetch_add(1, std::memory_order_relaxed);
}

// Every firing begins with a record header that holds its own time; this
// callback is the one place where the data points at it.  (FreeBSD's main
// branch also reports a dtpda_timestamp, but that is when the CPU buffer
// was snapshotted, one time for all of its firings; 13.x and 14.0 lack it.)
int
dtrace_probe_cb(const dtrace_probedata_t *data, void *arg)
{
	struct dtrace_consumer_state *st = (struct dtrace_consumer_state *)arg;
	dtrace_rechdr_t hdr;

	// The header is only 4-byte aligned.
	memcpy(&hdr, data->dtpda_data, sizeof(hdr));
	st->firing_ns = DTRACE_RECORD_LOAD_TIMESTAMP(&hdr);
	return DTRACE_CONSUME_THIS;
}

int
dtrace_record_cb(const dtrace_probedata_t *data, const dtrace_recdesc_t *rec,
    void *arg)
{
	struct dtrace_consumer_state *st = (struct dtrace_consumer_state *)arg;

	// libdtrace calls once per data record of a firing (a clause with
	// D's default action has none) and then once without a record: the
	// latter is the firing, whatever the clause recorded.
	if (rec != NULL)
		return DTRACE_CONSUME_THIS;
	if (!ds_is_enabled(&kfunc_ds))
		return DTRACE_CONSUME_THIS;

	const dtrace_probedesc_t *pd = data->dtpda_pdesc;
	struct cpu_track scratch;
	struct probe_event ev;
	ev.st = st;
	ev.track = cpu_track_of(data->dtpda_cpu, &scratch);
	ev.timestamp = st->firing_ns;
	ev.type = TYPE_NONE;
	ev.counter = NULL;
	make_category(&ev, pd);
	if (field_is(pd->dtpd_provider, sizeof(pd->dtpd_provider), "kinst")) {
		ev.type = TYPE_INSTANT;
		ev.counter = &st->kinst_events;
	} else if (field_is(pd->dtpd_provider, sizeof(pd->dtpd_provider),
	    "fbt")) {
		ev.type = field_is(pd->dtpd_name, sizeof(pd->dtpd_name),
		    "entry") ? TYPE_SLICE_BEGIN : TYPE_SLICE_END;
		ev.counter = &st->fbt_events;
	}
	for_each_instance(&kfunc_ds, write_event, &ev);
	return DTRACE_CONSUME_THIS;
}
