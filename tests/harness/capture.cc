#include "harness/capture.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int saved_out = -1, saved_err = -1;
static FILE *out_file, *err_file;

static std::string
read_all(FILE *f)
{
	std::string s;
	char buf[4096];
	size_t n;
	rewind(f);
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		s.append(buf, n);
	return s;
}

// The Perfetto SDK's own log lines ("[12.345] file.cc:67 text"), which the
// real SDK writes to standard error from its threads; they are not the
// daemon's diagnostics.
static std::string
without_sdk_log(const std::string &text)
{
	std::string out;
	size_t pos = 0;
	while (pos < text.size()) {
		size_t end = text.find('\n', pos);
		end = end == std::string::npos ? text.size() : end + 1;
		std::string line = text.substr(pos, end - pos);
		pos = end;
		size_t close = line.find("] ");
		bool sdk = line.size() > 2 && line[0] == '[' &&
		    close != std::string::npos &&
		    line.find_first_not_of("0123456789.", 1) == close &&
		    line.find(".cc:", close) != std::string::npos;
		if (!sdk)
			out += line;
	}
	return out;
}

void
capture_begin(void)
{
	fflush(stdout);
	fflush(stderr);
	out_file = tmpfile();
	err_file = tmpfile();
	saved_out = dup(1);
	saved_err = dup(2);
	dup2(fileno(out_file), 1);
	dup2(fileno(err_file), 2);
}

struct captured_output
capture_end(void)
{
	struct captured_output r;
	fflush(stdout);
	fflush(stderr);
	dup2(saved_out, 1);
	dup2(saved_err, 2);
	close(saved_out);
	close(saved_err);
	r.out = read_all(out_file);
	r.err = without_sdk_log(read_all(err_file));
	fclose(out_file);
	fclose(err_file);
	return r;
}

struct child_result
run_program(const std::string &program, const std::vector<std::string> &args,
            int run_ms, const std::vector<std::string> &env)
{
	struct child_result r = {"", "", false, -1};
	const char *dir = getenv("TEST_DAEMON_DIR");
	std::string path = std::string(dir ? dir : ".") + "/" + program;
	FILE *out = tmpfile(), *err = tmpfile();
	fflush(stdout);
	fflush(stderr);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(fileno(out), 1);
		dup2(fileno(err), 2);
		std::vector<char *> argv;
		argv.push_back(const_cast<char *>(path.c_str()));
		for (const std::string &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		for (const std::string &e : env)
			putenv(const_cast<char *>(e.c_str()));
		execv(path.c_str(), argv.data());
		_exit(127);
	}
	int status = 0;
	bool exited = false;
	for (int waited = 0; waited < run_ms; waited += 10) {
		if (waitpid(pid, &status, WNOHANG) == pid) {
			exited = true;
			break;
		}
		struct timespec ts = {0, 10 * 1000 * 1000};
		nanosleep(&ts, nullptr);
	}
	if (!exited) {
		r.alive = true;
		kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
	} else if (WIFEXITED(status)) {
		r.exit_status = WEXITSTATUS(status);
	}
	r.out = read_all(out);
	r.err = read_all(err);
	fclose(out);
	fclose(err);
	return r;
}
