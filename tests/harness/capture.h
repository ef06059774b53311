// Capture of standard output and standard error around a block of test code,
// and daemon programs run as child processes.
#ifndef TESTS_HARNESS_CAPTURE_H
#define TESTS_HARNESS_CAPTURE_H

#include <string>
#include <vector>

struct captured_output {
	std::string out;
	std::string err;
};

// Redirects file descriptors 1 and 2 into temporary files (stdio is flushed
// first).  Not nestable.
void capture_begin(void);
// Flushes stdio, restores both descriptors and returns what was written,
// less the SDK's own log lines on standard error.
struct captured_output capture_end(void);

struct child_result {
	std::string out;
	std::string err;
	bool alive;       // still running when the wait ended (then killed)
	int exit_status;  // when it exited by itself; -1 otherwise
};
// Runs a program built in this tree (found through TEST_DAEMON_DIR) with
// `args`, lets it run for up to `run_ms` milliseconds, then kills it if it is
// still running.  `env` ("NAME=VALUE" each) is added to its environment.
struct child_result run_program(const std::string &program,
                                const std::vector<std::string> &args,
                                int run_ms,
                                const std::vector<std::string> &env = {});

#endif
