// Machine files: what a file describes is what the kernel interfaces
// report, counters advance at the file's rates, and a malformed file is
// refused with its position (and ends a daemon process with status 78).
#include <sys/types.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <dev/acpica/acpiio.h>
#include <dtrace.h>
#include <libgeom.h>

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness/capture.h"
#include "power/device_io.h"
#include "sim/dtrace.h"
#include "sim/kernel.h"
#include "sim/machine.h"
#include "sim/power.h"
#include "sim/sysstats.h"

namespace {

uint64_t
mono_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

void
sleep_ms(int ms)
{
	std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A file of its own for each test and name: a death test's child, which
// runs the test again, writes the same path.
std::string
machine_file(const std::string &name, const std::string &text)
{
	const ::testing::TestInfo *t =
	    ::testing::UnitTest::GetInstance()->current_test_info();
	std::string path = ::testing::TempDir() + "machine_" +
	    t->test_suite_name() + "_" + t->name() + "_" + name + ".txtpb";
	FILE *f = fopen(path.c_str(), "w");
	EXPECT_NE(f, nullptr) << path;
	if (f != nullptr) {
		fputs(text.c_str(), f);
		fclose(f);
	}
	return path;
}

std::string
example_path(void)
{
	std::string here = __FILE__;	// .../tests/sim/machine_file_test.cc
	return here.substr(0, here.rfind("/tests/")) +
	    "/standins/freebsd/machine/example.txtpb";
}

// The window of seconds since installation in which a read happened: the
// machine was installed between `l0` and `l1`, the read was made between
// `r0` and `r1`.
struct window {
	double lo, hi;
};

window
window_of(uint64_t l0, uint64_t l1, uint64_t r0, uint64_t r1)
{
	return {(double)(r0 - l1) / 1e9, (double)(r1 - l0) / 1e9};
}

// What a counter with `start` and `rate` may read in window `w`.
void
expect_counter(uint64_t value, uint64_t start, double rate, window w,
    const std::string &what)
{
	EXPECT_GE(value, start + (uint64_t)floor(rate * w.lo)) << what;
	EXPECT_LE(value, start + (uint64_t)floor(rate * w.hi)) << what;
}

int
read_int(const char *name, int *err = nullptr)
{
	int v = -1;
	size_t len = sizeof v;
	errno = 0;
	int r = sysctlbyname(name, &v, &len, nullptr, 0);
	if (err != nullptr)
		*err = r == 0 ? 0 : errno;
	else
		EXPECT_EQ(r, 0) << name << ": " << strerror(errno);
	return v;
}

std::string
read_string(const char *name)
{
	char buf[256] = {};
	size_t len = sizeof buf;
	EXPECT_EQ(sysctlbyname(name, buf, &len, nullptr, 0), 0) << name;
	return std::string(buf);
}

template <typename T>
std::vector<T>
read_array(const char *name)
{
	std::vector<T> v(4096);
	size_t len = v.size() * sizeof(T);
	EXPECT_EQ(sysctlbyname(name, v.data(), &len, nullptr, 0), 0) << name;
	v.resize(len / sizeof(T));
	return v;
}

// Providers of the GEOM tree as "CLASS/geom:rank/provider:sectorsize".
std::vector<std::string>
providers(void)
{
	std::vector<std::string> seen;
	struct gmesh mesh;
	EXPECT_EQ(geom_gettree(&mesh), 0);
	struct gclass *cls;
	LIST_FOREACH(cls, &mesh.lg_class, lg_class) {
		struct ggeom *gp;
		LIST_FOREACH(gp, &cls->lg_geom, lg_geom) {
			struct gprovider *pp;
			LIST_FOREACH(pp, &gp->lg_provider, lg_provider)
				seen.push_back(std::string(cls->lg_name) + "/" +
				    gp->lg_name + ":" +
				    std::to_string(gp->lg_rank) + "/" +
				    pp->lg_name + ":" +
				    std::to_string(pp->lg_sectorsize));
		}
	}
	geom_deletetree(&mesh);
	return seen;
}

int
battery_request(unsigned long req, union acpi_battery_ioctl_arg *arg)
{
	int fd = device_open("/dev/acpi", O_RDONLY);
	if (fd == -1)
		return errno;
	memset(arg, 0, sizeof *arg);
	arg->unit = 0;
	int r = device_ioctl(fd, req, arg) == 0 ? 0 : errno;
	device_close(fd);
	return r;
}

// Whether a D program of `text` compiles: the kernel has its functions.
bool
compiles(const char *text)
{
	int err;
	dtrace_hdl_t *h = dtrace_open(DTRACE_VERSION, 0, &err);
	if (h == nullptr)
		return false;
	bool ok = dtrace_program_strcompile(h, text, DTRACE_PROBESPEC_NAME, 0,
	    0, nullptr) != nullptr;
	dtrace_close(h);
	return ok;
}

class MachineFile : public ::testing::Test {
protected:
	void SetUp() override { sim_kernel_reset(); }
	void TearDown() override { sim_kernel_reset(); }

	// Loads `text`, between l0 and l1.
	void
	load(const std::string &text)
	{
		std::string path = machine_file("load", text);
		std::string error;
		l0 = mono_ns();
		bool ok = sim_machine_load(path.c_str(), &error);
		l1 = mono_ns();
		ASSERT_TRUE(ok) << error;
	}

	uint64_t l0 = 0, l1 = 0;
};

TEST_F(MachineFile, ExampleFileInstallsWhatItSays)
{
	std::string error;
	ASSERT_TRUE(sim_machine_load(example_path().c_str(), &error)) << error;
	EXPECT_EQ(read_int("kern.smp.maxcpus"), 8);
	EXPECT_EQ(read_int("hw.ncpu"), 4);
	EXPECT_EQ(read_array<long>("kern.cp_times").size(), 4u * CPUSTATES);
	EXPECT_EQ(read_string("dev.cpu.3.cx_method"),
	    "C1/mwait/hwc C2/mwait/hwc C3/mwait/hwc");
	EXPECT_EQ(read_array<unsigned long>("hw.intrcnt").size(), 10u);
	EXPECT_EQ(providers(), (std::vector<std::string>{"DISK/nda0:1/nda0:512",
	    "PART/nda0:2/nda0p1:512", "PART/nda0:2/nda0p2:512"}));
	union acpi_battery_ioctl_arg arg;
	ASSERT_EQ(battery_request(ACPIIO_BATT_GET_BIX, &arg), 0);
	EXPECT_EQ(arg.bix.units, (uint32_t)ACPI_BIX_UNITS_MA);
	EXPECT_TRUE(compiles("kinst::malloc:0\nfbt:kernel:amd64_syscall:entry"));
	EXPECT_FALSE(compiles("fbt:kernel:vn_read:entry"));
}

TEST_F(MachineFile, SysctlCountersStartAndAdvanceAtTheirRates)
{
	load(R"(
		cpus {
		  max_cpus: 16
		  cpu {
		    id: 0
		    ticks_per_second { user: 10 nice: 2 sys: 6 intr: 1 }
		    idle_state { method: "C1/mwait/hwc" start_us: 1000 us_per_second: 250000 }
		    idle_state { method: "C2/io/hwc" }
		  }
		  cpu {
		    id: 5
		    ticks_per_second { user: 100 sys: 28.5 idle: 0 }
		    start { user: 7 nice: 8 sys: 9 intr: 10 idle: 11 }
		    freq_mhz: 1800
		  }
		}
		interrupt { name: "a" start: 5 per_second: 1000 }
		interrupt { name: "b" }
		interrupt { start: 42 per_second: 0.5 }
		rapl {
		  pp0 { start: 1000 per_ms: 3 }
		  pp1 { present: false }
		  platform { start: 77 }
		}
	)");
	EXPECT_EQ(read_int("kern.smp.maxcpus"), 16);
	EXPECT_EQ(read_int("kern.smp.cpus"), 2);
	EXPECT_EQ(read_int("hw.ncpu"), 2);
	EXPECT_EQ(read_int("kern.smp.maxid"), 5);
	EXPECT_EQ(read_int("dev.cpu.5.freq"), 1800);
	// The default machine's per-CPU nodes went with its CPUs.
	int err;
	read_int("dev.cpu.0.freq", &err);
	EXPECT_EQ(err, ENOENT);
	read_int("dev.cpu.1.cx_method", &err);
	EXPECT_EQ(err, ENOENT);
	EXPECT_EQ(read_string("dev.cpu.0.cx_method"), "C1/mwait/hwc C2/io/hwc");

	// Rates per slot (idle takes what the others leave of 128), and
	// starts: given, or ten minutes' worth.
	const double rate[6][CPUSTATES] = {
	    {10, 2, 6, 1, 109}, {}, {}, {}, {}, {100, 0, 28.5, 0, 0}};
	const uint64_t start[6][CPUSTATES] = {
	    {6000, 1200, 3600, 600, 65400}, {}, {}, {}, {}, {7, 8, 9, 10, 11}};
	for (int pass = 0; pass < 2; pass++) {
		if (pass == 1)
			sleep_ms(150);
		uint64_t r0 = mono_ns();
		std::vector<long> cp = read_array<long>("kern.cp_times");
		std::vector<long> sum = read_array<long>("kern.cp_time");
		std::vector<unsigned long> irq =
		    read_array<unsigned long>("hw.intrcnt");
		unsigned long long c1 = 0, c2 = 99;
		ASSERT_EQ(sscanf(read_string("dev.cpu.0.cx_duration_counters")
		    .c_str(), "%llu %llu", &c1, &c2), 2);
		uint64_t r1 = mono_ns();
		window w = window_of(l0, l1, r0, r1);

		ASSERT_EQ(cp.size(), 6u * CPUSTATES);
		for (int cpu = 0; cpu < 6; cpu++)
			for (int s = 0; s < CPUSTATES; s++)
				expect_counter((uint64_t)cp[cpu * CPUSTATES + s],
				    start[cpu][s], rate[cpu][s], w, "cpu " +
				    std::to_string(cpu) + " slot " +
				    std::to_string(s));
		ASSERT_EQ(sum.size(), (size_t)CPUSTATES);
		EXPECT_EQ(sum[CP_USER], cp[CP_USER] + cp[5 * CPUSTATES + CP_USER]);
		expect_counter(c1, 1000, 250000, w, "C1");
		EXPECT_EQ(c2, 0u);
		ASSERT_EQ(irq.size(), 3u);
		expect_counter(irq[0], 5, 1000, w, "irq 0");
		EXPECT_EQ(irq[1], 0u);
		expect_counter(irq[2], 42, 0.5, w, "irq 2");
	}

	// RAPL: pp0 grows per whole millisecond, pp1 is gone, platform is
	// fixed, dram is the default machine's.
	uint64_t r0 = mono_ns();
	uint64_t pp0 = 0, platform = 0, dram = 0;
	size_t len = sizeof pp0;
	ASSERT_EQ(sysctlbyname("dev.intel_rapl.0.pp0", &pp0, &len, nullptr, 0), 0);
	uint64_t r1 = mono_ns();
	window w = window_of(l0, l1, r0, r1);
	EXPECT_GE(pp0, 1000 + 3 * (uint64_t)floor(w.lo * 1000));
	EXPECT_LE(pp0, 1000 + 3 * (uint64_t)floor(w.hi * 1000));
	EXPECT_EQ(sysctlbyname("dev.intel_rapl.0.pp1", &pp0, &len, nullptr, 0), -1);
	EXPECT_EQ(errno, ENOENT);
	ASSERT_EQ(sysctlbyname("dev.intel_rapl.0.platform", &platform, &len,
	    nullptr, 0), 0);
	EXPECT_EQ(platform, 77u);
	ASSERT_EQ(sysctlbyname("dev.intel_rapl.0.dram", &dram, &len, nullptr, 0), 0);
	EXPECT_GE(dram, 0x0456789abcull);
}

TEST_F(MachineFile, DisksReplaceTheGraphAndGrowPerSecond)
{
	load(R"(
		disk {
		  name: "da0"
		  sector_size: 4096
		  media_size: 1000000000
		  start { bytes_read: 1000 reads: 10 read_time_ns: 1500000000 }
		  per_second { bytes_read: 1000000 writes: 100 write_time_ns: 2e8 }
		  partition { name: "da0p1" start { bytes_written: 55 } }
		}
		disk { name: "da1" }
	)");
	EXPECT_EQ(providers(), (std::vector<std::string>{"DISK/da0:1/da0:4096",
	    "DISK/da1:1/da1:512", "PART/da0:2/da0p1:4096"}));
	sim_disk_stats st;
	EXPECT_FALSE(sim_geom_get_stats("ada0", &st));
	ASSERT_TRUE(sim_geom_get_stats("da0p1", &st));
	EXPECT_EQ(st.bytes_written, 55u);

	// The records are brought up to date every few milliseconds: never
	// ahead of the rates, and they get there.
	uint64_t deadline = mono_ns() + 5000000000ull;
	for (;;) {
		ASSERT_TRUE(sim_geom_get_stats("da0", &st));
		uint64_t r1 = mono_ns();
		window w = window_of(l0, l1, l0, r1);
		EXPECT_LE(st.bytes_read, 1000 + (uint64_t)floor(1e6 * w.hi));
		EXPECT_LE(st.writes, (uint64_t)floor(100 * w.hi));
		EXPECT_EQ(st.reads, 10u);
		EXPECT_EQ(st.bytes_written, 0u);
		EXPECT_EQ(st.read_time.sec, 1);
		if (st.bytes_read >= 1000 + 200000 || r1 > deadline)
			break;
		sleep_ms(10);
	}
	EXPECT_GE(st.bytes_read, 1000u + 200000u);
	EXPECT_GE(st.writes, 20u);
	EXPECT_GE(st.write_time.sec * 1000000000ull +
	    (uint64_t)((st.write_time.frac >> 32) * 1e9 / 4294967296.0),
	    40000000ull);
	ASSERT_TRUE(sim_geom_get_stats("da0p1", &st));
	EXPECT_EQ(st.bytes_written, 55u);
}

TEST_F(MachineFile, BatteryFieldsOverlayTheDefaultBattery)
{
	load(R"(
		acpi { battery {
		  units: MAH
		  status { cap: 1234 }
		  info { min: -1 state: 2 }
		} }
	)");
	struct sim_battery d = sim_battery_default();
	union acpi_battery_ioctl_arg arg;
	ASSERT_EQ(battery_request(ACPIIO_BATT_GET_BST, &arg), 0);
	EXPECT_EQ(arg.bst.state, d.bst.state);
	EXPECT_EQ(arg.bst.rate, d.bst.rate);
	EXPECT_EQ(arg.bst.cap, 1234u);
	EXPECT_EQ(arg.bst.volt, d.bst.volt);
	ASSERT_EQ(battery_request(ACPIIO_BATT_GET_BATTINFO, &arg), 0);
	EXPECT_EQ(arg.battinfo.cap, d.info.cap);
	EXPECT_EQ(arg.battinfo.min, -1);
	EXPECT_EQ(arg.battinfo.state, 2);
	EXPECT_EQ(arg.battinfo.rate, d.info.rate);
	ASSERT_EQ(battery_request(ACPIIO_BATT_GET_BIX, &arg), 0);
	EXPECT_EQ(arg.bix.units, (uint32_t)ACPI_BIX_UNITS_MA);

	load("acpi { battery { present: false } }");
	ASSERT_EQ(battery_request(ACPIIO_BATT_GET_BST, &arg), 0);
	EXPECT_EQ(arg.bst.state, (uint32_t)ACPI_BATT_STAT_NOT_PRESENT);
	EXPECT_EQ(battery_request(ACPIIO_BATT_GET_BIX, &arg), ENXIO);
}

// What a consumer saw of one firing, from its probe callback.
struct fired {
	int cpu;
	std::string probe;
	uint64_t timestamp;
};

int
note_firing(const dtrace_probedata_t *d, void *arg)
{
	dtrace_rechdr_t hdr;
	memcpy(&hdr, d->dtpda_data, sizeof hdr);
	const dtrace_probedesc_t *pd = d->dtpda_pdesc;
	static_cast<std::vector<fired> *>(arg)->push_back({d->dtpda_cpu,
	    std::string(pd->dtpd_provider) + ":" + pd->dtpd_mod + ":" +
	    pd->dtpd_func + ":" + pd->dtpd_name,
	    DTRACE_RECORD_LOAD_TIMESTAMP(&hdr)});
	return DTRACE_CONSUME_NEXT;
}

int
no_record(const dtrace_probedata_t *, const dtrace_recdesc_t *, void *)
{
	return DTRACE_CONSUME_NEXT;
}

TEST_F(MachineFile, KernelFunctionsFireOnTheirCpusAtTheirRates)
{
	load(R"(
		dtrace {
		  function { name: "f1" fbt { cpu: [1, 2] per_second: 200 duration_ns: 5000 } }
		  function { name: "f2" kinst { cpu: 1 per_second: 100 offset: 7 } }
		  function { name: "f3" }
		}
	)");
	// The file's list replaced the default one.
	EXPECT_FALSE(compiles("fbt:kernel:malloc:entry"));

	int err;
	dtrace_hdl_t *h = dtrace_open(DTRACE_VERSION, 0, &err);
	ASSERT_NE(h, nullptr);
	dtrace_prog_t *p = dtrace_program_strcompile(h,
	    "fbt:kernel:f1:entry\nfbt:kernel:f1:return\nkinst::f2:7\n"
	    "fbt:kernel:f3:entry\n", DTRACE_PROBESPEC_NAME, 0, 0, nullptr);
	ASSERT_NE(p, nullptr) << dtrace_errmsg(h, dtrace_errno(h));
	ASSERT_EQ(dtrace_program_exec(h, p, nullptr), 0);
	uint64_t go = mono_ns();
	ASSERT_EQ(dtrace_go(h), 0);
	std::vector<fired> seen;
	uint64_t deadline = go + 5000000000ull;
	std::map<std::string, int> count;
	while (mono_ns() < deadline && (count["fbt:kernel:f1:entry"] < 40 ||
	    count["kinst::f2:7"] < 10)) {
		dtrace_sleep(h);
		size_t before = seen.size();
		ASSERT_EQ(dtrace_work(h, nullptr, note_firing, no_record, &seen),
		    DTRACE_WORKSTATUS_OKAY);
		uint64_t now = mono_ns();
		// Queued within 50 ms of their time, once they have ended.
		for (size_t i = before; i < seen.size(); i++) {
			count[seen[i].probe]++;
			EXPECT_GE(seen[i].timestamp, go - 50000000);
			EXPECT_LE(seen[i].timestamp, now);
		}
	}
	uint64_t end = mono_ns();
	dtrace_close(h);
	EXPECT_GE(count["fbt:kernel:f1:entry"], 40);
	EXPECT_GE(count["kinst::f2:7"], 10);
	EXPECT_EQ(count["fbt:kernel:f3:entry"], 0);
	// At most the rate allows since installation, per CPU.
	double secs = (double)(end - l0) / 1e9;
	EXPECT_LE(count["fbt:kernel:f1:entry"], 2 * (int)(200 * secs + 1));
	EXPECT_LE(count["kinst::f2:7"], (int)(100 * secs + 1));

	// Per CPU: each entry followed by its return 5000 ns later (the last
	// return may come with a later dtrace_work), in time order, on CPUs 1
	// and 2 only; the kinst hits on CPU 1 fall between.
	std::map<int, std::vector<fired>> by_cpu;
	for (const fired &f : seen)
		by_cpu[f.cpu].push_back(f);
	EXPECT_EQ(by_cpu.size(), 2u);
	for (const auto &[cpu, list] : by_cpu) {
		EXPECT_TRUE(cpu == 1 || cpu == 2) << cpu;
		for (size_t i = 0; i < list.size(); i++) {
			if (i > 0) {
				EXPECT_GT(list[i].timestamp,
				    list[i - 1].timestamp);
			}
			if (list[i].probe == "kinst::f2:7") {
				EXPECT_EQ(cpu, 1);
				continue;
			}
			ASSERT_EQ(list[i].probe, "fbt:kernel:f1:entry");
			if (i + 1 == list.size())
				break;
			EXPECT_EQ(list[i + 1].probe, "fbt:kernel:f1:return");
			EXPECT_EQ(list[i + 1].timestamp, list[i].timestamp + 5000);
			i++;
		}
	}
}

TEST_F(MachineFile, FailuresAsTheFileNamesThem)
{
	load(R"(
		acpi { device: false }
		failures {
		  sysctl { name: "hw.intrcnt" error: "EIO" }
		  sysctl { name: "no.such.node" error_number: 77 }
		  dtrace { step: OPEN error_number: 1002 count: 1 }
		  dtrace { step: SETOPT option: "bufsize" error: "ENOMEM" }
		}
	)");
	int err;
	read_int("hw.intrcnt", &err);
	EXPECT_EQ(err, EIO);
	read_int("no.such.node", &err);
	EXPECT_EQ(err, 77);
	EXPECT_EQ(device_open("/dev/acpi", O_RDONLY), -1);
	EXPECT_EQ(errno, ENOENT);

	int open_err = 0;
	EXPECT_EQ(dtrace_open(DTRACE_VERSION, 0, &open_err), nullptr);
	EXPECT_EQ(open_err, 1002);
	dtrace_hdl_t *h = dtrace_open(DTRACE_VERSION, 0, &open_err);
	ASSERT_NE(h, nullptr);	// the failure was for one call
	EXPECT_EQ(dtrace_setopt(h, "bufpolicy", "switch"), 0);
	EXPECT_EQ(dtrace_setopt(h, "bufsize", "4m"), -1);
	EXPECT_EQ(dtrace_errno(h), ENOMEM);
	dtrace_close(h);

	load(R"(
		failures {
		  acpi { request: BST error: "EBUSY" }
		  acpi { request: BATTINFO error_number: 5 }
		}
	)");
	union acpi_battery_ioctl_arg arg;
	EXPECT_EQ(battery_request(ACPIIO_BATT_GET_BST, &arg), EBUSY);
	EXPECT_EQ(battery_request(ACPIIO_BATT_GET_BATTINFO, &arg), EIO);
	EXPECT_EQ(battery_request(ACPIIO_BATT_GET_BIX, &arg), 0);
}

TEST_F(MachineFile, BasesAndWhatAFileLeavesAlone)
{
	// The empty machine with only a battery: the device comes with it.
	load("base: EMPTY\nacpi { battery { status { volt: 12000 } } }\n");
	union acpi_battery_ioctl_arg arg;
	ASSERT_EQ(battery_request(ACPIIO_BATT_GET_BST, &arg), 0);
	EXPECT_EQ(arg.bst.volt, 12000u);
	int err;
	read_int("kern.smp.maxcpus", &err);
	EXPECT_EQ(err, ENOENT);
	read_int("dev.intel_rapl.0.pp0", &err);
	EXPECT_EQ(err, ENOENT);
	EXPECT_TRUE(providers().empty());
	EXPECT_FALSE(compiles("fbt:kernel:malloc:entry"));

	// The default machine with a new maxcpus and one counter gone: the
	// rest is the default machine's.
	load("cpus { max_cpus: 32 }\nrapl { pp1 { present: false } }\n");
	EXPECT_EQ(read_int("kern.smp.maxcpus"), 32);
	EXPECT_EQ(read_array<long>("kern.cp_times").size(), 4u * CPUSTATES);
	EXPECT_EQ(read_int("dev.cpu.0.freq"), 2400);
	read_int("dev.intel_rapl.0.pp1", &err);
	EXPECT_EQ(err, ENOENT);
	uint64_t pp0 = 0;
	size_t len = sizeof pp0;
	EXPECT_EQ(sysctlbyname("dev.intel_rapl.0.pp0", &pp0, &len, nullptr, 0), 0);
	EXPECT_EQ(providers().size(), 3u);
	ASSERT_EQ(battery_request(ACPIIO_BATT_GET_BST, &arg), 0);
	EXPECT_TRUE(compiles("fbt:kernel:malloc:entry"));
}

TEST_F(MachineFile, ResetLeavesNothingOfTheFileMoving)
{
	// A disk named as the default machine's, growing fast, and firings.
	load(R"(
		disk { name: "ada0" per_second { bytes_read: 1e12 } }
		dtrace { function { name: "vm_fault" fbt { per_second: 1000 } } }
	)");
	sim_kernel_reset();
	sim_disk_stats before, after;
	ASSERT_TRUE(sim_geom_get_stats("ada0", &before));
	EXPECT_EQ(before.bytes_read, 1523712000u);	// the default machine's
	sim_dtrace_set_autofire(false);
	int err;
	dtrace_hdl_t *h = dtrace_open(DTRACE_VERSION, 0, &err);
	ASSERT_NE(h, nullptr);
	dtrace_prog_t *p = dtrace_program_strcompile(h, "fbt:kernel:vm_fault:",
	    DTRACE_PROBESPEC_NAME, 0, 0, nullptr);
	ASSERT_NE(p, nullptr);
	ASSERT_EQ(dtrace_program_exec(h, p, nullptr), 0);
	ASSERT_EQ(dtrace_go(h), 0);
	sleep_ms(50);	// ten ticks of the file's thread
	ASSERT_TRUE(sim_geom_get_stats("ada0", &after));
	EXPECT_EQ(after.bytes_read, before.bytes_read);
	EXPECT_EQ(sim_dtrace_pending(), 0u);
	dtrace_close(h);
}

// --- Malformed files ---------------------------------------------------------

struct bad_case {
	const char *name;
	const char *text;
	const char *error;	// after "PATH:"
};

const bad_case bad_cases[] = {
	{"syntax", "cpus {\n  max_cpus 4\n}\n",
	 "2:12: Expected \":\", found \"4\"."},
	{"unknown_field", "cpus {\n  cpu { id: 0 }\n  cpux: 1\n}\n",
	 "3:7: Message type \"freebsd_sim.Cpus\" has no field named \"cpux\"."},
	{"cpu_out_of_range", "cpus {\n  max_cpus: 4\n  cpu { id: 4 }\n}\n",
	 "3:9: cpus.cpu[0].id: CPU 4 is not below max_cpus (4)"},
	{"negative", "cpus { max_cpus: -1 }\n",
	 "1:18: Expected integer, got: -"},
	{"firing_on_absent_cpu",
	 "dtrace {\n  function {\n    name: \"f\"\n"
	 "    fbt { cpu: [0, 9] }\n  }\n}\n",
	 "4:11: dtrace.function[0].fbt[0].cpu[1]: CPU 9 is not present"},
	{"missing_required", "disk { sector_size: 512 }\n",
	 "1:1: disk[0]: name is required"},
	{"unknown_error", "failures {\n  sysctl { name: \"hw.ncpu\" error: \"EWHAT\" }\n}\n",
	 "2:28: failures.sysctl[0].error: unknown error \"EWHAT\""},
	{"rate", "interrupt { per_second: -2 }\n",
	 "1:13: interrupt[0].per_second: -2 is not a rate from 0 to"},
};

TEST_F(MachineFile, MalformedFilesAreRefusedWithTheirPosition)
{
	for (const bad_case &c : bad_cases) {
		sim_sysctl_set_int("test.marker", 1);
		std::string path = machine_file(c.name, c.text);
		std::string error;
		EXPECT_FALSE(sim_machine_load(path.c_str(), &error)) << c.name;
		EXPECT_EQ(error.rfind(path + ":" + c.error, 0), 0u)
		    << c.name << ": " << error;
		// Nothing was installed.
		EXPECT_EQ(read_int("test.marker"), 1) << c.name;
	}
	std::string missing = ::testing::TempDir() + "machine_no_such_file";
	std::string error;
	EXPECT_FALSE(sim_machine_load(missing.c_str(), &error));
	EXPECT_EQ(error, missing + ": cannot read: No such file or directory");
}

// The variable is read when the machine is installed on first use, which
// only a fresh process shows: the statement runs in one (threadsafe style
// starts the test binary again), and nothing touches the simulation before
// it.
int
first_use_with(const std::string &path)
{
	setenv(SIM_MACHINE_ENV, path.c_str(), 1);
	int maxcpus = -1;
	size_t len = sizeof maxcpus;
	sysctlbyname("kern.smp.maxcpus", &maxcpus, &len, nullptr, 0);
	return maxcpus;
}

TEST(MachineFileEnvironment, FirstUseInstallsTheFileOrEndsTheProcess)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	std::string good = example_path();
	EXPECT_EXIT(exit(first_use_with(good) == 8 ? 0 : 1),
	    ::testing::ExitedWithCode(0), "");
	std::string bad = machine_file("bad", bad_cases[2].text);
	EXPECT_EXIT(first_use_with(bad); exit(0), ::testing::ExitedWithCode(78),
	    ":3:9: cpus\\.cpu\\[0\\]\\.id: CPU 4 is not below");
}

// A daemon built in this tree, started with a machine file.
TEST(MachineFileProgram, DaemonRunsOnTheFileOrStopsWithItsError)
{
	child_result r = run_program("sysstats_producer", {}, 700,
	    {std::string(SIM_MACHINE_ENV "=") + example_path()});
	EXPECT_TRUE(r.alive);
	EXPECT_EQ(r.out, "maxcpu: 8\n");
	EXPECT_EQ(r.err, "");

	std::string bad = machine_file("bad", bad_cases[2].text);
	r = run_program("sysstats_producer", {}, 5000,
	    {std::string(SIM_MACHINE_ENV "=") + bad});
	EXPECT_FALSE(r.alive);
	EXPECT_EQ(r.exit_status, 78);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, bad + ":" + bad_cases[2].error + "\n");

	r = run_program("sysstats_producer", {}, 5000,
	    {std::string(SIM_MACHINE_ENV "=/nonexistent/machine.txtpb")});
	EXPECT_EQ(r.exit_status, 78);
	EXPECT_EQ(r.err, "/nonexistent/machine.txtpb: cannot read: "
	    "No such file or directory\n");

	// The power daemon reaches the kernel only once a session starts; the
	// file is read as the process starts all the same.
	r = run_program("power_producer", {}, 5000,
	    {std::string(SIM_MACHINE_ENV "=") + bad});
	EXPECT_FALSE(r.alive);
	EXPECT_EQ(r.exit_status, 78);
	EXPECT_EQ(r.err, bad + ":" + bad_cases[2].error + "\n");
}

}  // namespace
