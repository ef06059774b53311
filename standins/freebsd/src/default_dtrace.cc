// The simulated machine's dtrace part.
#include "sim/kernel.h"

void
sim_default_dtrace(void)
{
}

void
sim_clear_dtrace(void)
{
}
