// The power daemon's calls that reach device nodes (/dev/acpi).  On
// FreeBSD they are open(2), ioctl(2) and close(2) themselves
// (device_io_freebsd.cc); a build on another host routes them to the
// simulated kernel.  This is the one seam between the daemons and device
// files.
#ifndef POWER_DEVICE_IO_H
#define POWER_DEVICE_IO_H

int device_open(const char *path, int flags);
int device_ioctl(int fd, unsigned long request, void *arg);
int device_close(int fd);

#endif
