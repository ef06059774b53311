#include "kfunc_fixture.h"

#include <string.h>
#include <unistd.h>

#include "runtime/packet.h"
#include "sim/kernel.h"

struct dtrace_consumer_state kfunc_state;

std::atomic<unsigned> idle_sleeps{ 0 };
std::atomic<unsigned> last_idle_us{ 0 };

void
kfunc_daemon_start(void)
{
	sim_kernel_reset();
	sim_dtrace_set_autofire(false);
	sim_dtrace_set_functions({ "f", "g", "h" });
	sim_dtrace_set_sleep_ns(1000000);
	tracing_init_in_process();
	kfunc_start(&kfunc_state);
}

std::string
dtrace_config(const dtrace_entries &entries)
{
	std::string payload;
	for (const auto &e : entries)
		payload += pb_bytes_field(e.first, e.second);
	return pb_bytes_field(143, payload);
}

std::string
service_config(const std::string &field143)
{
	// target_buffer, then the DtraceConfig, then tracing_session_id and a
	// field of a later release that the daemon does not know.
	return pb_varint_field(2, 0) + field143 + pb_varint_field(4, 77) +
	    pb_bytes_field(100, "x");
}

struct test_session *
kfunc_session_start(const std::string &extra, std::string *out,
                    std::string *err)
{
	capture_begin();
	struct test_session *s = session_start("dtrace", extra);
	struct captured_output o = capture_end();
	if (out != nullptr)
		*out = o.out;
	if (err != nullptr)
		*err = o.err;
	return s;
}

std::string
kfunc_session_finish(struct test_session *s, std::string *out)
{
	capture_begin();
	session_stop(s);
	struct captured_output o = capture_end();
	if (out != nullptr)
		*out = o.out;
	return session_read_and_destroy(s);
}

static void
record_idle(unsigned int usec)
{
	idle_sleeps.fetch_add(1);
	last_idle_us.store(usec);
	usleep(1000);
}

void
loop_pass(void)
{
	dtrace_consumer_pass(&kfunc_state, record_idle);
}

void
drain(int max)
{
	for (int i = 0; i < max; i++) {
		loop_pass();
		if (sim_dtrace_pending() == 0)
			return;
	}
}

void
loop_thread_start(struct loop_thread *lt)
{
	lt->quit.store(false);
	lt->thread = std::thread([lt] {
		while (!lt->quit.load(std::memory_order_acquire))
			loop_pass();
	});
}

void
loop_thread_stop(struct loop_thread *lt)
{
	lt->quit.store(true, std::memory_order_release);
	lt->thread.join();
}

struct sim_dtrace_firing
firing(int cpu, const char *provider, const char *function, const char *name,
       uint64_t timestamp)
{
	return sim_dtrace_firing{ cpu, provider,
	    std::string(provider) == "fbt" ? "kernel" : "", function, name,
	    timestamp, 0 };
}

int
consume_directly(uint64_t ns)
{
	dtrace_rechdr_t hdr;
	memset(&hdr, 0, sizeof(hdr));
	hdr.dtrh_epid = 1;
	DTRACE_RECORD_STORE_TIMESTAMP(&hdr, ns);
	dtrace_probedesc_t pd;
	memset(&pd, 0, sizeof(pd));
	strcpy(pd.dtpd_provider, "fbt");
	strcpy(pd.dtpd_mod, "kernel");
	strcpy(pd.dtpd_func, "f");
	strcpy(pd.dtpd_name, "entry");
	dtrace_probedata_t data;
	memset(&data, 0, sizeof(data));
	data.dtpda_pdesc = &pd;
	data.dtpda_cpu = 0;
	data.dtpda_data = (caddr_t)&hdr;

	if (dtrace_probe_cb(&data, &kfunc_state) != DTRACE_CONSUME_THIS)
		return -1;
	return dtrace_record_cb(&data, nullptr, &kfunc_state);
}

std::vector<perfetto::protos::TracePacket>
event_packets(const std::string &t)
{
	return producer_packets(t, TRACE_PACKET_TRACK_EVENT);
}
