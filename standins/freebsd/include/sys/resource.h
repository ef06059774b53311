// FreeBSD's <sys/resource.h>: the host's declarations plus FreeBSD's CPU
// time slots (indices into kern.cp_time and each row of kern.cp_times).
#include_next <sys/resource.h>

#ifndef SIM_FREEBSD_SYS_RESOURCE_H
#define SIM_FREEBSD_SYS_RESOURCE_H

#ifndef CP_USER
#define CP_USER 0
#endif
#ifndef CP_NICE
#define CP_NICE 1
#endif
#ifndef CP_SYS
#define CP_SYS 2
#endif
#ifndef CP_INTR
#define CP_INTR 3
#endif
#ifndef CP_IDLE
#define CP_IDLE 4
#endif
#ifndef CPUSTATES
#define CPUSTATES 5
#endif

#endif
