// Control of the simulated FreeBSD kernel, for tests.  The daemons never
// include this header; they call the FreeBSD interfaces by their own names.
//
// The simulation starts as the default machine (installed on first use).
// Every call here is thread-safe.
#ifndef SIM_KERNEL_H
#define SIM_KERNEL_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// Back to the default machine: every node, device and failure as at start.
void sim_kernel_reset(void);
// An empty machine: no sysctl node at all, no device, nothing to trace.
void sim_kernel_clear(void);

// sysctl nodes.  A set node is static: it reads back the bytes given.
void sim_sysctl_set(const char *name, const void *value, size_t len);
void sim_sysctl_set_int(const char *name, int value);
void sim_sysctl_set_u64(const char *name, uint64_t value);
// A string node holds the text and its terminating NUL, as FreeBSD's do.
void sim_sysctl_set_string(const char *name, const char *text);
void sim_sysctl_set_longs(const char *name, const long *values, size_t count);
// A dynamic node computes its value at every read.
typedef void (*sim_sysctl_gen)(std::string *out, void *arg);
void sim_sysctl_set_dynamic(const char *name, sim_sysctl_gen gen, void *arg);
void sim_sysctl_remove(const char *name);
// Every later read or lookup of the node fails with `err` (0 clears it).
// The node need not exist.
void sim_sysctl_fail(const char *name, int err);
// Reads of the node (by name or by MIB, size queries included) so far.
unsigned sim_sysctl_reads(const char *name);

// Parts of the machine.  sim_kernel_reset empties the sysctl nodes, then
// calls the sim_default_ functions in this order; sim_kernel_clear empties
// the sysctl nodes, then calls the sim_clear_ functions.  Each part resets
// the state it keeps beside the sysctl nodes (devices, trees, queues) and
// may set sysctl nodes through the functions above.
void sim_default_cpu(void);      // kern.smp.maxcpus, kern.cp_times, hw.ncpu
void sim_default_sysstats(void); // dev.cpu.N.*, hw.intrcnt, GEOM and devstat
void sim_default_power(void);    // dev.intel_rapl.0.*, ACPI battery 0
void sim_default_dtrace(void);   // kernel function list and firings
void sim_clear_sysstats(void);
void sim_clear_power(void);
void sim_clear_dtrace(void);

#endif
