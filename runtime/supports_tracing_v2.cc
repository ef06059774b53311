// The real SDK has no PerfettoDsSetSupportsTracingV2; the daemons call it all
// the same, and nothing depends on its effect.
#include "runtime/producer.h"

extern "C" void
PerfettoDsSetSupportsTracingV2(struct PerfettoDsImpl *, bool)
{
}
