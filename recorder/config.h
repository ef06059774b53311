// Trace configs in protobuf text format over configs/trace_config.proto,
// turned into the binary TraceConfig that a tracing session is set up with.
#ifndef RECORDER_CONFIG_H
#define RECORDER_CONFIG_H

#include <stdint.h>

#include <string>

// The tracing service refuses sessions longer than this.
#define TRACE_DURATION_MAX_MS (7u * 24 * 3600 * 1000)

struct binary_trace_config {
	std::string bytes;     // serialized TraceConfig
	uint32_t duration_ms;  // its duration_ms (0: none given)
};

// Parses `text`, named `source` in messages.  A `duration_ms` other than 0
// replaces the config's own.  On failure returns false with the reasons in
// *error, a line each: "SOURCE:LINE:COLUMN: reason" where the text does not
// parse against the schema, "SOURCE: reason" where it parses but cannot
// record (no data source, a data source without a name or with a buffer
// the config lacks, an empty buffer, a duration over the service's limit).
bool trace_config_from_text(const std::string &text, const std::string &source,
                            uint32_t duration_ms,
                            struct binary_trace_config *out,
                            std::string *error);

#endif
