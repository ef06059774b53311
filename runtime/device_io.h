// The calls that reach device nodes.  On FreeBSD they are open(2) and
// ioctl(2) themselves; a build on another host routes them to the simulated
// kernel.  This is the one seam between the daemons and device files.
#ifndef RUNTIME_DEVICE_IO_H
#define RUNTIME_DEVICE_IO_H

int device_open(const char *path, int flags);
int device_ioctl(int fd, unsigned long request, void *arg);
int device_close(int fd);

#endif
