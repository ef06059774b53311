// FreeBSD's <sys/sysctl.h>, the part the daemons use (the simulated kernel
// serves these calls; see standins/freebsd/src/sysctl.cc).
#ifndef _SYS_SYSCTL_H_
#define _SYS_SYSCTL_H_

#include <sys/types.h>
#include <stddef.h>

#define CTL_MAXNAME 24 /* largest number of components supported */

/* Top-level identifiers. */
#define CTL_SYSCTL 0   /* "magic" numbers */
#define CTL_KERN 1     /* "high kernel": proc, limits */
#define CTL_VM 2       /* virtual memory */
#define CTL_VFS 3      /* filesystem, mount type is next */
#define CTL_NET 4      /* network, see socket.h */
#define CTL_DEBUG 5    /* debugging parameters */
#define CTL_HW 6       /* generic cpu/io */
#define CTL_MACHDEP 7  /* machine dependent */
#define CTL_USER 8     /* user-level */
#define CTL_P1003_1B 9 /* POSIX 1003.1B */

#ifdef __cplusplus
extern "C" {
#endif

int sysctl(const int *name, u_int namelen, void *oldp, size_t *oldlenp,
           const void *newp, size_t newlen);
int sysctlbyname(const char *name, void *oldp, size_t *oldlenp,
                 const void *newp, size_t newlen);
int sysctlnametomib(const char *name, int *mibp, size_t *sizep);

#ifdef __cplusplus
}
#endif

#endif
