// What only the stand-in can tell: the calls a program made into the SDK and
// the data sources it registered.  For tests; not part of the SDK.
#ifndef PERFETTO_STANDIN_INSPECT_H
#define PERFETTO_STANDIN_INSPECT_H

#include <stddef.h>

#include <string>
#include <vector>

// Starts (or stops) recording SDK calls; starting clears the record.  Each
// entry is the function's name, with its scalar arguments in parentheses
// where it has any, e.g. "PerfettoProducerBackendInitArgsSetShmemSizeHintKb(0)".
void perfetto_standin_record_calls(bool on);
std::vector<std::string> perfetto_standin_calls(void);

struct perfetto_standin_ds {
	std::string descriptor;  // as registered; empty until then
	bool registered;
	bool has_setup, has_start, has_stop, has_destroy;
	void *user_arg;
	bool supports_tracing_v2;
};
// Every data source created so far, in creation order.
std::vector<perfetto_standin_ds> perfetto_standin_data_sources(void);

// Chunk size of packet writers created from now on (default 512 bytes).
void perfetto_standin_set_chunk_size(size_t bytes);

#endif
