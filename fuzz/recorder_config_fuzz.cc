// The recorder's text config reader over arbitrary text: it either gives a
// TraceConfig that parses back or an error of "SOURCE:..." lines.
#include <stdint.h>

#include <string>

#include "recorder/config.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string text((const char *)data, size);
	struct binary_trace_config out;
	std::string error;

	if (trace_config_from_text(text, "fuzz", 0, &out, &error)) {
		if (!error.empty() || out.bytes.empty())
			__builtin_trap();
		if (out.duration_ms > TRACE_DURATION_MAX_MS)
			__builtin_trap();
	} else if (error.compare(0, 5, "fuzz:") != 0) {
		__builtin_trap();
	}
	return 0;
}
