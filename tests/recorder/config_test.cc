// The recorder's config reader: the example configs as binary TraceConfigs
// (checked field by field on the wire, and against protoc's own encoding),
// text that does not parse, and configs that could not record.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "harness/tracing.h"
#include "recorder/config.h"

static std::string
read_file(const std::string &path)
{
	std::string s;
	FILE *f = fopen(path.c_str(), "r");
	if (f == nullptr)
		return s;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		s.append(buf, n);
	fclose(f);
	return s;
}

static std::string
example_path(const char *name)
{
	return std::string(RECORDER_CONFIGS_DIR "/") + name;
}

static std::vector<wire_field>
fields_numbered(const std::string &msg, uint32_t id)
{
	std::vector<wire_field> out;
	for (const wire_field &f : wire_fields(msg))
		if (f.id == id)
			out.push_back(f);
	return out;
}

// What a data source of the binary config says, read back from the wire.
struct data_source_seen {
	std::string name;
	uint64_t target_buffer;
	std::vector<std::string> fbt, kinst;  // from field 143
};

static std::vector<data_source_seen>
data_sources_of(const std::string &cfg)
{
	std::vector<data_source_seen> out;
	for (const wire_field &ds : fields_numbered(cfg, 2)) {
		data_source_seen seen = {"", 0, {}, {}};
		for (const wire_field &c : fields_numbered(ds.bytes, 1)) {
			EXPECT_EQ(c.wire_type, 2u);
			for (const wire_field &f : wire_fields(c.bytes)) {
				if (f.id == 1)
					seen.name = f.bytes;
				else if (f.id == 2)
					seen.target_buffer = f.varint;
				else if (f.id == 143) {
					EXPECT_EQ(f.wire_type, 2u);
					for (const wire_field &e :
					    wire_fields(f.bytes))
						(e.id == 1 ? seen.fbt :
						    seen.kinst).push_back(e.bytes);
				}
			}
		}
		out.push_back(seen);
	}
	return out;
}

struct example_case {
	const char *file;
	std::vector<uint64_t> buffer_kb;
	std::vector<const char *> names;
	std::vector<uint64_t> target_buffers;
	uint64_t duration_ms;
	bool has_dtrace;
};

static const example_case examples[] = {
	{"sysstats.txtpb", {16384}, {"freebsd.sys_stats"}, {0}, 10000, false},
	{"power.txtpb", {32768}, {"freebsd.power"}, {0}, 10000, false},
	{"dtrace.txtpb", {65536}, {"dtrace"}, {0}, 5000, true},
	{"all.txtpb", {32768, 65536},
	    {"freebsd.sys_stats", "freebsd.power", "dtrace"}, {0, 0, 1}, 10000,
	    true},
};

TEST(RecorderConfig, ExamplesGiveTheirBuffersSourcesAndDuration)
{
	for (const example_case &ex : examples) {
		SCOPED_TRACE(ex.file);
		std::string text = read_file(example_path(ex.file));
		ASSERT_FALSE(text.empty());
		binary_trace_config cfg;
		std::string error;
		ASSERT_TRUE(trace_config_from_text(text, ex.file, 0, &cfg,
		    &error)) << error;
		EXPECT_EQ(cfg.duration_ms, ex.duration_ms);

		std::vector<wire_field> buffers = fields_numbered(cfg.bytes, 1);
		ASSERT_EQ(buffers.size(), ex.buffer_kb.size());
		for (size_t i = 0; i < buffers.size(); i++) {
			std::vector<wire_field> kb =
			    fields_numbered(buffers[i].bytes, 1);
			ASSERT_EQ(kb.size(), 1u);
			EXPECT_EQ(kb[0].varint, ex.buffer_kb[i]);
			// fill_policy RING_BUFFER
			std::vector<wire_field> fill =
			    fields_numbered(buffers[i].bytes, 4);
			ASSERT_EQ(fill.size(), 1u);
			EXPECT_EQ(fill[0].varint, 1u);
		}
		std::vector<wire_field> duration = fields_numbered(cfg.bytes, 3);
		ASSERT_EQ(duration.size(), 1u);
		EXPECT_EQ(duration[0].varint, ex.duration_ms);

		std::vector<data_source_seen> ds = data_sources_of(cfg.bytes);
		ASSERT_EQ(ds.size(), ex.names.size());
		for (size_t i = 0; i < ds.size(); i++) {
			EXPECT_EQ(ds[i].name, ex.names[i]);
			EXPECT_EQ(ds[i].target_buffer, ex.target_buffers[i]);
			if (ds[i].name == "dtrace" && ex.has_dtrace) {
				EXPECT_EQ(ds[i].fbt, (std::vector<std::string>{
				    "vm_fault", "amd64_syscall"}));
				EXPECT_EQ(ds[i].kinst,
				    std::vector<std::string>{"malloc:0"});
			} else {
				EXPECT_TRUE(ds[i].fbt.empty());
				EXPECT_TRUE(ds[i].kinst.empty());
			}
		}
	}
}

// The binary config that `protoc --encode` makes for `perfetto -c` is the
// one the recorder sets its session up with.
TEST(RecorderConfig, ExamplesEncodeAsProtocDoes)
{
	for (const example_case &ex : examples) {
		SCOPED_TRACE(ex.file);
		std::string cmd = std::string(PROTOC_PROGRAM) +
		    " --encode=freebsd_perfetto.TraceConfig -I " RECORDER_CONFIGS_DIR
		    " " RECORDER_CONFIGS_DIR "/trace_config.proto < " +
		    example_path(ex.file);
		FILE *p = popen(cmd.c_str(), "r");
		ASSERT_NE(p, nullptr);
		std::string encoded;
		char buf[4096];
		size_t n;
		while ((n = fread(buf, 1, sizeof buf, p)) > 0)
			encoded.append(buf, n);
		ASSERT_EQ(pclose(p), 0);

		binary_trace_config cfg;
		std::string error;
		ASSERT_TRUE(trace_config_from_text(read_file(
		    example_path(ex.file)), ex.file, 0, &cfg, &error)) << error;
		EXPECT_EQ(cfg.bytes, encoded);
	}
}

TEST(RecorderConfig, DurationGivenReplacesTheConfigs)
{
	const char *with = "buffers { size_kb: 64 }\n"
	    "data_sources { config { name: \"freebsd.power\" } }\n"
	    "duration_ms: 10000\n";
	const char *without = "buffers { size_kb: 64 }\n"
	    "data_sources { config { name: \"freebsd.power\" } }\n";
	struct {
		const char *text;
		uint32_t given;
		uint32_t expected;
	} cases[] = {
		{with, 0, 10000},
		{with, 2500, 2500},
		{without, 2500, 2500},
		{without, 0, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << c.given << " " << c.text);
		binary_trace_config cfg;
		std::string error;
		ASSERT_TRUE(trace_config_from_text(c.text, "cfg", c.given, &cfg,
		    &error)) << error;
		EXPECT_EQ(cfg.duration_ms, c.expected);
		std::vector<wire_field> d = fields_numbered(cfg.bytes, 3);
		if (c.expected == 0) {
			EXPECT_TRUE(d.empty());
		} else {
			ASSERT_EQ(d.size(), 1u);
			EXPECT_EQ(d[0].varint, c.expected);
		}
	}
}

// Lines and columns count from 1; the reason is protobuf's.
TEST(RecorderConfig, TextThatDoesNotParseGivesLineAndColumn)
{
	struct {
		const char *text;
		const char *where;
		const char *reason;
	} cases[] = {
		{"buffers { size_kb: 64 }\n"
		 "data_sources { config { nam: \"x\" } }\n",
		 "cfg:2:28: ", "no field named \"nam\""},
		{"buffers { size_kb: lots }\n",
		 "cfg:1:20: ", "Expected integer"},
		{"buffers { size_kb: 64 }\n"
		 "data_sources { config { name: \"x\" }\n",
		 "cfg:3:1: ", "Expected identifier"},
		{"data_sources { config { name: \"dtrace\"\n"
		 "  dtrace_config { fbt_function: 12 } } }\n",
		 "cfg:2:33: ", "Expected string"},
		{"buffers { size_kb: 64 fill_policy: SOMETIMES }\n",
		 "cfg:1:46: ", "SOMETIMES"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		binary_trace_config cfg;
		std::string error;
		EXPECT_FALSE(trace_config_from_text(c.text, "cfg", 0, &cfg,
		    &error));
		EXPECT_EQ(error.rfind(c.where, 0), 0u) << error;
		EXPECT_NE(error.find(c.reason), std::string::npos) << error;
		EXPECT_EQ(error.back(), '\n');
	}
}

TEST(RecorderConfig, ConfigsThatCannotRecordAreRefused)
{
	struct {
		const char *text;
		const char *reason;
	} cases[] = {
		{"buffers { size_kb: 64 }\nduration_ms: 1000\n",
		 "cfg: no data_sources"},
		{"", "cfg: no data_sources"},
		{"buffers { size_kb: 64 }\n"
		 "data_sources { config { target_buffer: 0 } }\n",
		 "cfg: data_sources 0 has no config.name"},
		{"buffers { size_kb: 64 }\n"
		 "data_sources { config { name: \"freebsd.power\" } }\n"
		 "data_sources { }\n",
		 "cfg: data_sources 1 has no config.name"},
		{"data_sources { config { name: \"freebsd.power\" } }\n",
		 "cfg: data source \"freebsd.power\" has target_buffer 0, but "
		 "the config has 0 buffers"},
		{"buffers { size_kb: 64 }\n"
		 "data_sources { config { name: \"dtrace\" target_buffer: 1 } }\n",
		 "cfg: data source \"dtrace\" has target_buffer 1, but the "
		 "config has 1 buffers"},
		{"buffers { fill_policy: DISCARD }\n"
		 "data_sources { config { name: \"freebsd.power\" } }\n",
		 "cfg: buffers 0 has no size_kb"},
		{"buffers { size_kb: 64 }\n"
		 "data_sources { config { name: \"freebsd.power\" } }\n"
		 "duration_ms: 604800001\n",
		 "cfg: duration_ms 604800001 is over the service's limit"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		binary_trace_config cfg;
		std::string error;
		EXPECT_FALSE(trace_config_from_text(c.text, "cfg", 0, &cfg,
		    &error));
		EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
	}
}
