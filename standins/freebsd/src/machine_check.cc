// The checks of a machine file that the text format leaves to us.  Each
// error names the file, the position of the field and its path in the file
// ("cpus.cpu[2].id"), and stops the checking: the first error is reported.
#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>

#include <set>
#include <string>
#include <vector>

#include "default_cpu.h"
#include "machine_rules.h"

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using google::protobuf::TextFormat;
using namespace freebsd_sim;

namespace {

const unsigned MAX_CPUS_LIMIT = 4096;
const double MAX_FIRINGS_PER_SECOND = 100000;
const uint64_t MAX_DURATION_NS = 1000000000;
const size_t MAX_PROVIDER_NAME = 15;	// DEVSTAT_NAME_LEN less the NUL

const struct {
	const char *name;
	int value;
} errno_names[] = {
	{"EPERM", EPERM}, {"ENOENT", ENOENT}, {"ESRCH", ESRCH},
	{"EINTR", EINTR}, {"EIO", EIO}, {"ENXIO", ENXIO}, {"E2BIG", E2BIG},
	{"EBADF", EBADF}, {"EDEADLK", EDEADLK}, {"ENOMEM", ENOMEM},
	{"EACCES", EACCES}, {"EFAULT", EFAULT}, {"EBUSY", EBUSY},
	{"EEXIST", EEXIST}, {"ENODEV", ENODEV}, {"ENOTDIR", ENOTDIR},
	{"EISDIR", EISDIR}, {"EINVAL", EINVAL}, {"ENFILE", ENFILE},
	{"EMFILE", EMFILE}, {"ENOTTY", ENOTTY}, {"ENOSPC", ENOSPC},
	{"EROFS", EROFS}, {"EAGAIN", EAGAIN}, {"ERANGE", ERANGE},
	{"EOPNOTSUPP", EOPNOTSUPP}, {"ENOSYS", ENOSYS},
	{"ETIMEDOUT", ETIMEDOUT}, {"EILSEQ", EILSEQ},
};

// A message of the file: where its fields were found, and its path.
struct place {
	const TextFormat::ParseInfoTree *tree;	// null: no positions known
	std::string path;			// "" for the file's top level
	int line, column;			// of the message, from 0; -1 unknown
};

struct checker {
	std::string file;
	std::string *error;
};

const FieldDescriptor *
field_of(const Message &m, const char *name)
{
	return m.GetDescriptor()->FindFieldByName(name);
}

std::string
path_of(const place &p, const char *name, int index)
{
	std::string path = p.path;
	if (name == nullptr)
		return path;
	if (!path.empty())
		path += ".";
	path += name;
	if (index >= 0)
		path += "[" + std::to_string(index) + "]";
	return path;
}

// The message in field `name` (element `index` of a repeated one, -1 for a
// singular one).
place
enter(const place &p, const Message &m, const char *name, int index)
{
	const FieldDescriptor *fd = field_of(m, name);
	place inner = {nullptr, path_of(p, name, index), p.line, p.column};
	if (p.tree == nullptr)
		return inner;
	inner.tree = p.tree->GetTreeForNested(fd, index);
	TextFormat::ParseLocation at = p.tree->GetLocation(fd, index);
	if (at.line >= 0) {
		inner.line = at.line;
		inner.column = at.column;
	}
	return inner;
}

// Records the error at field `name` of `m` (its message when null or not in
// the file) and returns false.
bool
bad(checker &c, const place &p, const Message &m, const char *name, int index,
    const std::string &reason)
{
	int line = p.line, column = p.column;
	if (name != nullptr && p.tree != nullptr) {
		const FieldDescriptor *fd = field_of(m, name);
		TextFormat::ParseLocation at = p.tree->GetLocation(fd, index);
		// A list ("cpu: [0, 9]") has the position of its field only.
		if (at.line < 0 && index > 0)
			at = p.tree->GetLocation(fd, 0);
		if (at.line >= 0) {
			line = at.line;
			column = at.column;
		}
	}
	std::string path = path_of(p, name, index);
	*c.error = c.file + ":" + std::to_string(line + 1) + ":" +
	    std::to_string(column + 1) + ": " + (path.empty() ? "" : path + ": ") +
	    reason;
	return false;
}

bool
bad(checker &c, const place &p, const Message &m, const char *name,
    const std::string &reason)
{
	return bad(c, p, m, name, -1, reason);
}

std::string
number(double v)
{
	char text[64];
	snprintf(text, sizeof text, "%g", v);
	return text;
}

// Every double field of `rates` that is set: finite, 0 to `max`.
bool
check_rates(checker &c, const place &p, const Message &rates, double max)
{
	const Reflection *r = rates.GetReflection();
	std::vector<const FieldDescriptor *> set;
	r->ListFields(rates, &set);
	for (const FieldDescriptor *fd : set) {
		if (fd->type() != FieldDescriptor::TYPE_DOUBLE)
			continue;
		double v = r->GetDouble(rates, fd);
		if (!std::isfinite(v) || v < 0 || v > max)
			return bad(c, p, rates, fd->name().c_str(), number(v) +
			    " is not a rate from 0 to " + number(max));
	}
	return true;
}

template <typename F>
bool
check_error(checker &c, const place &p, const F &f)
{
	int value;
	switch (f.failure_case()) {
	case F::kError:
		if (!machine_errno(f.error(), &value)) {
			std::string known;
			for (const auto &e : errno_names)
				known += std::string(known.empty() ? "" : " ") +
				    e.name;
			return bad(c, p, f, "error", "unknown error \"" +
			    f.error() + "\" (known: " + known +
			    "; or give error_number)");
		}
		return true;
	case F::kErrorNumber:
		if (f.error_number() <= 0)
			return bad(c, p, f, "error_number", "must be above 0");
		return true;
	default:
		return bad(c, p, f, nullptr, "error or error_number is required");
	}
}

bool
plain_name(const std::string &s)
{
	for (char ch : s)
		if (ch <= ' ' || ch > '~')
			return false;
	return !s.empty();
}

// --- Parts -------------------------------------------------------------------

// The CPUs there will be: the file's, or the base's.
struct cpu_facts {
	unsigned max_cpus;	// 0: no kern.smp.maxcpus
	std::set<unsigned> present;
};

bool
check_cpu(checker &c, const place &p, const Cpu &cpu, unsigned max_cpus,
    std::set<unsigned> *ids)
{
	if (!cpu.has_id())
		return bad(c, p, cpu, nullptr, "id is required");
	if (cpu.id() >= max_cpus)
		return bad(c, p, cpu, "id", "CPU " + std::to_string(cpu.id()) +
		    " is not below max_cpus (" + std::to_string(max_cpus) + ")");
	if (!ids->insert(cpu.id()).second)
		return bad(c, p, cpu, "id", "CPU " + std::to_string(cpu.id()) +
		    " is given twice");
	if (cpu.has_ticks_per_second() &&
	    !check_rates(c, enter(p, cpu, "ticks_per_second", -1),
	    cpu.ticks_per_second(), 1e9))
		return false;
	for (int i = 0; i < cpu.idle_state_size(); i++) {
		const IdleState &st = cpu.idle_state(i);
		place sp = enter(p, cpu, "idle_state", i);
		if (!st.has_method())
			return bad(c, sp, st, nullptr, "method is required");
		if (!plain_name(st.method()))
			return bad(c, sp, st, "method",
			    "must be printable, without blanks, not empty");
		if (st.has_us_per_second() &&
		    !check_rates(c, sp, st, 1000000))
			return false;
	}
	return true;
}

bool
check_cpus(checker &c, const place &top, const Machine &m, cpu_facts *f)
{
	if (m.base() == Machine::DEFAULT) {
		f->max_cpus = default_max_cpus;
		for (int id = 0; id < default_cpus; id++)
			f->present.insert((unsigned)id);
	} else {
		f->max_cpus = 0;
	}
	if (!m.has_cpus())
		return true;
	const Cpus &cpus = m.cpus();
	place p = enter(top, m, "cpus", -1);
	if (cpus.has_max_cpus()) {
		if (cpus.max_cpus() < 1 || cpus.max_cpus() > MAX_CPUS_LIMIT)
			return bad(c, p, cpus, "max_cpus", "must be from 1 to " +
			    std::to_string(MAX_CPUS_LIMIT));
		f->max_cpus = cpus.max_cpus();
	} else if (cpus.cpu_size() > 0 && f->max_cpus == 0) {
		f->max_cpus = default_max_cpus;
	}
	if (cpus.cpu_size() == 0) {
		if (!f->present.empty() && *f->present.rbegin() >= f->max_cpus)
			return bad(c, p, cpus, "max_cpus", "the base machine "
			    "has CPU " + std::to_string(*f->present.rbegin()) +
			    ", not below " + std::to_string(f->max_cpus));
		return true;
	}
	f->present.clear();
	for (int i = 0; i < cpus.cpu_size(); i++)
		if (!check_cpu(c, enter(p, cpus, "cpu", i), cpus.cpu(i),
		    f->max_cpus, &f->present))
			return false;
	return true;
}

bool
check_interrupts(checker &c, const place &top, const Machine &m)
{
	for (int i = 0; i < m.interrupt_size(); i++)
		if (!check_rates(c, enter(top, m, "interrupt", i),
		    m.interrupt(i), 1e12))
			return false;
	return true;
}

bool
check_provider_name(checker &c, const place &p, const Message &m,
    const std::string &name, std::set<std::string> *names)
{
	if (!plain_name(name) || name.size() > MAX_PROVIDER_NAME)
		return bad(c, p, m, "name", "must be 1 to " +
		    std::to_string(MAX_PROVIDER_NAME) +
		    " printable characters without blanks");
	if (!names->insert(name).second)
		return bad(c, p, m, "name", "provider \"" + name +
		    "\" is given twice");
	return true;
}

bool
check_disks(checker &c, const place &top, const Machine &m)
{
	std::set<std::string> names;
	for (int i = 0; i < m.disk_size(); i++) {
		const Disk &d = m.disk(i);
		place p = enter(top, m, "disk", i);
		if (!d.has_name())
			return bad(c, p, d, nullptr, "name is required");
		if (!check_provider_name(c, p, d, d.name(), &names))
			return false;
		if (d.has_sector_size() && d.sector_size() == 0)
			return bad(c, p, d, "sector_size", "must be above 0");
		if (d.media_size() < 0)
			return bad(c, p, d, "media_size", "must not be negative");
		if (d.has_per_second() && !check_rates(c,
		    enter(p, d, "per_second", -1), d.per_second(), 1e15))
			return false;
		for (int k = 0; k < d.partition_size(); k++) {
			const Partition &part = d.partition(k);
			place pp = enter(p, d, "partition", k);
			if (!part.has_name())
				return bad(c, pp, part, nullptr,
				    "name is required");
			if (!check_provider_name(c, pp, part, part.name(),
			    &names))
				return false;
			if (part.has_per_second() && !check_rates(c,
			    enter(pp, part, "per_second", -1),
			    part.per_second(), 1e15))
				return false;
		}
	}
	return true;
}

bool
check_rapl(checker &c, const place &top, const Machine &m)
{
	if (!m.has_rapl())
		return true;
	place p = enter(top, m, "rapl", -1);
	const Rapl &r = m.rapl();
	const char *const domains[] = {"pp0", "pp1", "platform", "dram"};
	const RaplCounter *counters[] = {&r.pp0(), &r.pp1(), &r.platform(),
	    &r.dram()};
	for (int i = 0; i < 4; i++) {
		const RaplCounter &k = *counters[i];
		if (k.has_present() && !k.present() &&
		    (k.has_start() || k.has_per_ms()))
			return bad(c, enter(p, r, domains[i], -1), k, "present",
			    "an absent counter has no start or per_ms");
	}
	return true;
}

bool
check_firing(checker &c, const place &p, const Firing &f, bool fbt,
    const cpu_facts &cpus)
{
	for (int i = 0; i < f.cpu_size(); i++)
		if (!cpus.present.count(f.cpu(i)))
			return bad(c, p, f, "cpu", i, "CPU " +
			    std::to_string(f.cpu(i)) + " is not present");
	if (f.cpu_size() == 0 && !cpus.present.count(0))
		return bad(c, p, f, nullptr,
		    "CPU 0, where it fires by default, is not present");
	if (f.has_per_second() && (!std::isfinite(f.per_second()) ||
	    f.per_second() <= 0 || f.per_second() > MAX_FIRINGS_PER_SECOND))
		return bad(c, p, f, "per_second", number(f.per_second()) +
		    " is not above 0 and at most " +
		    number(MAX_FIRINGS_PER_SECOND));
	if (f.has_duration_ns() && !fbt)
		return bad(c, p, f, "duration_ns", "applies to fbt only");
	if (f.duration_ns() > MAX_DURATION_NS)
		return bad(c, p, f, "duration_ns", "is above " +
		    std::to_string(MAX_DURATION_NS));
	if (f.has_offset() && fbt)
		return bad(c, p, f, "offset", "applies to kinst only");
	return true;
}

bool
check_dtrace(checker &c, const place &top, const Machine &m,
    const cpu_facts &cpus)
{
	if (!m.has_dtrace())
		return true;
	place p = enter(top, m, "dtrace", -1);
	const Dtrace &d = m.dtrace();
	std::set<std::string> names;
	for (int i = 0; i < d.function_size(); i++) {
		const KernelFunction &fn = d.function(i);
		place fp = enter(p, d, "function", i);
		if (!fn.has_name())
			return bad(c, fp, fn, nullptr, "name is required");
		bool ok = !fn.name().empty();
		for (char ch : fn.name())
			ok = ok && (isalnum((unsigned char)ch) || ch == '_' ||
			    ch == '.');
		if (!ok)
			return bad(c, fp, fn, "name", "must be letters, digits, "
			    "'_' and '.'");
		if (!names.insert(fn.name()).second)
			return bad(c, fp, fn, "name", "function \"" +
			    fn.name() + "\" is given twice");
		for (int k = 0; k < fn.fbt_size(); k++)
			if (!check_firing(c, enter(fp, fn, "fbt", k), fn.fbt(k),
			    true, cpus))
				return false;
		for (int k = 0; k < fn.kinst_size(); k++)
			if (!check_firing(c, enter(fp, fn, "kinst", k),
			    fn.kinst(k), false, cpus))
				return false;
	}
	return true;
}

bool
check_failures(checker &c, const place &top, const Machine &m)
{
	if (!m.has_failures())
		return true;
	place p = enter(top, m, "failures", -1);
	const Failures &f = m.failures();
	for (int i = 0; i < f.sysctl_size(); i++) {
		place fp = enter(p, f, "sysctl", i);
		if (!f.sysctl(i).has_name() || f.sysctl(i).name().empty())
			return bad(c, fp, f.sysctl(i), nullptr,
			    "name is required");
		if (!check_error(c, fp, f.sysctl(i)))
			return false;
	}
	for (int i = 0; i < f.acpi_size(); i++) {
		place fp = enter(p, f, "acpi", i);
		if (!f.acpi(i).has_request())
			return bad(c, fp, f.acpi(i), nullptr,
			    "request is required");
		if (!check_error(c, fp, f.acpi(i)))
			return false;
	}
	std::set<int> steps;
	for (int i = 0; i < f.dtrace_size(); i++) {
		const DtraceFailure &d = f.dtrace(i);
		place fp = enter(p, f, "dtrace", i);
		if (!d.has_step())
			return bad(c, fp, d, nullptr, "step is required");
		if (!steps.insert(d.step()).second)
			return bad(c, fp, d, "step", "the step is given twice");
		if (d.has_option() && d.step() != DtraceFailure::SETOPT)
			return bad(c, fp, d, "option", "applies to SETOPT only");
		if (!check_error(c, fp, d))
			return false;
	}
	return true;
}

}  // namespace

bool
machine_errno(const std::string &name, int *value)
{
	for (const auto &e : errno_names)
		if (name == e.name) {
			*value = e.value;
			return true;
		}
	return false;
}

bool
machine_check(const Machine &m, const TextFormat::ParseInfoTree &tree,
    const std::string &file, std::string *error)
{
	checker c = {file, error};
	place top = {&tree, "", 0, 0};
	cpu_facts cpus;
	return check_cpus(c, top, m, &cpus) && check_interrupts(c, top, m) &&
	    check_disks(c, top, m) &&
	    check_rapl(c, top, m) && check_dtrace(c, top, m, cpus) &&
	    check_failures(c, top, m);
}
