// trace_recorder as a program: its arguments, and the exit status and
// message for each way a recording cannot happen, with no tracing service
// on the consumer socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness/capture.h"

static const int kRunMs = 20000;  // every run here ends long before

class RecorderProgram : public testing::Test {
protected:
	std::string dir;

	void
	SetUp() override
	{
		char tmpl[] = "/tmp/recorder-test-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		// Sockets nobody listens on: no service, whatever runs here.
		setenv("PERFETTO_CONSUMER_SOCK_NAME",
		    (dir + "/consumer.sock").c_str(), 1);
		setenv("PERFETTO_PRODUCER_SOCK_NAME",
		    (dir + "/producer.sock").c_str(), 1);
	}

	void
	TearDown() override
	{
		std::string cmd = "rm -rf '" + dir + "'";
		ASSERT_EQ(system(cmd.c_str()), 0);
	}

	std::string
	write_file(const char *name, const std::string &text)
	{
		std::string path = dir + "/" + name;
		FILE *f = fopen(path.c_str(), "w");
		EXPECT_NE(f, nullptr);
		fputs(text.c_str(), f);
		fclose(f);
		return path;
	}

	child_result
	run(const std::vector<std::string> &args)
	{
		child_result r = run_program("trace_recorder", args, kRunMs);
		EXPECT_FALSE(r.alive) << r.err;
		return r;
	}
};

static const char good_config[] =
    "buffers { size_kb: 1024 }\n"
    "data_sources { config { name: \"freebsd.sys_stats\" } }\n"
    "duration_ms: 500\n";

static bool
exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

TEST_F(RecorderProgram, HelpGoesToStandardOutput)
{
	for (const char *opt : {"-h", "--help"}) {
		child_result r = run({opt});
		EXPECT_EQ(r.exit_status, EX_OK);
		EXPECT_EQ(r.out.rfind("usage: trace_recorder [-q] [-d ms] "
		    "-c config -o trace\n", 0), 0u) << r.out;
		EXPECT_EQ(r.err, "");
	}
}

TEST_F(RecorderProgram, BadArgumentsAreUsageErrors)
{
	std::string cfg = write_file("c.txtpb", good_config);
	std::string out = dir + "/t.pftrace";
	std::vector<std::vector<std::string>> cases = {
		{},
		{"-c", cfg},
		{"-o", out},
		{"-c", cfg, "-o", out, "extra"},
		{"-x", "-c", cfg, "-o", out},
		{"-c", cfg, "-o"},
		{"-d", "0", "-c", cfg, "-o", out},
		{"-d", "-5", "-c", cfg, "-o", out},
		{"-d", "10s", "-c", cfg, "-o", out},
		{"-d", "", "-c", cfg, "-o", out},
		{"-d", "604800001", "-c", cfg, "-o", out},
		{"-d", "99999999999999999999", "-c", cfg, "-o", out},
	};
	for (const std::vector<std::string> &args : cases) {
		std::string shown;
		for (const std::string &a : args)
			shown += " '" + a + "'";
		SCOPED_TRACE(shown);
		child_result r = run(args);
		EXPECT_EQ(r.exit_status, EX_USAGE);
		EXPECT_TRUE(r.err.find("usage:") != std::string::npos ||
		    r.err.find("-d ") != std::string::npos) << r.err;
		EXPECT_EQ(r.out, "");
		EXPECT_FALSE(exists(out));
	}
}

TEST_F(RecorderProgram, NoDurationAnywhereIsAUsageError)
{
	std::string cfg = write_file("c.txtpb",
	    "buffers { size_kb: 1024 }\n"
	    "data_sources { config { name: \"freebsd.power\" } }\n");
	child_result r = run({"-c", cfg, "-o", dir + "/t.pftrace"});
	EXPECT_EQ(r.exit_status, EX_USAGE);
	EXPECT_NE(r.err.find("duration_ms"), std::string::npos) << r.err;
	EXPECT_FALSE(exists(dir + "/t.pftrace"));
}

TEST_F(RecorderProgram, UnreadableConfigIsNoInput)
{
	for (const std::string &cfg : {dir + "/missing.txtpb", dir}) {
		SCOPED_TRACE(cfg);
		child_result r = run({"-c", cfg, "-o", dir + "/t.pftrace"});
		EXPECT_EQ(r.exit_status, EX_NOINPUT);
		EXPECT_NE(r.err.find(cfg + ": "), std::string::npos) << r.err;
		EXPECT_FALSE(exists(dir + "/t.pftrace"));
	}
}

TEST_F(RecorderProgram, BadConfigIsDataErrorWithItsPlace)
{
	struct {
		const char *text;
		const char *message;  // after the config's path
	} cases[] = {
		{"buffers { size_kb: 64 }\n"
		 "data_sources { config { nam: \"x\" } }\n",
		 ":2:28: "},
		{"buffers { size_kb: 64 }\nduration_ms: 100\n",
		 ": no data_sources"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		std::string cfg = write_file("c.txtpb", c.text);
		child_result r = run({"-c", cfg, "-o", dir + "/t.pftrace"});
		EXPECT_EQ(r.exit_status, EX_DATAERR);
		EXPECT_EQ(r.err.rfind(cfg + c.message, 0), 0u) << r.err;
		EXPECT_FALSE(exists(dir + "/t.pftrace"));
	}
}

// `-c -` reads the config from standard input, which the child inherits.
TEST_F(RecorderProgram, ConfigFromStandardInput)
{
	std::string cfg = write_file("c.txtpb", "buffers { size_kb: 64 }\n"
	    "data_sources { config { name: \"x\" } }\nbogus: 1\n");
	int saved = dup(0);
	int fd = open(cfg.c_str(), O_RDONLY);
	ASSERT_GE(fd, 0);
	dup2(fd, 0);
	close(fd);
	child_result r = run({"-c", "-", "-o", dir + "/t.pftrace"});
	dup2(saved, 0);
	close(saved);
	EXPECT_EQ(r.exit_status, EX_DATAERR);
	EXPECT_EQ(r.err.rfind("stdin:3:", 0), 0u) << r.err;
}

TEST_F(RecorderProgram, TraceThatCannotBeCreatedIsCantCreat)
{
	std::string cfg = write_file("c.txtpb", good_config);
	for (const std::string &out : {dir + "/no/such/dir/t.pftrace", dir}) {
		SCOPED_TRACE(out);
		child_result r = run({"-c", cfg, "-o", out});
		EXPECT_EQ(r.exit_status, EX_CANTCREAT);
		EXPECT_NE(r.err.find(out + ": "), std::string::npos) << r.err;
	}
}

// The SDK reports nothing when no service answers; the recorder finds out
// at once, says where it looked, and leaves no trace file behind (and an
// existing one as it was).
TEST_F(RecorderProgram, NoServiceIsUnavailable)
{
	std::string cfg = write_file("c.txtpb", good_config);
	std::string kept = write_file("kept.pftrace", "old contents");
	std::string fresh = dir + "/t.pftrace";
	for (const std::vector<std::string> &args :
	    std::vector<std::vector<std::string>>{
		    {"-c", cfg, "-o", fresh},
		    {"-q", "-d", "60000", "-c", cfg, "-o", fresh},
		    {"-c", cfg, "-o", kept}}) {
		SCOPED_TRACE(args.back());
		child_result r = run(args);
		EXPECT_EQ(r.exit_status, EX_UNAVAILABLE);
		EXPECT_NE(r.err.find("PERFETTO_CONSUMER_SOCK_NAME=" + dir +
		    "/consumer.sock"), std::string::npos) << r.err;
		EXPECT_EQ(r.out, "");
	}
	EXPECT_FALSE(exists(fresh));
	FILE *f = fopen(kept.c_str(), "r");
	ASSERT_NE(f, nullptr);
	char buf[64] = {};
	EXPECT_GT(fread(buf, 1, sizeof buf - 1, f), 0u);
	fclose(f);
	EXPECT_STREQ(buf, "old contents");
}
