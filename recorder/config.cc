#include "recorder/config.h"

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>
#include <stdarg.h>
#include <stdio.h>

#include "trace_config.pb.h"

using freebsd_perfetto::DataSourceConfig;
using freebsd_perfetto::TraceConfig;

// The parser's errors as "SOURCE:LINE:COLUMN: reason" lines (it counts
// lines and columns from 0).  Protobuf 22 renamed the hook.
struct error_lines : google::protobuf::io::ErrorCollector {
	const std::string *source;
	std::string *lines;

	void
	add(int line, int column, const std::string &message)
	{
		char where[32];
		snprintf(where, sizeof where, ":%d:%d: ", line + 1, column + 1);
		*lines += *source + where + message + "\n";
	}
#if GOOGLE_PROTOBUF_VERSION >= 4022000
	void
	RecordError(int line, google::protobuf::io::ColumnNumber column,
	    absl::string_view message) override
	{
		add(line, column, std::string(message));
	}
#else
	void
	AddError(int line, google::protobuf::io::ColumnNumber column,
	    const std::string &message) override
	{
		add(line, column, message);
	}
#endif
};

static bool
refuse(std::string *error, const std::string &source, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

static bool
refuse(std::string *error, const std::string &source, const char *fmt, ...)
{
	char reason[256];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(reason, sizeof reason, fmt, ap);
	va_end(ap);
	*error = source + ": " + reason + "\n";
	return false;
}

// What the service would refuse, or take and never record into, refused
// here with a reason instead.
static bool
check_config(const TraceConfig &cfg, const std::string &source,
             std::string *error)
{
	if (cfg.data_sources_size() == 0)
		return refuse(error, source, "no data_sources: nothing to record");
	for (int i = 0; i < cfg.buffers_size(); i++)
		if (cfg.buffers(i).size_kb() == 0)
			return refuse(error, source, "buffers %d has no size_kb", i);
	for (int i = 0; i < cfg.data_sources_size(); i++) {
		const DataSourceConfig &ds = cfg.data_sources(i).config();
		if (ds.name().empty())
			return refuse(error, source,
			    "data_sources %d has no config.name", i);
		if (ds.target_buffer() >= static_cast<uint32_t>(cfg.buffers_size()))
			return refuse(error, source,
			    "data source \"%s\" has target_buffer %u, but the "
			    "config has %d buffers", ds.name().c_str(),
			    ds.target_buffer(), cfg.buffers_size());
	}
	if (cfg.duration_ms() > TRACE_DURATION_MAX_MS)
		return refuse(error, source,
		    "duration_ms %u is over the service's limit of %u",
		    cfg.duration_ms(), TRACE_DURATION_MAX_MS);
	return true;
}

bool
trace_config_from_text(const std::string &text, const std::string &source,
                       uint32_t duration_ms, struct binary_trace_config *out,
                       std::string *error)
{
	TraceConfig cfg;
	error_lines collector;
	collector.source = &source;
	collector.lines = error;
	error->clear();
	google::protobuf::TextFormat::Parser parser;
	parser.RecordErrorsTo(&collector);
	if (!parser.ParseFromString(text, &cfg)) {
		if (error->empty())
			refuse(error, source, "not a trace config");
		return false;
	}
	if (duration_ms != 0)
		cfg.set_duration_ms(duration_ms);
	if (!check_config(cfg, source, error))
		return false;
	if (!cfg.SerializeToString(&out->bytes))
		return refuse(error, source, "cannot serialize the config");
	out->duration_ms = cfg.duration_ms();
	return true;
}
