// The parts of a machine from a machine file that move with time: counters
// computed at each read (kern.cp_times, hw.intrcnt, idle-state residency),
// and those that a thread of the simulation keeps up to date (disk
// statistics records) or brings about (firings of kernel functions).
//
// A counter with start s and rate r reads s + floor(r * t) at t seconds
// after machine_live_install.
#ifndef SIM_MACHINE_LIVE_H
#define SIM_MACHINE_LIVE_H

#include <stdint.h>
#include <sys/resource.h>

#include <string>
#include <vector>

struct live_counter {
	uint64_t	start;
	double		per_second;
};

struct live_cpu {
	int		id;
	live_counter	ticks[CPUSTATES];	// CP_USER ... CP_IDLE
};

// dev.cpu.<cpu>.cx_duration_counters, one counter per idle state.
struct live_idle {
	int				cpu;
	std::vector<live_counter>	states;
};

// A statistics record's counters: bytes read, bytes written, reads,
// writes, read time and write time (ns).
enum { LIVE_DISK_COUNTERS = 6 };
struct live_disk {
	std::string	provider;
	live_counter	counters[LIVE_DISK_COUNTERS];
};

// Firings of one probe on one CPU.
struct live_stream {
	int		cpu;
	std::string	function;
	bool		fbt;		// entry and return, else a kinst hit
	uint32_t	offset;		// kinst
	double		per_second;
	uint64_t	duration_ns;	// fbt
};

struct live_machine {
	bool				has_cpus = false;	// kern.cp_times, kern.cp_time
	std::vector<live_cpu>		cpus;
	bool				has_interrupts = false;	// hw.intrcnt
	std::vector<live_counter>	interrupts;
	std::vector<live_idle>		idle;
	std::vector<live_disk>		disks;
	std::vector<live_stream>	streams;
};

// Nothing moves any more (the base machine is being installed).
void machine_live_reset(void);
// Installs the dynamic nodes of `m` and hands the rest to the thread.  The
// disks' providers exist already.
void machine_live_install(const live_machine &m);

// The counter `seconds` after installation.
uint64_t live_value(const live_counter &c, double seconds);

#endif
