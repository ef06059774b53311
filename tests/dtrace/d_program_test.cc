// From the configuration a session hands to setup to the D program text,
// its probe count and the dump on standard output.
#include <sys/types.h>
#include <sys/sbuf.h>

#include <string>

#include <gtest/gtest.h>

#include "dtrace/d_program.h"
#include "kfunc_fixture.h"

namespace {

std::string
dump(const std::string &extra, int count, const std::string &text)
{
	return extra + "Installed " + std::to_string(count) + " probes\n"
	    "---------- dtrace program --------------------\n" + text +
	    "----------------------------------------------\n\n";
}

struct built {
	std::string out;
	std::string text;
	bool finished;
};

built
build(const std::string &config)
{
	capture_begin();
	struct sbuf *s = build_d_program(config.data(), config.size());
	struct captured_output o = capture_end();
	built b{ o.out, std::string(sbuf_data(s), (size_t)sbuf_len(s)),
	    sbuf_done(s) != 0 };
	sbuf_delete(s);
	return b;
}

const uint32_t FBT = 1, KINST = 2;

// A DtraceConfig payload whose last entry claims 10 bytes and has 3.
std::string
cut_short_after_two(void)
{
	std::string payload = pb_bytes_field(FBT, "f") +
	    pb_bytes_field(KINST, "g:4");
	payload += std::string("\x0a\x0a" "abc", 5);
	return pb_bytes_field(143, payload);
}

struct program_case {
	const char *what;
	std::string config;	// the service's fields go around it
	std::string messages;	// printed before the count
	int count;
	std::string text;
};

TEST(DProgram, TextCountAndDump)
{
	const program_case cases[] = {
		{ "no field 143", "", "", 0, "" },
		{ "field 143 as a varint", pb_varint_field(143, 5), "", 0, "" },
		{ "one fbt and one kinst entry",
		  dtrace_config({ { FBT, "f" }, { KINST, "g" } }), "", 3,
		  "fbt:kernel:f:entry\nfbt:kernel:f:return\nkinst::g\n" },
		{ "two dtrace_config fields, in order",
		  dtrace_config({ { FBT, "f" } }) + pb_varint_field(4, 1) +
		      dtrace_config({ { KINST, "g:8" } }), "", 3,
		  "fbt:kernel:f:entry\nfbt:kernel:f:return\nkinst::g:8\n" },
		{ "length-delimited field 3",
		  dtrace_config({ { 3, "f" }, { FBT, "g" } }),
		  "unsupported config type 3!\n", 2,
		  "fbt:kernel:g:entry\nfbt:kernel:g:return\n" },
		{ "varint field 1 is ignored",
		  pb_bytes_field(143, pb_varint_field(FBT, 7) +
		      pb_bytes_field(FBT, "f")), "", 2,
		  "fbt:kernel:f:entry\nfbt:kernel:f:return\n" },
		{ "empty fbt entry", dtrace_config({ { FBT, "" } }), "", 2,
		  "fbt:kernel::entry\nfbt:kernel::return\n" },
		{ "payload cut short after two entries, later field still read",
		  cut_short_after_two() + dtrace_config({ { FBT, "h" } }), "", 5,
		  "fbt:kernel:f:entry\nfbt:kernel:f:return\nkinst::g:4\n"
		  "fbt:kernel:h:entry\nfbt:kernel:h:return\n" },
		{ "interleaved entries keep arrival order",
		  dtrace_config({ { KINST, "a:1" }, { FBT, "b" }, { KINST, "c:2" },
		      { FBT, "d" } }), "", 6,
		  "kinst::a:1\nfbt:kernel:b:entry\nfbt:kernel:b:return\n"
		  "kinst::c:2\nfbt:kernel:d:entry\nfbt:kernel:d:return\n" },
		{ "globs stay", dtrace_config({ { FBT, "vm_*" },
		      { FBT, "[a-c]?x" } }), "", 4,
		  "fbt:kernel:vm_*:entry\nfbt:kernel:vm_*:return\n"
		  "fbt:kernel:[a-c]?x:entry\nfbt:kernel:[a-c]?x:return\n" },
	};
	for (const program_case &c : cases) {
		std::string config = pb_bytes_field(1, "dtrace") +
		    service_config(c.config);
		built b = build(config);
		EXPECT_EQ(b.out, dump(c.messages, c.count, c.text)) << c.what;
		EXPECT_EQ(b.text, c.text) << c.what;
		EXPECT_TRUE(b.finished) << c.what;
	}
}

TEST(DProgram, MalformedTopLevelEndsTheScanKeepingEarlierEntries)
{
	std::string config = dtrace_config({ { FBT, "f" } }) +
	    std::string("\x0a\x7f", 2) + dtrace_config({ { FBT, "g" } });
	built b = build(config);
	EXPECT_EQ(b.text, "fbt:kernel:f:entry\nfbt:kernel:f:return\n");
}

// Entries that would add D code of their own to a program run as root are
// refused with a line naming the field and the entry; good entries around
// them are kept and counted.
TEST(DProgram, EntriesThatAreNotPlainComponentsAreRejected)
{
	struct {
		uint32_t field;
		std::string entry;
		const char *shown;
	} bad[] = {
		{ FBT, "f:entry\nkinst::g", "f:entry\\x0akinst::g" },
		{ FBT, "f:entry{system(\"id\")}",
		  "f:entry{system(\\x22id\\x22)}" },
		{ FBT, "f:entry /pid == 1/", "f:entry /pid == 1/" },
		{ FBT, "f;", "f;" },
		{ FBT, "f,g", "f,g" },
		{ FBT, "a b", "a b" },
		{ FBT, "f:g", "f:g" },
		{ FBT, "it's", "it's" },
		{ FBT, "f\\", "f\\x5c" },
		{ FBT, "f\tg", "f\\x09g" },
		{ FBT, std::string("f\0g", 3), "f\\x00g" },
		{ FBT, "caf\xc3\xa9", "caf\\xc3\\xa9" },
		{ FBT, "f\x7f", "f\\x7f" },
		{ KINST, "g:1:2", "g:1:2" },
		{ KINST, "g }", "g }" },
		{ KINST, "g/*", "g/*" },
	};
	for (const auto &c : bad) {
		const char *field = c.field == FBT ? "fbt_function" :
		    "kinst_function";
		std::string config = dtrace_config({ { FBT, "ok" },
		    { c.field, c.entry }, { KINST, "k:4" } });
		built b = build(config);
		EXPECT_EQ(b.out, dump(std::string("build_d_program: rejected ") +
		    field + " entry \"" + c.shown +
		    "\": not a plain probe description component\n", 3,
		    "fbt:kernel:ok:entry\nfbt:kernel:ok:return\nkinst::k:4\n"))
		    << c.shown;
	}
}

}  // namespace
