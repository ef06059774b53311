// Machine files: read, parsed with protobuf's text format, checked, then
// installed.  Nothing is installed unless the whole file is good.  The file
// of FREEBSD_SIM_MACHINE is read as the process starts and installed with
// the machine (sysctl.cc's ensure_init).
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sysexits.h>
#include <unistd.h>

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

#include <string>

#include "machine_file.h"
#include "machine_rules.h"
#include "sim/machine.h"

using google::protobuf::TextFormat;

namespace {

// Keeps the first error of the parser, with its position from 1.
struct first_error : google::protobuf::io::ErrorCollector {
	std::string file;
	std::string message;

	void
	note(int line, int column, const std::string &text)
	{
		if (message.empty())
			message = file + ":" + std::to_string(line + 1) + ":" +
			    std::to_string(column + 1) + ": " + text;
	}
#if GOOGLE_PROTOBUF_VERSION >= 4022000
	void
	RecordError(int line, int column, absl::string_view text) override
	{
		note(line, column, std::string(text));
	}
#else
	void
	AddError(int line, int column, const std::string &text) override
	{
		note(line, column, text);
	}
#endif
};

bool
read_file(const char *path, std::string *text, std::string *error)
{
	FILE *f = fopen(path, "r");
	if (f == nullptr) {
		*error = std::string(path) + ": cannot read: " + strerror(errno);
		return false;
	}
	char buf[8192];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		text->append(buf, n);
	int err = ferror(f) ? errno : 0;
	fclose(f);
	if (err != 0) {
		*error = std::string(path) + ": cannot read: " + strerror(err);
		return false;
	}
	return true;
}

// Reads, parses and checks the file.
bool
parse_file(const char *path, freebsd_sim::Machine *machine,
    std::string *error)
{
	std::string text;
	if (!read_file(path, &text, error))
		return false;
	TextFormat::ParseInfoTree tree;
	first_error errors;
	errors.file = path;
	TextFormat::Parser parser;
	parser.RecordErrorsTo(&errors);
	parser.WriteLocationsTo(&tree);
	if (!parser.ParseFromString(text, machine)) {
		*error = errors.message.empty() ?
		    std::string(path) + ": not a machine file" : errors.message;
		return false;
	}
	return machine_check(*machine, tree, path, error);
}

[[noreturn]] void
stop(const std::string &error)
{
	fprintf(stderr, "%s\n", error.c_str());
	// Other threads of the daemon may be running: leave without running
	// the destructors under them.
	fflush(stdout);
	_exit(EX_CONFIG);
}

// The machine file named when the process started, read and checked then,
// to be installed with the machine.
freebsd_sim::Machine *from_start;

// A daemon with a malformed file stops before it does anything, even one
// that touches the simulation only once a tracing session starts.  Only
// protobuf's own initialization (which comes first) is needed here.
__attribute__((constructor)) void
read_at_start(void)
{
	const char *path = getenv(SIM_MACHINE_ENV);
	if (path == nullptr || *path == '\0')
		return;
	freebsd_sim::Machine *m = new freebsd_sim::Machine;
	std::string error;
	if (!parse_file(path, m, &error))
		stop(error);
	from_start = m;
}

}  // namespace

bool
sim_machine_load(const char *path, std::string *error)
{
	std::string ignored;
	if (error == nullptr)
		error = &ignored;
	if (path == nullptr) {
		*error = "(null): no machine file named";
		return false;
	}
	freebsd_sim::Machine machine;
	if (!parse_file(path, &machine, error))
		return false;
	machine_apply(machine);
	return true;
}

void
machine_file_from_environment(void)
{
	if (from_start != nullptr) {
		machine_apply(*from_start);
		delete from_start;
		from_start = nullptr;
		return;
	}
	// Named after the start (a test that sets the variable itself).
	const char *path = getenv(SIM_MACHINE_ENV);
	if (path == nullptr || *path == '\0')
		return;
	std::string error;
	if (!sim_machine_load(path, &error))
		stop(error);
}
