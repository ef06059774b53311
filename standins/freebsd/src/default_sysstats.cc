// The simulated machine's sysstats part.
#include "sim/kernel.h"

void
sim_default_sysstats(void)
{
}

void
sim_clear_sysstats(void)
{
}
