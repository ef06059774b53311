// The device seam on FreeBSD: the system calls themselves.
#include "power/device_io.h"

#include <sys/ioctl.h>

#include <fcntl.h>
#include <unistd.h>

int
device_open(const char *path, int flags)
{
	return open(path, flags);
}

int
device_ioctl(int fd, unsigned long request, void *arg)
{
	return ioctl(fd, request, arg);
}

int
device_close(int fd)
{
	return close(fd);
}
