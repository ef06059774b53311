// What a parsed machine file must satisfy, and how it becomes the machine.
#ifndef SIM_MACHINE_RULES_H
#define SIM_MACHINE_RULES_H

#include <google/protobuf/text_format.h>

#include <string>

#include "machine.pb.h"

// Checks what the text format cannot: required fields, ranges, names,
// CPUs.  On failure, false with "FILE:LINE:COLUMN: FIELD: REASON" in
// `*error`, the position being that of the field (or of its message, for
// one left out) as `tree` recorded it.
bool machine_check(const freebsd_sim::Machine &m,
    const google::protobuf::TextFormat::ParseInfoTree &tree,
    const std::string &file, std::string *error);

// Installs a checked machine: its base, then the parts it gives.
void machine_apply(const freebsd_sim::Machine &m);

// The value of the error that a failure names (checked: it exists).
template <typename F>
int machine_failure_errno(const F &f);

// The errno of a name that <errno.h> defines and the simulation knows.
bool machine_errno(const std::string &name, int *value);

template <typename F>
int
machine_failure_errno(const F &f)
{
	int value = 0;
	if (f.failure_case() == F::kErrorNumber)
		return f.error_number();
	machine_errno(f.error(), &value);
	return value;
}

#endif
