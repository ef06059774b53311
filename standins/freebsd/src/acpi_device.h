// The simulated ACPI device behind "/dev/acpi", as the descriptor layer
// (device_io.cc) reaches it.  Results are 0 or an errno value.
#ifndef SIM_ACPI_DEVICE_H
#define SIM_ACPI_DEVICE_H

int acpi_device_open(int flags);
int acpi_device_ioctl(unsigned long request, void *arg);
// Back to "/dev/acpi" present or not, battery 0 present (with the default
// replies) or not, no failures and no counts; open descriptors stay.
void acpi_device_reset(bool device, bool battery);

#endif
