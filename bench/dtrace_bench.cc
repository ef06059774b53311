// The DTrace record callback against a baseline that writes the same
// packets from a precomputed label, uuid and category text; one and two
// active instances.  Events are packets written: a firing seen by two
// instances is two events.
#include <benchmark/benchmark.h>

#include <string.h>

#include <string>
#include <vector>

#include "dtrace/consumer.h"
#include "dtrace/cpu_track.h"
#include "harness/capture.h"
#include "harness/tracing.h"
#include "perfetto/public/pb_msg.h"
#include "runtime/packet.h"
#include "sim/dtrace.h"
#include "sim/kernel.h"

namespace {

struct dtrace_consumer_state state;

// One prepared firing: its record header, probe description and data, and
// what the baseline writes for it.
struct prepared {
	dtrace_rechdr_t hdr;
	dtrace_probedesc_t pd;
	dtrace_probedata_t data;
	std::string label;
	uint64_t uuid;
	std::string category;
	uint64_t ns;
	int type;
};

const int NRECORDS = 64;
std::vector<prepared> records(NRECORDS);

void
prepare_records(void)
{
	static const char *const functions[] = { "f", "vm_fault", "amd64_syscall" };
	for (int i = 0; i < NRECORDS; i++) {
		prepared &r = records[i];
		int cpu = i % 8;
		bool kinst = i % 5 == 4;
		memset(&r.hdr, 0, sizeof r.hdr);
		memset(&r.pd, 0, sizeof r.pd);
		memset(&r.data, 0, sizeof r.data);
		r.ns = 1000000000ull + 977u * (uint64_t)i;
		r.hdr.dtrh_epid = 1;
		DTRACE_RECORD_STORE_TIMESTAMP(&r.hdr, r.ns);
		strcpy(r.pd.dtpd_provider, kinst ? "kinst" : "fbt");
		strcpy(r.pd.dtpd_mod, kinst ? "" : "kernel");
		strcpy(r.pd.dtpd_func, functions[i % 3]);
		strcpy(r.pd.dtpd_name, kinst ? "4" : (i % 2 ? "return" : "entry"));
		r.data.dtpda_pdesc = &r.pd;
		r.data.dtpda_cpu = cpu;
		r.data.dtpda_data = (caddr_t)&r.hdr;
		r.label = "CPU " + std::to_string(cpu);
		r.uuid = cpu_track_uuid(cpu);
		r.category = std::string(r.pd.dtpd_provider) + ":" +
		    r.pd.dtpd_func;
		r.type = kinst ? 3 : (i % 2 ? 2 : 1);
	}
}

void
start_daemon(void)
{
	static bool started;
	if (started)
		return;
	started = true;
	sim_kernel_reset();
	sim_dtrace_set_autofire(false);
	sim_dtrace_set_functions({ "f", "vm_fault", "amd64_syscall" });
	tracing_init_in_process();
	kfunc_start(&state);
	prepare_records();
}

std::vector<struct test_session *>
start_sessions(int n)
{
	std::vector<struct test_session *> out;
	std::string config = pb_bytes_field(143, pb_bytes_field(1, "f"));
	capture_begin();
	for (int i = 0; i < n; i++)
		out.push_back(session_start("dtrace", config));
	capture_end();
	return out;
}

void
finish_sessions(const std::vector<struct test_session *> &sessions)
{
	capture_begin();
	for (struct test_session *s : sessions)
		session_read_and_destroy(s);
	capture_end();
}

// Runs one firing a benchmark iteration through `fire`, with as many
// sessions as the benchmark's argument.
void
run_firings(benchmark::State &bs, void (*fire)(prepared &))
{
	start_daemon();
	int instances = (int)bs.range(0);
	std::vector<struct test_session *> sessions = start_sessions(instances);
	size_t i = 0;
	for (auto _ : bs)
		fire(records[i++ % NRECORDS]);
	bs.SetItemsProcessed((int64_t)bs.iterations() * instances);
	finish_sessions(sessions);
}

void
daemon_firing(prepared &r)
{
	dtrace_probe_cb(&r.data, &state);
	dtrace_record_cb(&r.data, nullptr, &state);
}

void
BM_record_cb(benchmark::State &bs)
{
	run_firings(bs, daemon_firing);
}
BENCHMARK(BM_record_cb)->Arg(1)->Arg(2);

// The baseline: the same frame and fields, nothing formatted or hashed.
void
write_root(struct PerfettoPbMsg *packet, void *arg)
{
	const prepared *r = (const prepared *)arg;
	PerfettoPbMsgAppendType0Field(packet, TRACE_PACKET_TIMESTAMP, r->ns);
}

void
write_event(struct PerfettoPbMsg *msg, void *arg)
{
	const prepared *r = (const prepared *)arg;
	PerfettoPbMsgAppendType2Field(msg, 23, (const uint8_t *)r->label.data(),
	    r->label.size());
	PerfettoPbMsgAppendType0Field(msg, 11, r->uuid);
	PerfettoPbMsgAppendType0Field(msg, 16, r->ns / 1000);
	PerfettoPbMsgAppendType2Field(msg, 22,
	    (const uint8_t *)r->category.data(), r->category.size());
	PerfettoPbMsgAppendType0Field(msg, 9, (uint64_t)r->type);
}

void
write_instance(struct PerfettoDsTracerImpl *tracer, void *arg)
{
	packet_frame(tracer, TRACE_PACKET_TRACK_EVENT, write_event, arg,
	    write_root, arg);
}

void
baseline_firing(prepared &r)
{
	if (ds_is_enabled(&kfunc_ds))
		for_each_instance(&kfunc_ds, write_instance, &r);
}

void
BM_baseline(benchmark::State &bs)
{
	run_firings(bs, baseline_firing);
}
BENCHMARK(BM_baseline)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
