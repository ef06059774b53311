// The simulated machine's power part.
#include "sim/kernel.h"

void
sim_default_power(void)
{
}

void
sim_clear_power(void)
{
}
