// A checked machine file becomes the machine: the base first, then each
// part the file gives, through the simulation's own control calls.
#include <string>
#include <vector>

#include "machine_rules.h"

#include "default_cpu.h"
#include "machine_live.h"
#include "sim/dtrace.h"
#include "sim/kernel.h"
#include "sim/power.h"
#include "sim/sysstats.h"

using namespace freebsd_sim;

namespace {

const double STATHZ = 128;
const double DEFAULT_UPTIME_S = 600;
const unsigned DEFAULT_SECTOR_SIZE = 512;
const double DEFAULT_FIRINGS_PER_SECOND = 20;
const uint64_t DEFAULT_DURATION_NS = 1500;

void
set_cpu_int(const char *name, size_t value)
{
	sim_sysctl_set_int(name, (int)value);
}

void
remove_cpu_nodes(int cpu)
{
	const char *const leaves[] = {"freq", "cx_method",
	    "cx_duration_counters"};
	for (const char *leaf : leaves)
		sim_sysctl_remove(("dev.cpu." + std::to_string(cpu) + "." +
		    leaf).c_str());
}

live_cpu
cpu_counters(const Cpu &cpu)
{
	const TickRates &r = cpu.ticks_per_second();
	double busy = r.user() + r.nice() + r.sys() + r.intr();
	double rates[CPUSTATES] = {r.user(), r.nice(), r.sys(), r.intr(),
	    r.has_idle() ? r.idle() : (busy < STATHZ ? STATHZ - busy : 0)};
	const TickCounts &s = cpu.start();
	bool given[CPUSTATES] = {s.has_user(), s.has_nice(), s.has_sys(),
	    s.has_intr(), s.has_idle()};
	uint64_t starts[CPUSTATES] = {s.user(), s.nice(), s.sys(), s.intr(),
	    s.idle()};
	live_cpu c;
	c.id = (int)cpu.id();
	for (int slot = 0; slot < CPUSTATES; slot++) {
		c.ticks[slot].per_second = rates[slot];
		c.ticks[slot].start = given[slot] ? starts[slot] :
		    live_value({0, rates[slot]}, DEFAULT_UPTIME_S);
	}
	return c;
}

void
apply_cpus(const Machine &m, live_machine *live)
{
	if (!m.has_cpus())
		return;
	const Cpus &cpus = m.cpus();
	if (cpus.cpu_size() == 0) {
		if (cpus.has_max_cpus())
			set_cpu_int("kern.smp.maxcpus", cpus.max_cpus());
		return;
	}
	if (m.base() == Machine::DEFAULT)
		for (int cpu = 0; cpu < default_cpus; cpu++)
			remove_cpu_nodes(cpu);
	set_cpu_int("kern.smp.maxcpus", cpus.has_max_cpus() ?
	    cpus.max_cpus() : default_max_cpus);
	int maxid = 0;
	for (const Cpu &cpu : cpus.cpu()) {
		maxid = std::max(maxid, (int)cpu.id());
		live->cpus.push_back(cpu_counters(cpu));
		if (cpu.has_freq_mhz())
			sim_cpu_freq_set((int)cpu.id(), cpu.freq_mhz());
		if (cpu.idle_state_size() == 0)
			continue;
		std::string methods;
		live_idle idle;
		idle.cpu = (int)cpu.id();
		for (const IdleState &st : cpu.idle_state()) {
			methods += (methods.empty() ? "" : " ") + st.method();
			idle.states.push_back({st.start_us(), st.us_per_second()});
		}
		sim_sysctl_set_string(("dev.cpu." + std::to_string(cpu.id()) +
		    ".cx_method").c_str(), methods.c_str());
		live->idle.push_back(idle);
	}
	live->has_cpus = true;
	set_cpu_int("kern.smp.cpus", live->cpus.size());
	set_cpu_int("hw.ncpu", live->cpus.size());
	set_cpu_int("kern.smp.maxid", (size_t)maxid);
}

void
apply_interrupts(const Machine &m, live_machine *live)
{
	if (m.interrupt_size() == 0)
		return;
	live->has_interrupts = true;
	for (const Interrupt &src : m.interrupt())
		live->interrupts.push_back({src.start(), src.per_second()});
}

// A provider's record at installation, and its growth if it has any.
void
set_record(const std::string &provider, const DiskCounts &s,
    const DiskRates &r, live_machine *live)
{
	live_disk d;
	d.provider = provider;
	d.counters[0] = {s.bytes_read(), r.bytes_read()};
	d.counters[1] = {s.bytes_written(), r.bytes_written()};
	d.counters[2] = {s.reads(), r.reads()};
	d.counters[3] = {s.writes(), r.writes()};
	d.counters[4] = {s.read_time_ns(), r.read_time_ns()};
	d.counters[5] = {s.write_time_ns(), r.write_time_ns()};

	sim_disk_stats st{};
	st.bytes_read = s.bytes_read();
	st.bytes_written = s.bytes_written();
	st.reads = s.reads();
	st.writes = s.writes();
	st.read_time = sim_bintime_ns(s.read_time_ns());
	st.write_time = sim_bintime_ns(s.write_time_ns());
	sim_geom_set_stats(provider.c_str(), &st);

	for (const live_counter &c : d.counters)
		if (c.per_second > 0) {
			live->disks.push_back(d);
			return;
		}
}

void
apply_disks(const Machine &m, live_machine *live)
{
	if (m.disk_size() == 0)
		return;
	sim_geom_reset();
	for (const Disk &d : m.disk()) {
		sim_geom_add_disk(d.name().c_str(), d.has_sector_size() ?
		    d.sector_size() : DEFAULT_SECTOR_SIZE, d.media_size());
		set_record(d.name(), d.start(), d.per_second(), live);
		for (const Partition &p : d.partition()) {
			sim_geom_add_partition(d.name().c_str(),
			    p.name().c_str());
			set_record(p.name(), p.start(), p.per_second(), live);
		}
	}
}

void
apply_rapl(const Machine &m)
{
	if (!m.has_rapl())
		return;
	const Rapl &r = m.rapl();
	const struct {
		const char *domain;
		bool given;
		const RaplCounter &counter;
	} domains[] = {
		{"pp0", r.has_pp0(), r.pp0()},
		{"pp1", r.has_pp1(), r.pp1()},
		{"platform", r.has_platform(), r.platform()},
		{"dram", r.has_dram(), r.dram()},
	};
	for (const auto &d : domains) {
		if (!d.given)
			continue;
		if (d.counter.has_present() && !d.counter.present())
			sim_sysctl_remove((std::string("dev.intel_rapl.0.") +
			    d.domain).c_str());
		else
			sim_rapl_set_advancing(d.domain, d.counter.start(),
			    d.counter.per_ms());
	}
}

void
apply_acpi(const Machine &m)
{
	if (!m.has_acpi())
		return;
	const Acpi &a = m.acpi();
	if (a.has_battery()) {
		const Battery &given = a.battery();
		struct sim_battery b = sim_battery_default();
		if (given.has_units())
			b.units = given.units() == Battery::MAH ?
			    ACPI_BIX_UNITS_MA : ACPI_BIX_UNITS_MW;
		const BatteryStatus &st = given.status();
		if (st.has_state())
			b.bst.state = st.state();
		if (st.has_rate())
			b.bst.rate = st.rate();
		if (st.has_cap())
			b.bst.cap = st.cap();
		if (st.has_volt())
			b.bst.volt = st.volt();
		const BatteryInfo &info = given.info();
		if (info.has_cap())
			b.info.cap = info.cap();
		if (info.has_min())
			b.info.min = info.min();
		if (info.has_state())
			b.info.state = info.state();
		if (info.has_rate())
			b.info.rate = info.rate();
		sim_acpi_set_battery(&b);
		if (given.has_present() && !given.present())
			sim_acpi_set_battery_absent();
	}
	if (a.has_device())
		sim_acpi_set_device(a.device());
	else if (a.has_battery() && m.base() == Machine::EMPTY)
		sim_acpi_set_device(true);
}

void
add_streams(const KernelFunction &fn, const Firing &f, bool fbt,
    live_machine *live)
{
	int n = f.cpu_size() > 0 ? f.cpu_size() : 1;	// CPU 0 by default
	for (int i = 0; i < n; i++) {
		live_stream st;
		st.cpu = f.cpu_size() > 0 ? (int)f.cpu(i) : 0;
		st.function = fn.name();
		st.fbt = fbt;
		st.offset = f.offset();
		st.per_second = f.has_per_second() ? f.per_second() :
		    DEFAULT_FIRINGS_PER_SECOND;
		st.duration_ns = !fbt ? 0 : f.has_duration_ns() ?
		    f.duration_ns() : DEFAULT_DURATION_NS;
		live->streams.push_back(st);
	}
}

void
apply_dtrace(const Machine &m, live_machine *live)
{
	if (m.dtrace().function_size() == 0)
		return;
	std::vector<std::string> names;
	for (const KernelFunction &fn : m.dtrace().function()) {
		names.push_back(fn.name());
		for (const Firing &f : fn.fbt())
			add_streams(fn, f, true, live);
		for (const Firing &f : fn.kinst())
			add_streams(fn, f, false, live);
	}
	sim_dtrace_set_functions(names);
	sim_dtrace_set_autofire(false);
}

unsigned long
acpi_request(AcpiFailure::Request r)
{
	switch (r) {
	case AcpiFailure::BATTINFO:
		return ACPIIO_BATT_GET_BATTINFO;
	case AcpiFailure::BST:
		return ACPIIO_BATT_GET_BST;
	case AcpiFailure::BIX:
		return ACPIIO_BATT_GET_BIX;
	case AcpiFailure::UNITS:
		return ACPIIO_BATT_GET_UNITS;
	}
	return 0;
}

enum sim_dtrace_step
dtrace_step(DtraceFailure::Step s)
{
	switch (s) {
	case DtraceFailure::OPEN:
		return SIM_DTRACE_OPEN;
	case DtraceFailure::SETOPT:
		return SIM_DTRACE_SETOPT;
	case DtraceFailure::COMPILE:
		return SIM_DTRACE_COMPILE;
	case DtraceFailure::EXEC:
		return SIM_DTRACE_EXEC;
	case DtraceFailure::GO:
		return SIM_DTRACE_GO;
	case DtraceFailure::WORK:
		return SIM_DTRACE_WORK;
	case DtraceFailure::STOP:
		return SIM_DTRACE_STOP;
	}
	return SIM_DTRACE_NSTEPS;
}

void
apply_failures(const Machine &m)
{
	const Failures &f = m.failures();
	for (const SysctlFailure &s : f.sysctl())
		sim_sysctl_fail(s.name().c_str(), machine_failure_errno(s));
	for (const AcpiFailure &a : f.acpi())
		sim_acpi_fail(acpi_request(a.request()),
		    machine_failure_errno(a));
	for (const DtraceFailure &d : f.dtrace())
		sim_dtrace_fail(dtrace_step(d.step()), machine_failure_errno(d),
		    d.count(), d.has_option() ? d.option().c_str() : nullptr);
}

}  // namespace

void
machine_apply(const Machine &m)
{
	if (m.base() == Machine::EMPTY)
		sim_kernel_clear();
	else
		sim_kernel_reset();
	live_machine live;
	apply_cpus(m, &live);
	apply_interrupts(m, &live);
	apply_disks(m, &live);
	apply_rapl(m);
	apply_acpi(m);
	apply_dtrace(m, &live);
	apply_failures(m);
	// Last: it may start the thread, which then goes to work at once.
	machine_live_install(live);
}
