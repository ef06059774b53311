// kfunc_producer: kernel function probes from DTrace as Perfetto track
// events.
#include <stdio.h>

#include "dtrace/consumer.h"

static struct dtrace_consumer_state state;

static void
idle_sleep(unsigned int usec)
{
	dtrace_idle_wait(&state, usec);
}

int
main(void)
{
	setvbuf(stdout, NULL, _IOLBF, 0);
	kfunc_start(&state);
	for (;;)
		dtrace_consumer_pass(&state, idle_sleep);
}
