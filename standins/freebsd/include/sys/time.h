// FreeBSD's <sys/time.h> adds struct bintime to the POSIX declarations; the
// host's header supplies the rest.
#include_next <sys/time.h>

#ifndef _SIM_SYS_TIME_BINTIME_
#define _SIM_SYS_TIME_BINTIME_

#include <stdint.h>
#include <time.h>

// A time as whole seconds and a binary fraction: frac counts 2^-64 s.
struct bintime {
	time_t		sec;
	uint64_t	frac;
};

#endif
