// The simulated machine's statistics sources: one SATA disk ada0 with two
// partitions, CPU idle states and frequency, and a few interrupt sources.
// Counters grow at every read, so consecutive samples differ.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>

#include "sim/kernel.h"
#include "sim/sysstats.h"

namespace {

const int default_cpus = 4;

// Reads of each dynamic node since the machine was installed.
std::atomic<uint64_t> intrcnt_reads{0};
std::atomic<uint64_t> cx_reads[default_cpus];

// hw.intrcnt: per source, a count at the first read and a step per read.
// Zero sources are allocated but never fire; source 3 fired once long ago.
struct intr_source {
	uint64_t	base;
	uint64_t	step;
};
const intr_source intr_sources[] = {
	{ 120000, 1000 },	// cpu0:timer
	{ 0, 0 },		// stray
	{ 5300, 7 },		// ahci0
	{ 42, 0 },		// atkbd0
	{ 0, 0 },
	{ 870, 3 },		// em0:rxq0
	{ 610, 2 },		// em0:txq0
	{ 0, 0 },
	{ 118000, 1000 },	// cpu1:timer
	{ 117500, 1000 },	// cpu2:timer
	{ 117900, 1000 },	// cpu3:timer
	{ 0, 0 },
};

void
gen_intrcnt(std::string *out, void *)
{
	uint64_t n = intrcnt_reads.fetch_add(1, std::memory_order_relaxed);
	for (const intr_source &src : intr_sources) {
		unsigned long v = src.base + n * src.step;
		out->append(reinterpret_cast<const char *>(&v), sizeof v);
	}
}

// dev.cpu.N.cx_duration_counters: microseconds spent in C1 and C2.
void
gen_cx_durations(std::string *out, void *arg)
{
	int cpu = static_cast<int>(reinterpret_cast<intptr_t>(arg));
	uint64_t n = cx_reads[cpu].fetch_add(1, std::memory_order_relaxed);
	char text[64];
	snprintf(text, sizeof text, "%llu %llu",
	    (unsigned long long)(250000 + 10000 * cpu + n * 1500),
	    (unsigned long long)(4000000 + 20000 * cpu + n * 80000));
	out->append(text, strlen(text) + 1);
}

void
default_disk(void)
{
	sim_geom_add_disk("ada0", 512, 256060514304LL);
	sim_geom_add_partition("ada0", "ada0p1");
	sim_geom_add_partition("ada0", "ada0p2");

	sim_disk_stats st{};
	st.bytes_read = 1523712000;
	st.bytes_written = 734003200;
	st.reads = 97000;
	st.writes = 41000;
	st.read_time = sim_bintime_ns(58250000000ULL);
	st.write_time = sim_bintime_ns(31500000000ULL);
	sim_geom_set_stats("ada0", &st);
	sim_disk_stats step{};
	step.bytes_read = 65536;
	step.bytes_written = 16384;
	step.reads = 8;
	step.writes = 2;
	step.read_time = sim_bintime_ns(1200000);
	step.write_time = sim_bintime_ns(400000);
	sim_geom_set_growth("ada0", &step);

	// The partitions share out the disk's traffic.
	st.bytes_read /= 2;
	st.bytes_written /= 2;
	step.bytes_read /= 2;
	step.bytes_written /= 2;
	sim_geom_set_stats("ada0p1", &st);
	sim_geom_set_growth("ada0p1", &step);
	sim_geom_set_stats("ada0p2", &st);
	sim_geom_set_growth("ada0p2", &step);
}

}  // namespace

void
sim_intrcnt_set(const uint64_t *counters, size_t count)
{
	static_assert(sizeof(unsigned long) == sizeof(uint64_t),
	    "hw.intrcnt holds u_long counters");
	sim_sysctl_set("hw.intrcnt", counters, count * sizeof(uint64_t));
}

void
sim_cpu_cx_set(int cpu, const char *method, const char *durations)
{
	char name[64];
	snprintf(name, sizeof name, "dev.cpu.%d.cx_method", cpu);
	if (method != nullptr)
		sim_sysctl_set_string(name, method);
	else
		sim_sysctl_remove(name);
	snprintf(name, sizeof name, "dev.cpu.%d.cx_duration_counters", cpu);
	if (durations != nullptr)
		sim_sysctl_set_string(name, durations);
	else
		sim_sysctl_remove(name);
}

void
sim_cpu_freq_set(int cpu, int mhz)
{
	char name[64];
	snprintf(name, sizeof name, "dev.cpu.%d.freq", cpu);
	sim_sysctl_set_int(name, mhz);
}

void
sim_default_sysstats(void)
{
	intrcnt_reads.store(0, std::memory_order_relaxed);
	sim_sysctl_set_dynamic("hw.intrcnt", gen_intrcnt, nullptr);

	// Only the first CPU's cpufreq device carries the frequency node.
	sim_cpu_freq_set(0, 2400);
	for (int cpu = 0; cpu < default_cpus; cpu++) {
		char name[64];
		cx_reads[cpu].store(0, std::memory_order_relaxed);
		snprintf(name, sizeof name, "dev.cpu.%d.cx_method", cpu);
		sim_sysctl_set_string(name, "C1/mwait/hwc C2/mwait/hwc");
		snprintf(name, sizeof name, "dev.cpu.%d.cx_duration_counters",
		    cpu);
		sim_sysctl_set_dynamic(name, gen_cx_durations,
		    reinterpret_cast<void *>(static_cast<intptr_t>(cpu)));
	}

	sim_geom_reset();
	default_disk();
}

void
sim_clear_sysstats(void)
{
	sim_geom_reset();
}
