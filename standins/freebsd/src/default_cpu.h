// The default machine's CPUs, for the parts that build on them.
#ifndef SIM_DEFAULT_CPU_H
#define SIM_DEFAULT_CPU_H

// CPUs 0 to default_cpus - 1 are present in a kernel built for
// default_max_cpus.
const int default_max_cpus = 256;
const int default_cpus = 4;

#endif
