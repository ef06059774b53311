// Machine files: a simulated machine described in protobuf text format over
// the schema standins/freebsd/machine/machine.proto.
//
// A daemon process gets the machine of the file named by the environment
// variable FREEBSD_SIM_MACHINE.  The simulated kernel reads and checks the
// file once, as the process starts (before main), and installs its machine
// when it installs a machine on first use, before that first call returns.
// A malformed file ends the process at start with a line on standard error
// ("FILE:LINE:COLUMN: REASON") and exit status 78 (EX_CONFIG).  (A variable
// that the process sets itself before its first use is read then.)  Tests
// load files with sim_machine_load; sim_kernel_reset and sim_kernel_clear go
// on installing the default and the empty machine.
#ifndef SIM_MACHINE_H
#define SIM_MACHINE_H

#include <string>

#define SIM_MACHINE_ENV "FREEBSD_SIM_MACHINE"

// Reads the machine file `path` and installs the machine it describes.  On
// a malformed file returns false, with "PATH:LINE:COLUMN: REASON" in `*error`
// ("PATH: REASON" when the file cannot be read), and leaves the machine as
// it was.  Thread-safe.
bool sim_machine_load(const char *path, std::string *error);

#endif
