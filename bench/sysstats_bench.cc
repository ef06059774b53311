// One statistics pass on machines of 4, 64 and 256 CPUs; the cost should
// grow linearly with the CPU count.  Each size also times the sections
// alone, to show where a pass spends its time.
#include <benchmark/benchmark.h>

#include <sys/types.h>
#include <sys/resource.h>
#include <sys/sysctl.h>

#include <string>
#include <vector>

#include "harness/capture.h"
#include "harness/tracing.h"
#include "sim/kernel.h"
#include "sim/sysstats.h"
#include "sysstats/cpu_data.h"
#include "sysstats/cpufreq_data.h"
#include "sysstats/cpuidle_data.h"
#include "sysstats/disk_data.h"
#include "sysstats/intrcnt_data.h"
#include "sysstats/sysstats.h"

namespace {

// A machine of `ncpus` CPUs, every one with a frequency and three idle
// states, then the CPU table learnt again as at start-up.
void
machine_of(int ncpus)
{
	static bool started;
	capture_begin();
	if (!started) {
		started = true;
		sim_kernel_reset();
		tracing_init_in_process();
		sysstats_start();
	}
	sim_sysctl_set_int("kern.smp.maxcpus", ncpus);
	std::vector<long> times((size_t)ncpus * CPUSTATES);
	for (size_t i = 0; i < times.size(); i++)
		times[i] = 1000 + (long)i;
	sim_sysctl_set_longs("kern.cp_times", times.data(), times.size());
	for (int cpu = 0; cpu < ncpus; cpu++) {
		sim_cpu_freq_set(cpu, 2400);
		sim_cpu_cx_set(cpu, "C1/mwait/hwc C2/mwait/hwc C3/mwait/hwc",
		    "250000 4000000 900000");
	}
	setup_cpu_data();
	capture_end();
}

void
BM_sysstats_pass(benchmark::State &bs)
{
	int ncpus = (int)bs.range(0);
	machine_of(ncpus);
	struct test_session *s = session_start(SYSSTATS_DATA_SOURCE);
	for (auto _ : bs)
		sysstats_pass();
	bs.SetItemsProcessed((int64_t)bs.iterations());
	bs.counters["cpus"] = ncpus;
	bs.counters["ns_per_cpu"] = benchmark::Counter(
	    (double)bs.iterations() * ncpus,
	    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
	session_read_and_destroy(s);
}
BENCHMARK(BM_sysstats_pass)->Arg(4)->Arg(64)->Arg(256);

// One section alone over a message of its own into a flat buffer.
typedef void (*section_fn)(struct PerfettoPbMsg *);

void
section(benchmark::State &bs, section_fn fn)
{
	static uint8_t buf[1 << 20];
	struct PerfettoPbMsgWriter w;
	struct PerfettoPbMsg msg;

	machine_of((int)bs.range(0));
	for (auto _ : bs) {
		w.writer.impl = nullptr;
		w.writer.begin = w.writer.write_ptr = buf;
		w.writer.end = buf + sizeof buf;
		w.writer.written_previously = 0;
		PerfettoPbMsgInit(&msg, &w);
		fn(&msg);
		benchmark::DoNotOptimize(w.writer.write_ptr);
	}
}

void BM_section_disk(benchmark::State &bs) { section(bs, populate_disk_data); }
void BM_section_intrcnt(benchmark::State &bs) { section(bs, populate_intrcnt_data); }
void BM_section_cpu(benchmark::State &bs) { section(bs, populate_cpu_data); }
void BM_section_cpufreq(benchmark::State &bs) { section(bs, populate_cpufreq_data); }
void BM_section_cpuidle(benchmark::State &bs) { section(bs, populate_cpuidle_data); }
BENCHMARK(BM_section_disk)->Arg(4)->Arg(256);
BENCHMARK(BM_section_intrcnt)->Arg(4)->Arg(256);
BENCHMARK(BM_section_cpu)->Arg(4)->Arg(64)->Arg(256);
BENCHMARK(BM_section_cpufreq)->Arg(4)->Arg(64)->Arg(256);
BENCHMARK(BM_section_cpuidle)->Arg(4)->Arg(64)->Arg(256);

// The kernel's part of the per-CPU sections: the three reads by name that
// they make for every CPU, without the daemon's formatting and parsing.
void
BM_kernel_cpu_reads(benchmark::State &bs)
{
	int ncpus = (int)bs.range(0);
	std::vector<std::string> names;
	char value[129];
	size_t len;

	machine_of(ncpus);
	for (int cpu = 0; cpu < ncpus; cpu++)
		for (const char *node : { "freq", "cx_method",
		    "cx_duration_counters" })
			names.push_back("dev.cpu." + std::to_string(cpu) + "." +
			    node);
	for (auto _ : bs)
		for (const std::string &name : names) {
			len = 128;
			sysctlbyname(name.c_str(), value, &len, NULL, 0);
		}
	bs.counters["ns_per_cpu"] = benchmark::Counter(
	    (double)bs.iterations() * ncpus,
	    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_kernel_cpu_reads)->Arg(4)->Arg(64)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
