// The machine file of a daemon process, for the installation of the
// simulated machine (sysctl.cc).
#ifndef SIM_MACHINE_FILE_H
#define SIM_MACHINE_FILE_H

// Installs the machine of the file named by FREEBSD_SIM_MACHINE (read at
// process start, or now if the variable was set since) over the default
// machine just installed, if the variable is set and not empty.  A
// malformed file ends the process: its error on standard error, exit status
// EX_CONFIG.
void machine_file_from_environment(void);

#endif
