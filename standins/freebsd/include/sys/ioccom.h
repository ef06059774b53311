// FreeBSD's <sys/ioccom.h>: how an ioctl request word packs the direction of
// the copy, the argument size, the group and the number.  The host's own
// <sys/ioctl.h> packs them differently (its read and write bits are the other
// way round), so FreeBSD's device requests are built here.
#ifndef _SYS_IOCCOM_H_
#define _SYS_IOCCOM_H_

#define IOCPARM_MASK 0x1fff     /* argument size, in bits 16 to 28 */
#define IOC_VOID 0x20000000UL   /* no argument */
#define IOC_OUT 0x40000000UL    /* argument copied out */
#define IOC_IN 0x80000000UL     /* argument copied in */
#define IOC_INOUT (IOC_IN | IOC_OUT)

// A host header may have defined its own forms already.
#undef _IOC
#undef _IO
#undef _IOR
#undef _IOW
#undef _IOWR

#define _IOC(inout, group, num, len)                                         \
	((unsigned long)((inout) | (((len) & IOCPARM_MASK) << 16) |          \
	                 ((group) << 8) | (num)))
#define _IO(g, n) _IOC(IOC_VOID, (g), (n), 0)
#define _IOR(g, n, t) _IOC(IOC_OUT, (g), (n), sizeof(t))
#define _IOW(g, n, t) _IOC(IOC_IN, (g), (n), sizeof(t))
#define _IOWR(g, n, t) _IOC(IOC_INOUT, (g), (n), sizeof(t))

#endif
