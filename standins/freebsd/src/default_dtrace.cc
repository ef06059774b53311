// The simulated machine's dtrace part: a handful of kernel functions, the
// busiest of which fire by themselves once a program enables them.
#include "sim/dtrace.h"
#include "sim/kernel.h"

void
sim_default_dtrace(void)
{
	sim_dtrace_reset();
	sim_dtrace_set_functions({ "vm_fault", "malloc", "free",
	    "uma_zalloc_arg", "uma_zfree_arg", "vn_read", "vn_write",
	    "sched_switch", "amd64_syscall", "pmap_enter" });
	sim_dtrace_set_autofire(true);
}

void
sim_clear_dtrace(void)
{
	sim_dtrace_reset();
}
