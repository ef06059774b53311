// From the data source configuration to the text of a D program.
#ifndef DTRACE_D_PROGRAM_H
#define DTRACE_D_PROGRAM_H

#include <stddef.h>

struct sbuf;

// DataSourceConfig field that carries the DTrace configuration, and the
// DtraceConfig entries.
enum {
	DS_CONFIG_DTRACE = 143,
	DTRACE_CONFIG_FBT_FUNCTION = 1,
	DTRACE_CONFIG_KINST_FUNCTION = 2,
};

// Reads the serialized DataSourceConfig, prints the probe count and the
// program, and returns the finished program text (the caller deletes it).
struct sbuf *build_d_program(const void *config, size_t size);

#endif
