// The simulated machine's file reader over arbitrary text, through its
// public entry point: a file is either installed or refused with
// "PATH:LINE:COLUMN: REASON" (or "PATH: REASON").
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "sim/machine.h"

static std::string path;

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	path = "/tmp/machine_file_fuzz." + std::to_string(getpid()) + ".txtpb";
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FILE *f = fopen(path.c_str(), "w");
	if (f == NULL)
		return 0;
	if (size > 0 && fwrite(data, 1, size, f) != size) {
		fclose(f);
		return 0;
	}
	fclose(f);

	std::string error;
	if (!sim_machine_load(path.c_str(), &error) &&
	    error.compare(0, path.size() + 1, path + ":") != 0)
		__builtin_trap();
	return 0;
}
