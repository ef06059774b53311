// The device seam on a host that is not FreeBSD: open, ioctl and close of
// the simulated device nodes.  The only node is "/dev/acpi".
//
// Descriptors are numbered from SIM_FD_BASE up, above what a process of this
// host can hold (its hard limit of open files), so they never collide with a
// real descriptor; like the kernel, an open takes the lowest free one.
#include <errno.h>
#include <string.h>

#include <mutex>
#include <vector>

#include "acpi_device.h"
#include "power/device_io.h"
#include "sim/power.h"

namespace {

const int SIM_FD_BASE = 1 << 24;

struct Descriptors {
	std::mutex mu;
	std::vector<bool> open; // by fd - SIM_FD_BASE
};

Descriptors &
descriptors()
{
	static Descriptors *d = new Descriptors;
	return *d;
}

bool
is_open(Descriptors &d, int fd)
{
	if (fd < SIM_FD_BASE)
		return false;
	size_t slot = (size_t)(fd - SIM_FD_BASE);
	return slot < d.open.size() && d.open[slot];
}

} // namespace

int
device_open(const char *path, int flags)
{
	if (path == nullptr) {
		errno = EFAULT;
		return -1;
	}
	if (strcmp(path, "/dev/acpi") != 0) {
		errno = ENOENT;
		return -1;
	}
	int err = acpi_device_open(flags);
	if (err != 0) {
		errno = err;
		return -1;
	}
	Descriptors &d = descriptors();
	std::lock_guard<std::mutex> lock(d.mu);
	size_t slot = 0;
	while (slot < d.open.size() && d.open[slot])
		slot++;
	if (slot == d.open.size())
		d.open.push_back(true);
	else
		d.open[slot] = true;
	return SIM_FD_BASE + (int)slot;
}

int
device_ioctl(int fd, unsigned long request, void *arg)
{
	{
		Descriptors &d = descriptors();
		std::lock_guard<std::mutex> lock(d.mu);
		if (!is_open(d, fd)) {
			errno = EBADF;
			return -1;
		}
	}
	int err = acpi_device_ioctl(request, arg);
	if (err != 0) {
		errno = err;
		return -1;
	}
	return 0;
}

int
device_close(int fd)
{
	Descriptors &d = descriptors();
	std::lock_guard<std::mutex> lock(d.mu);
	if (!is_open(d, fd)) {
		errno = EBADF;
		return -1;
	}
	d.open[(size_t)(fd - SIM_FD_BASE)] = false;
	return 0;
}

unsigned
sim_acpi_open_descriptors(void)
{
	Descriptors &d = descriptors();
	std::lock_guard<std::mutex> lock(d.mu);
	unsigned n = 0;
	for (bool o : d.open)
		n += o;
	return n;
}
