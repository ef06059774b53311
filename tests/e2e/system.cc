#include "e2e/system.h"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

void
e2e_sleep_ms(int ms)
{
	struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
	nanosleep(&ts, nullptr);
}

static std::string
read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

std::string
e2e_source_file(const std::string &relative)
{
	return std::string(E2E_SOURCE_DIR) + "/" + relative;
}

std::string
e2e_write_file(const struct e2e_system *sys, const std::string &name,
               const std::string &text)
{
	std::string path = sys->dir + "/" + name;
	std::ofstream(path, std::ios::binary) << text;
	return path;
}

// Starts `path` with `args`, its output into `log`; the child dies with the
// test process and sees `env` beside the test's own environment.
static pid_t
spawn(const std::string &path, const std::vector<std::string> &args,
      const std::vector<std::string> &env, const std::string &log,
      bool keep_machine)
{
	fflush(stdout);
	fflush(stderr);
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
	if (fd < 0)
		_exit(126);
	dup2(fd, 1);
	dup2(fd, 2);
	close(fd);
	int null = open("/dev/null", O_RDONLY);
	dup2(null, 0);
	if (!keep_machine)
		unsetenv("FREEBSD_SIM_MACHINE");
	for (const std::string &e : env)
		putenv(strdup(e.c_str()));
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>(path.c_str()));
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	execv(path.c_str(), argv.data());
	_exit(127);
}

// Waits up to `ms` for `pid`; its exit status, -2 when killed by a signal,
// -1 while it runs.
static int
wait_for(pid_t pid, int ms)
{
	int status;
	for (int waited = 0;; waited += 10) {
		pid_t r = waitpid(pid, &status, WNOHANG);
		if (r == pid)
			return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
		if (r < 0 || waited >= ms)
			return -1;
		e2e_sleep_ms(10);
	}
}

static void
end_process(struct e2e_process *p)
{
	if (p->pid <= 0)
		return;
	kill(p->pid, SIGTERM);
	if (wait_for(p->pid, 3000) == -1) {
		kill(p->pid, SIGKILL);
		waitpid(p->pid, nullptr, 0);
	}
	p->pid = -1;
}

void
e2e_init(struct e2e_system *sys, const std::string &machine)
{
	char tmpl[] = "/tmp/e2e.XXXXXX";
	sys->dir = mkdtemp(tmpl);
	sys->env = {
		"PERFETTO_PRODUCER_SOCK_NAME=" + sys->dir + "/producer.sock",
		"PERFETTO_CONSUMER_SOCK_NAME=" + sys->dir + "/consumer.sock",
	};
	if (!machine.empty())
		sys->env.push_back("FREEBSD_SIM_MACHINE=" + machine);
	sys->traced = {-1, sys->dir + "/traced.log"};
}

void
e2e_teardown(struct e2e_system *sys)
{
	for (auto &d : sys->daemons)
		end_process(&d.second);
	end_process(&sys->traced);
	std::string cmd = "rm -rf '" + sys->dir + "'";
	if (!sys->dir.empty() && system(cmd.c_str()) != 0)
		fprintf(stderr, "could not remove %s\n", sys->dir.c_str());
}

bool
e2e_start_service(struct e2e_system *sys)
{
	std::string sock = sys->dir + "/consumer.sock";
	unlink(sock.c_str());
	unlink((sys->dir + "/producer.sock").c_str());
	sys->traced.pid = spawn(std::string(E2E_TOOLS_DIR) + "/traced", {},
	    sys->env, sys->traced.log, false);
	struct stat st;
	for (int waited = 0; waited < 10000; waited += 10) {
		if (stat(sock.c_str(), &st) == 0)
			return true;
		e2e_sleep_ms(10);
	}
	return false;
}

void
e2e_stop_service(struct e2e_system *sys, int sig)
{
	if (sys->traced.pid <= 0)
		return;
	kill(sys->traced.pid, sig);
	if (wait_for(sys->traced.pid, 5000) == -1) {
		kill(sys->traced.pid, SIGKILL);
		waitpid(sys->traced.pid, nullptr, 0);
	}
	sys->traced.pid = -1;
}

pid_t
e2e_start_daemon(struct e2e_system *sys, const std::string &name,
                 const std::vector<std::string> &args,
                 const std::vector<std::string> &extra_env)
{
	std::vector<std::string> env = sys->env;
	env.insert(env.end(), extra_env.begin(), extra_env.end());
	struct e2e_process p = {-1, sys->dir + "/" + name + ".log"};
	p.pid = spawn(std::string(E2E_BUILD_DIR) + "/" + name, args, env, p.log,
	    true);
	sys->daemons[name] = p;
	return p.pid;
}

std::string
e2e_daemon_output(const struct e2e_system *sys, const std::string &name)
{
	auto it = sys->daemons.find(name);
	return it == sys->daemons.end() ? "" : read_file(it->second.log);
}

int
e2e_wait_daemon(struct e2e_system *sys, const std::string &name, int ms)
{
	struct e2e_process &p = sys->daemons[name];
	if (p.pid <= 0)
		return -1;
	int r = wait_for(p.pid, ms);
	if (r != -1)
		p.pid = -1;
	return r;
}

bool
e2e_daemon_alive(struct e2e_system *sys, const std::string &name)
{
	struct e2e_process &p = sys->daemons[name];
	if (p.pid <= 0)
		return false;
	if (waitpid(p.pid, nullptr, WNOHANG) == 0)
		return true;
	p.pid = -1;
	return false;
}

void
e2e_kill_daemon(struct e2e_system *sys, const std::string &name, int sig)
{
	struct e2e_process &p = sys->daemons[name];
	if (p.pid <= 0)
		return;
	kill(p.pid, sig);
	waitpid(p.pid, nullptr, 0);
	p.pid = -1;
}

pid_t
e2e_record_start(struct e2e_system *sys, const std::string &config, int ms,
                 const std::string &name)
{
	std::string base = sys->dir + "/" + name;
	unlink((base + ".out").c_str());
	return spawn(std::string(E2E_BUILD_DIR) + "/trace_recorder",
	    {"-c", config, "-o", base + ".pftrace", "-d", std::to_string(ms)},
	    sys->env, base + ".out", false);
}

struct e2e_recording
e2e_record_wait(struct e2e_system *sys, pid_t pid, const std::string &name)
{
	struct e2e_recording r;
	std::string base = sys->dir + "/" + name;
	r.status = wait_for(pid, 120000);
	if (r.status == -1) {
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
	// The recorder writes its summary to standard output and its progress
	// to standard error; both went to one file: progress lines begin with
	// its name.
	std::istringstream lines(read_file(base + ".out"));
	for (std::string line; std::getline(lines, line);)
		(line.rfind("trace_recorder:", 0) == 0 ? r.err : r.out) +=
		    line + "\n";
	r.path = base + ".pftrace";
	r.trace = read_file(r.path);
	return r;
}

struct e2e_recording
e2e_record(struct e2e_system *sys, const std::string &config, int ms,
           const std::string &name)
{
	return e2e_record_wait(sys, e2e_record_start(sys, config, ms, name),
	    name);
}

// One CSV line of trace_processor_shell: fields in double quotes or bare.
static std::vector<std::string>
csv_fields(const std::string &line)
{
	std::vector<std::string> out;
	std::string cur;
	bool quoted = false;
	for (size_t i = 0; i < line.size(); i++) {
		char c = line[i];
		if (quoted) {
			if (c == '"' && i + 1 < line.size() && line[i + 1] == '"')
				cur += line[++i];
			else if (c == '"')
				quoted = false;
			else
				cur += c;
		} else if (c == '"') {
			quoted = true;
		} else if (c == ',') {
			out.push_back(cur);
			cur.clear();
		} else {
			cur += c;
		}
	}
	out.push_back(cur);
	return out;
}

std::vector<std::vector<std::string>>
e2e_query(const std::string &trace_path, const std::string &sql_path)
{
	std::string out_path = trace_path + ".csv";
	std::string cmd = std::string(E2E_TOOLS_DIR) +
	    "/trace_processor_shell -q '" + sql_path + "' '" + trace_path +
	    "' > '" + out_path + "' 2>/dev/null";
	std::vector<std::vector<std::string>> rows;
	if (system(cmd.c_str()) != 0)
		return rows;
	std::istringstream lines(read_file(out_path));
	for (std::string line; std::getline(lines, line);)
		if (!line.empty())
			rows.push_back(csv_fields(line));
	return rows;
}
