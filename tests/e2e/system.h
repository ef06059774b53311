// A whole system on this host, as users run it: the real tracing service
// (traced) on private sockets, the daemons as processes on a simulated
// machine, the recorder, and the real trace processor to read traces back.
// Every child is ended when the test ends (and dies with the test process).
#ifndef TESTS_E2E_SYSTEM_H
#define TESTS_E2E_SYSTEM_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct e2e_process {
	pid_t pid;
	std::string log;  // its standard output and error, interleaved
};

struct e2e_system {
	std::string dir;          // private: sockets, logs, configs, traces
	std::vector<std::string> env;  // the sockets, and the machine if any
	struct e2e_process traced;
	std::map<std::string, struct e2e_process> daemons;
};

// A private folder and sockets; `machine` (a machine file, or "" for the
// default machine) for the daemons started later.
void e2e_init(struct e2e_system *sys, const std::string &machine);
// Kills every process still running, waits for each, removes the folder.
void e2e_teardown(struct e2e_system *sys);

// Starts traced and waits (bounded) for its consumer socket.
bool e2e_start_service(struct e2e_system *sys);
// Ends traced with `sig` and waits for it.
void e2e_stop_service(struct e2e_system *sys, int sig);

// Starts a daemon built in this tree; `extra_env` goes beside sys->env.
pid_t e2e_start_daemon(struct e2e_system *sys, const std::string &name,
    const std::vector<std::string> &args = {},
    const std::vector<std::string> &extra_env = {});
// What the daemon has written so far.
std::string e2e_daemon_output(const struct e2e_system *sys,
    const std::string &name);
// Waits up to `ms` for the daemon to exit; its exit status, or -1 while it
// still runs (or when it was killed by a signal).
int e2e_wait_daemon(struct e2e_system *sys, const std::string &name, int ms);
bool e2e_daemon_alive(struct e2e_system *sys, const std::string &name);
void e2e_kill_daemon(struct e2e_system *sys, const std::string &name,
    int sig);

// A file of this tree's sources (configs, machine files, queries).
std::string e2e_source_file(const std::string &relative);
// Writes `text` into the private folder; returns its path.
std::string e2e_write_file(const struct e2e_system *sys,
    const std::string &name, const std::string &text);

struct e2e_recording {
	int status;           // the recorder's exit status (-1: killed)
	std::string out;      // its summary
	std::string err;      // its progress and messages
	std::string path;     // the trace file
	std::string trace;    // the trace's bytes
};
// Records with trace_recorder from `config` (a path) for `ms` into
// `name`.pftrace of the private folder, and waits (bounded) for it; or
// starts it, to be waited for with e2e_record_wait.
struct e2e_recording e2e_record(struct e2e_system *sys,
    const std::string &config, int ms, const std::string &name = "trace");
pid_t e2e_record_start(struct e2e_system *sys, const std::string &config,
    int ms, const std::string &name);
struct e2e_recording e2e_record_wait(struct e2e_system *sys, pid_t pid,
    const std::string &name);

// Runs a query file of scripts/sql (or any SQL text file) over a trace with
// trace_processor_shell; the CSV rows, header first, unquoted.
std::vector<std::vector<std::string>> e2e_query(const std::string &trace_path,
    const std::string &sql_path);

// Sleeps `ms` milliseconds.
void e2e_sleep_ms(int ms);

#endif
