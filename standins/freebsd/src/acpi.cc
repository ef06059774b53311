// The simulated ACPI battery: battery 0 answering the status, information
// and _BIX requests, and the RAPL counters beside it.
#include <errno.h>
#include <string.h>
#include <time.h>

#include <map>
#include <mutex>
#include <string>

#include "acpi_device.h"
#include "sim/kernel.h"
#include "sim/power.h"

namespace {

struct Acpi {
	std::mutex mu;
	bool device = true;
	bool present = true;
	struct sim_battery battery = sim_battery_default();
	std::map<unsigned long, int> failures;
	std::map<unsigned long, unsigned> requests;
	unsigned opens = 0;
	int last_open_flags = -1;
};

Acpi &
acpi()
{
	// Never destroyed: daemon threads may still call after main returns.
	static Acpi *a = new Acpi;
	return *a;
}

// Every call of sim/kernel.h installs the default machine first, if it is
// not installed yet; this one does nothing else.
void
machine_ready(void)
{
	(void)sim_sysctl_reads(nullptr);
}

// The battery's static information, as _BIX gives it.
void
fill_bix(const struct sim_battery &b, struct acpi_bix *bix)
{
	memset(bix, 0, sizeof *bix);
	bix->units = b.units;
	bix->dcap = 57000;
	bix->lfcap = 52000;
	bix->btech = 1;
	bix->dvol = 11400;
	bix->wcap = 2600;
	bix->lcap = 1000;
	bix->gra1 = 1;
	bix->gra2 = 1;
	strcpy(bix->model, "SIM57");
	strcpy(bix->serial, "0001");
	strcpy(bix->type, "LION");
	strcpy(bix->oeminfo, "SIMULATED");
	bix->rev = ACPI_BIX_REV_0;
	bix->cycles = 42;
	bix->accuracy = 95000;
	bix->stmax = 1000;
	bix->stmin = 500;
	bix->aimax = 1000;
	bix->aimin = 500;
}

// A RAPL counter that grows with the monotonic clock.
struct Rapl_counter {
	uint64_t start;
	uint64_t per_ms;
	uint64_t since_ns;
};

const char *const rapl_domains[] = {"pp0", "pp1", "platform", "dram"};
Rapl_counter rapl_counters[4];

uint64_t
now_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

void
rapl_generate(std::string *out, void *arg)
{
	Rapl_counter c;
	{
		std::lock_guard<std::mutex> lock(acpi().mu);
		c = *static_cast<Rapl_counter *>(arg);
	}
	uint64_t value = c.start + (now_ns() - c.since_ns) / 1000000u * c.per_ms;
	out->assign(reinterpret_cast<const char *>(&value), sizeof value);
}

std::string
rapl_name(const char *domain)
{
	return std::string("dev.intel_rapl.0.") + domain;
}

Rapl_counter *
rapl_counter(const char *domain)
{
	for (int i = 0; i < 4; i++)
		if (strcmp(domain, rapl_domains[i]) == 0)
			return &rapl_counters[i];
	return nullptr;
}

void
set_advancing(const char *domain, uint64_t start, uint64_t per_ms)
{
	Rapl_counter *c = rapl_counter(domain);
	if (c == nullptr)
		return;
	{
		std::lock_guard<std::mutex> lock(acpi().mu);
		*c = {start, per_ms, now_ns()};
	}
	sim_sysctl_set_dynamic(rapl_name(domain).c_str(), rapl_generate, c);
}

} // namespace

void
acpi_device_reset(bool device, bool battery)
{
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	a.device = device;
	a.present = battery;
	a.battery = sim_battery_default();
	a.failures.clear();
	a.requests.clear();
	a.opens = 0;
	a.last_open_flags = -1;
}

// --- The device -------------------------------------------------------------

int
acpi_device_open(int flags)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	if (!a.device)
		return ENOENT;
	a.opens++;
	a.last_open_flags = flags;
	return 0;
}

int
acpi_device_ioctl(unsigned long request, void *arg)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	a.requests[request]++;
	auto failure = a.failures.find(request);
	if (failure != a.failures.end())
		return failure->second;
	if (arg == nullptr)
		return EFAULT;

	if (request == ACPIIO_BATT_GET_UNITS) {
		*static_cast<int *>(arg) = 1;
		return 0;
	}
	union acpi_battery_ioctl_arg *ioa =
	    static_cast<union acpi_battery_ioctl_arg *>(arg);
	int unit = ioa->unit;
	switch (request) {
	case ACPIIO_BATT_GET_BATTINFO:
		if (unit != 0 && unit != ACPI_BATTERY_ALL_UNITS)
			return ENXIO;
		memset(&ioa->battinfo, 0, sizeof ioa->battinfo);
		if (a.present)
			ioa->battinfo = a.battery.info;
		else
			ioa->battinfo = {-1, -1, ACPI_BATT_STAT_NOT_PRESENT, -1};
		return 0;
	case ACPIIO_BATT_GET_BST:
		if (unit != 0)
			return ENXIO;
		memset(&ioa->bst, 0, sizeof ioa->bst);
		if (a.present)
			ioa->bst = a.battery.bst;
		else
			ioa->bst = {ACPI_BATT_STAT_NOT_PRESENT, ACPI_BATT_UNKNOWN,
			    ACPI_BATT_UNKNOWN, ACPI_BATT_UNKNOWN};
		return 0;
	case ACPIIO_BATT_GET_BIX:
		if (unit != 0 || !a.present)
			return ENXIO;
		fill_bix(a.battery, &ioa->bix);
		return 0;
	default:
		return ENOTTY;
	}
}

// --- Test control -----------------------------------------------------------

struct sim_battery
sim_battery_default(void)
{
	// A laptop battery that reports in mWh, three quarters full and
	// discharging at 9.5 W.
	struct sim_battery b = {};
	b.units = ACPI_BIX_UNITS_MW;
	b.bst = {ACPI_BATT_STAT_DISCHARG, 9500, 39000, 11800};
	b.info = {75, 246, ACPI_BATT_STAT_DISCHARG, 9500};
	return b;
}

void
sim_acpi_set_battery(const struct sim_battery *battery)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	a.present = true;
	a.battery = *battery;
}

void
sim_acpi_set_battery_absent(void)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	a.present = false;
}

void
sim_acpi_set_device(bool present)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	a.device = present;
}

void
sim_acpi_fail(unsigned long request, int err)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	if (err == 0)
		a.failures.erase(request);
	else
		a.failures[request] = err;
}

unsigned
sim_acpi_requests(unsigned long request)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	auto it = a.requests.find(request);
	return it == a.requests.end() ? 0 : it->second;
}

unsigned
sim_acpi_opens(void)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	return a.opens;
}

int
sim_acpi_last_open_flags(void)
{
	machine_ready();
	Acpi &a = acpi();
	std::lock_guard<std::mutex> lock(a.mu);
	return a.last_open_flags;
}

void
sim_rapl_set(const char *domain, uint64_t value)
{
	sim_sysctl_set_u64(rapl_name(domain).c_str(), value);
}

void
sim_rapl_set_advancing(const char *domain, uint64_t start, uint64_t per_ms)
{
	machine_ready();
	set_advancing(domain, start, per_ms);
}

void
sim_rapl_fail(const char *domain, int err)
{
	sim_sysctl_fail(rapl_name(domain).c_str(), err);
}
