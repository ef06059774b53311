// sysstats_producer: CPU, interrupt and disk statistics for Perfetto.
#include <stdio.h>

#include "sysstats/sysstats.h"

int
main(int, char **)
{
	// Diagnostics reach a log as they happen, not when a buffer fills.
	setvbuf(stdout, NULL, _IOLBF, 0);
	sysstats_start();
	sysstats_run();
}
