// The simulated DTrace facility and its consumer library.
//
// Consumers are heap records; their compiled programs belong to them and go
// with dtrace_close.  The compiler knows probe descriptions only (one
// clause per line, D's default action): predicates and action blocks are
// syntax errors here.  Firings wait in a per-consumer queue that
// dtrace_work lays out in per-CPU buffers, as the kernel fills them, and
// drains into the callbacks outside the simulation's lock so that
// callbacks may call back into it.
#include <dtrace.h>

#include <errno.h>
#include <fnmatch.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim/dtrace.h"
#include "sim/kernel.h"

// libdtrace's own error numbers start above the system's.
enum {
	EDT_BASE = 1000,
	EDT_VERSION = EDT_BASE,
	EDT_VERSINVAL,
	EDT_COMPILER,
	EDT_BADOPTNAME,
	EDT_BADOPTVAL,
	EDT_CONSABORT,
	EDT_BADRVAL,
	EDT_BADPGM,
};

static const struct {
	int err;
	const char *msg;
} edt_messages[] = {
	{ EDT_VERSION, "Client requested version newer than library" },
	{ EDT_VERSINVAL, "Version is not properly formatted or is out of range" },
	{ EDT_COMPILER, "D compilation failed" },
	{ EDT_BADOPTNAME, "Invalid option name" },
	{ EDT_BADOPTVAL, "Invalid value for specified option" },
	{ EDT_CONSABORT, "Abort requested by callback" },
	{ EDT_BADRVAL, "Invalid return value from callback" },
	{ EDT_BADPGM, "Program does not belong to this consumer" },
};

struct sim_pdesc {
	std::string prov, mod, func, name;
};

struct dtrace_prog {
	struct dtrace_hdl *owner;
	std::vector<sim_pdesc> descs;
	std::vector<std::string> texts;
	unsigned matches;
};

// A firing waiting for its consumer, with the enabled probe it fired.
struct sim_queued {
	sim_dtrace_firing f;
	dtrace_epid_t epid;
};

struct dtrace_hdl {
	unsigned id;
	int err;
	std::string errmsg;	// compiler message for EDT_COMPILER
	std::vector<std::string> options;
	std::vector<dtrace_prog *> progs;
	std::vector<sim_pdesc> enabled;
	bool going;
	bool stopped;
	std::deque<sim_queued> queue;
	std::condition_variable wake;
	unsigned in_call;
	std::thread::id call_thread;
	uint64_t last_autofire;
};

struct sim_fail {
	int err;
	unsigned count;		// 0: until cleared
	std::string option;
};

static struct {
	std::mutex mu;
	std::atomic<bool> installed;
	std::vector<std::string> functions;
	bool autofire;
	std::vector<dtrace_hdl *> open;
	unsigned opened;
	unsigned last_id;	// ids of consumers, from 1
	sim_fail fail[SIM_DTRACE_NSTEPS];
	int forced_status;
	unsigned forced_count;
	uint64_t sleep_ns;
	uint64_t work_delay_ns;
	unsigned delivered;
	std::atomic<uint64_t> snapshot_ns;
	std::vector<sim_dtrace_call> calls;
	unsigned overlaps;
	std::vector<std::string> last_options;
	std::vector<std::string> last_enabled;
} g;

// Functions of the default machine that are always busy.
static const char *const busy_functions[] = {
	"malloc", "free", "vm_fault", "amd64_syscall",
};
static const uint64_t AUTOFIRE_PERIOD_NS = 50000000;
static const size_t CALL_LOG_MAX = 200000;

static uint64_t
now_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void
reset_locked(void)
{
	g.installed.store(true, std::memory_order_release);
	g.functions.clear();
	g.autofire = false;
	g.opened = 0;
	for (auto &f : g.fail)
		f = sim_fail{};
	g.forced_status = 0;
	g.forced_count = 0;
	g.sleep_ns = 10000000;
	g.work_delay_ns = 0;
	g.delivered = 0;
	g.snapshot_ns.store(0, std::memory_order_relaxed);
	// Let go of the log's memory too: a soak measures the daemon's.
	std::vector<sim_dtrace_call>().swap(g.calls);
	g.overlaps = 0;
	g.last_options.clear();
	g.last_enabled.clear();
	for (dtrace_hdl *h : g.open)
		h->queue.clear();
}

// The first use of any part of the simulation installs the whole default
// machine, which calls sim_default_dtrace (so never with the lock held).
static void
ensure_machine(void)
{
	if (g.installed.load(std::memory_order_acquire))
		return;
	(void)sim_sysctl_reads(nullptr);
	if (!g.installed.load(std::memory_order_acquire))
		sim_default_dtrace();
}

void
sim_dtrace_reset(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	reset_locked();
}

// Entry and exit of a call on a handle, for the call log and the overlap
// count.  Called with the lock held.
static size_t
call_begin_locked(dtrace_hdl *h, const char *op)
{
	std::thread::id self = std::this_thread::get_id();
	if (h->in_call > 0 && h->call_thread != self)
		g.overlaps++;
	h->in_call++;
	h->call_thread = self;
	if (g.calls.size() >= CALL_LOG_MAX)
		return (size_t)-1;
	g.calls.push_back(sim_dtrace_call{ op, h->id, self, now_ns(), 0 });
	return g.calls.size() - 1;
}

static void
call_end_locked(dtrace_hdl *h, size_t slot)
{
	h->in_call--;
	if (slot < g.calls.size())
		g.calls[slot].end_ns = now_ns();
}

// A failure armed for `step`: consumes one count and gives the errno, or 0.
static int
take_failure_locked(enum sim_dtrace_step step, const char *option = nullptr)
{
	sim_fail &f = g.fail[step];
	if (f.err == 0)
		return 0;
	if (!f.option.empty() && (option == nullptr || f.option != option))
		return 0;
	int err = f.err;
	if (f.count > 0 && --f.count == 0)
		f = sim_fail{};
	return err;
}

static bool
is_newest(const dtrace_hdl *h)
{
	return h->id == g.last_id;
}

static bool
component_matches(const std::string &pattern, const std::string &value)
{
	return pattern.empty() ||
	    fnmatch(pattern.c_str(), value.c_str(), 0) == 0;
}

static bool
desc_matches(const sim_pdesc &d, const std::string &prov,
    const std::string &mod, const std::string &func, const std::string &name)
{
	return component_matches(d.prov, prov) && component_matches(d.mod, mod) &&
	    component_matches(d.func, func) && component_matches(d.name, name);
}

static bool
all_digits(const std::string &s)
{
	return !s.empty() && std::all_of(s.begin(), s.end(),
	    [](char c) { return c >= '0' && c <= '9'; });
}

// Kernel probes that a description names: fbt entry and return of each
// listed function; kinst probes are made on demand for a listed function
// and an instruction offset (or every offset for an empty name).
static unsigned
count_matches_locked(const sim_pdesc &d)
{
	unsigned n = 0;
	for (const std::string &fn : g.functions) {
		if (desc_matches(d, "fbt", "kernel", fn, "entry"))
			n++;
		if (desc_matches(d, "fbt", "kernel", fn, "return"))
			n++;
		if (component_matches(d.prov, "kinst") &&
		    component_matches(d.mod, "") && component_matches(d.func, fn) &&
		    (d.name.empty() || all_digits(d.name)))
			n++;
	}
	return n;
}

// The enabled probe id of a firing: one per enabled description, from 1;
// a firing that no description names (an injected one) gets the id after
// them.
static dtrace_epid_t
firing_epid(const dtrace_hdl *h, const sim_dtrace_firing &f)
{
	size_t i = 0;
	for (; i < h->enabled.size(); i++) {
		const sim_pdesc &d = h->enabled[i];
		if (desc_matches(d, f.provider, f.module, f.function, f.name))
			break;
	}
	return (dtrace_epid_t)(i + 1);
}

static bool
firing_enabled(const dtrace_hdl *h, const sim_dtrace_firing &f)
{
	return firing_epid(h, f) <= h->enabled.size();
}

static unsigned
queue_firing(const sim_dtrace_firing &f, bool only_enabled)
{
	ensure_machine();
	std::lock_guard<std::mutex> lk(g.mu);
	unsigned n = 0;
	for (dtrace_hdl *h : g.open) {
		if (!h->going || h->stopped)
			continue;
		if (only_enabled && !firing_enabled(h, f))
			continue;
		h->queue.push_back(sim_queued{ f, firing_epid(h, f) });
		h->wake.notify_all();
		n++;
	}
	return n;
}

unsigned
sim_dtrace_fire(const struct sim_dtrace_firing &f)
{
	return queue_firing(f, true);
}

unsigned
sim_dtrace_inject(const struct sim_dtrace_firing &f)
{
	return queue_firing(f, false);
}

// Busy functions fire by themselves on the default machine: each one has
// just run once on a CPU of its own (entry, its first instruction, return,
// 1.5 us apart), ending shortly before the snapshot that carries them.
static void
autofire_locked(dtrace_hdl *h)
{
	uint64_t now = now_ns();
	if (!g.autofire || now - h->last_autofire < AUTOFIRE_PERIOD_NS)
		return;
	h->last_autofire = now;
	int cpu = 0;
	for (const char *fn : busy_functions) {
		if (std::find(g.functions.begin(), g.functions.end(), fn) ==
		    g.functions.end())
			continue;
		const sim_dtrace_firing ran[] = {
			{ cpu, "fbt", "kernel", fn, "entry", now - 2500, 0 },
			{ cpu, "kinst", "", fn, "0", now - 1800, 0 },
			{ cpu, "fbt", "kernel", fn, "return", now - 1000, 0 },
		};
		for (const sim_dtrace_firing &f : ran)
			if (firing_enabled(h, f))
				h->queue.push_back(sim_queued{ f, firing_epid(h, f) });
		cpu = (cpu + 1) % 4;
	}
}

unsigned
sim_dtrace_pending(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	unsigned n = 0;
	for (dtrace_hdl *h : g.open)
		n += (unsigned)h->queue.size();
	return n;
}

unsigned
sim_dtrace_delivered(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	return g.delivered;
}

uint64_t
sim_dtrace_snapshot_ns(void)
{
	return g.snapshot_ns.load(std::memory_order_acquire);
}

void
sim_dtrace_set_functions(const std::vector<std::string> &functions)
{
	ensure_machine();
	std::lock_guard<std::mutex> lk(g.mu);
	g.functions = functions;
}

void
sim_dtrace_set_autofire(bool on)
{
	ensure_machine();
	std::lock_guard<std::mutex> lk(g.mu);
	g.autofire = on;
}

void
sim_dtrace_fail(enum sim_dtrace_step step, int err, unsigned count,
    const char *option)
{
	ensure_machine();
	std::lock_guard<std::mutex> lk(g.mu);
	if (step < 0 || step >= SIM_DTRACE_NSTEPS)
		return;
	g.fail[step] = err == 0 ? sim_fail{} :
	    sim_fail{ err, count, option != nullptr ? option : "" };
}

void
sim_dtrace_work_status(int status, unsigned count)
{
	ensure_machine();
	std::lock_guard<std::mutex> lk(g.mu);
	g.forced_status = status;
	g.forced_count = count;
}

void
sim_dtrace_set_sleep_ns(uint64_t ns)
{
	ensure_machine();
	std::lock_guard<std::mutex> lk(g.mu);
	g.sleep_ns = ns;
}

void
sim_dtrace_set_work_delay_ns(uint64_t ns)
{
	ensure_machine();
	std::lock_guard<std::mutex> lk(g.mu);
	g.work_delay_ns = ns;
}

unsigned
sim_dtrace_consumers_open(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	return (unsigned)g.open.size();
}

unsigned
sim_dtrace_consumers_opened(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	return g.opened;
}

std::vector<std::string>
sim_dtrace_options(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	return g.last_options;
}

std::vector<std::string>
sim_dtrace_enabled(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	return g.last_enabled;
}

std::vector<struct sim_dtrace_call>
sim_dtrace_calls(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	return g.calls;
}

unsigned
sim_dtrace_overlaps(void)
{
	std::lock_guard<std::mutex> lk(g.mu);
	return g.overlaps;
}

// --- libdtrace ------------------------------------------------------------

static int
set_errno_locked(dtrace_hdl *h, int err)
{
	h->err = err;
	return -1;
}

dtrace_hdl_t *
dtrace_open(int version, int flags, int *errp)
{
	ensure_machine();
	std::lock_guard<std::mutex> lk(g.mu);
	int err = take_failure_locked(SIM_DTRACE_OPEN);
	if (err == 0 && version > DTRACE_VERSION)
		err = EDT_VERSION;
	else if (err == 0 && version < 1)
		err = EDT_VERSINVAL;
	else if (err == 0 && (flags & ~(DTRACE_O_NODEV | DTRACE_O_NOSYS |
	    DTRACE_O_LP64 | DTRACE_O_ILP32)) != 0)
		err = EINVAL;
	if (err != 0) {
		if (errp != NULL)
			*errp = err;
		return NULL;
	}
	dtrace_hdl *h = new dtrace_hdl();
	h->id = ++g.last_id;
	g.open.push_back(h);
	g.opened++;
	g.last_options.clear();
	g.last_enabled.clear();
	size_t slot = call_begin_locked(h, "open");
	call_end_locked(h, slot);
	return h;
}

void
dtrace_close(dtrace_hdl_t *h)
{
	if (h == NULL)
		return;
	std::lock_guard<std::mutex> lk(g.mu);
	size_t slot = call_begin_locked(h, "close");
	call_end_locked(h, slot);
	g.open.erase(std::remove(g.open.begin(), g.open.end(), h), g.open.end());
	for (dtrace_prog *p : h->progs)
		delete p;
	delete h;
}

int
dtrace_errno(dtrace_hdl_t *h)
{
	std::lock_guard<std::mutex> lk(g.mu);
	size_t slot = call_begin_locked(h, "errno");
	int err = h->err;
	call_end_locked(h, slot);
	return err;
}

const char *
dtrace_errmsg(dtrace_hdl_t *h, int err)
{
	std::lock_guard<std::mutex> lk(g.mu);
	if (err == EDT_COMPILER && h != NULL && !h->errmsg.empty())
		return h->errmsg.c_str();
	if (err >= EDT_BASE) {
		for (const auto &m : edt_messages)
			if (m.err == err)
				return m.msg;
		return "Unknown libdtrace error";
	}
	return strerror(err);
}

static bool
valid_size(const char *v)
{
	const char *p = v;
	while (*p >= '0' && *p <= '9')
		p++;
	if (p == v)
		return false;
	if (*p != '\0' && strchr("kKmMgGtT", *p) != NULL)
		p++;
	return *p == '\0';
}

int
dtrace_setopt(dtrace_hdl_t *h, const char *opt, const char *val)
{
	static const char *const size_opts[] = { "bufsize", "aggsize",
	    "specsize", "strsize", "dynvarsize" };
	static const char *const other_opts[] = { "switchrate", "aggrate",
	    "statusrate", "cleanrate", "quiet", "flowindent", "destructive",
	    "zdefs", "cpu", "nspec", "bufresize" };
	std::lock_guard<std::mutex> lk(g.mu);
	size_t slot = call_begin_locked(h, "setopt");
	int r = 0;
	int err = take_failure_locked(SIM_DTRACE_SETOPT, opt);
	bool known = false, ok = true;
	for (const char *o : size_opts)
		if (opt != NULL && strcmp(opt, o) == 0) {
			known = true;
			ok = val != NULL && valid_size(val);
		}
	if (opt != NULL && strcmp(opt, "bufpolicy") == 0) {
		known = true;
		ok = val != NULL && (strcmp(val, "switch") == 0 ||
		    strcmp(val, "fill") == 0 || strcmp(val, "ring") == 0);
	}
	for (const char *o : other_opts)
		if (opt != NULL && strcmp(opt, o) == 0)
			known = true;
	if (err != 0)
		r = set_errno_locked(h, err);
	else if (!known)
		r = set_errno_locked(h, EDT_BADOPTNAME);
	else if (!ok)
		r = set_errno_locked(h, EDT_BADOPTVAL);
	else {
		h->options.push_back(std::string(opt) + "=" + (val ? val : ""));
		if (is_newest(h))
			g.last_options = h->options;
	}
	call_end_locked(h, slot);
	return r;
}

// Characters of a probe description, as D's lexer takes them.
static bool
pspec_char(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
	    (c >= '0' && c <= '9') || strchr("-:_.`?*\\[]!", c) != NULL;
}

static std::string
desc_text(const sim_pdesc &d)
{
	return d.prov + ":" + d.mod + ":" + d.func + ":" + d.name;
}

// One clause: a probe description whose components fill from the right,
// the last one being `spec`.
static bool
parse_clause_locked(dtrace_hdl *h, const std::string &line, unsigned lineno,
    dtrace_probespec_t spec, sim_pdesc *out)
{
	char msg[512];
	for (char c : line) {
		if (!pspec_char(c)) {
			snprintf(msg, sizeof(msg), "line %u: syntax error near \"%c\"",
			    lineno, c);
			h->errmsg = msg;
			return false;
		}
	}
	std::vector<std::string> parts;
	size_t start = 0;
	for (;;) {
		size_t colon = line.find(':', start);
		parts.push_back(line.substr(start, colon - start));
		if (colon == std::string::npos)
			break;
		start = colon + 1;
	}
	if (parts.size() > (size_t)spec + 1) {
		snprintf(msg, sizeof(msg),
		    "line %u: invalid probe description \"%s\": "
		    "too many components", lineno, line.c_str());
		h->errmsg = msg;
		return false;
	}
	std::string *slots[] = { &out->prov, &out->mod, &out->func, &out->name };
	int at = spec;
	for (size_t i = parts.size(); i-- > 0; at--)
		*slots[at] = parts[i];
	return true;
}

dtrace_prog_t *
dtrace_program_strcompile(dtrace_hdl_t *h, const char *src,
    dtrace_probespec_t spec, uint_t cflags, int argc, char *const argv[])
{
	(void)argv;
	std::lock_guard<std::mutex> lk(g.mu);
	size_t slot = call_begin_locked(h, "compile");
	dtrace_prog *p = nullptr;
	int err = take_failure_locked(SIM_DTRACE_COMPILE);
	if (err != 0) {
		set_errno_locked(h, err);
	} else if (src == NULL || spec < DTRACE_PROBESPEC_NONE ||
	    spec > DTRACE_PROBESPEC_NAME || argc < 0) {
		set_errno_locked(h, EINVAL);
	} else {
		p = new dtrace_prog();
		p->owner = h;
		p->matches = 0;
		std::string text(src);
		unsigned lineno = 0;
		size_t start = 0;
		while (start <= text.size()) {
			size_t nl = text.find('\n', start);
			std::string line = text.substr(start, nl - start);
			lineno++;
			start = nl == std::string::npos ? text.size() + 1 : nl + 1;
			line.erase(0, line.find_first_not_of(" \t"));
			line.erase(line.find_last_not_of(" \t") + 1);
			if (line.empty())
				continue;
			sim_pdesc d;
			if (spec == DTRACE_PROBESPEC_NONE ||
			    !parse_clause_locked(h, line, lineno, spec, &d)) {
				if (spec == DTRACE_PROBESPEC_NONE)
					h->errmsg = "probe description required";
				delete p;
				p = nullptr;
				set_errno_locked(h, EDT_COMPILER);
				break;
			}
			unsigned n = count_matches_locked(d);
			if (n == 0 && !(cflags & DTRACE_C_ZDEFS)) {
				h->errmsg = "probe description " + desc_text(d) +
				    " does not match any probes";
				delete p;
				p = nullptr;
				set_errno_locked(h, EDT_COMPILER);
				break;
			}
			p->matches += n;
			p->descs.push_back(d);
			p->texts.push_back(desc_text(d));
		}
		if (p != nullptr && p->descs.empty() &&
		    !(cflags & DTRACE_C_EMPTY)) {
			h->errmsg = "empty D program translation unit";
			delete p;
			p = nullptr;
			set_errno_locked(h, EDT_COMPILER);
		}
		if (p != nullptr)
			h->progs.push_back(p);
	}
	call_end_locked(h, slot);
	return p;
}

int
dtrace_program_exec(dtrace_hdl_t *h, dtrace_prog_t *p, dtrace_proginfo_t *pip)
{
	std::lock_guard<std::mutex> lk(g.mu);
	size_t slot = call_begin_locked(h, "exec");
	int r = 0;
	int err = take_failure_locked(SIM_DTRACE_EXEC);
	if (err != 0) {
		r = set_errno_locked(h, err);
	} else if (p == NULL || p->owner != h) {
		r = set_errno_locked(h, EDT_BADPGM);
	} else {
		h->enabled.insert(h->enabled.end(), p->descs.begin(), p->descs.end());
		if (is_newest(h))
			for (const std::string &t : p->texts)
				g.last_enabled.push_back(t);
		if (pip != NULL) {
			memset(pip, 0, sizeof(*pip));
			pip->dpi_matches = p->matches;
		}
	}
	call_end_locked(h, slot);
	return r;
}

int
dtrace_go(dtrace_hdl_t *h)
{
	std::lock_guard<std::mutex> lk(g.mu);
	size_t slot = call_begin_locked(h, "go");
	int r = 0;
	int err = take_failure_locked(SIM_DTRACE_GO);
	if (err != 0)
		r = set_errno_locked(h, err);
	else if (h->going)
		r = set_errno_locked(h, EINVAL);
	else {
		h->going = true;
		h->last_autofire = now_ns();
	}
	call_end_locked(h, slot);
	return r;
}

int
dtrace_stop(dtrace_hdl_t *h)
{
	std::lock_guard<std::mutex> lk(g.mu);
	size_t slot = call_begin_locked(h, "stop");
	int r = 0;
	int err = take_failure_locked(SIM_DTRACE_STOP);
	if (err != 0)
		r = set_errno_locked(h, err);
	else
		h->stopped = true;
	h->wake.notify_all();
	call_end_locked(h, slot);
	return r;
}

void
dtrace_sleep(dtrace_hdl_t *h)
{
	std::unique_lock<std::mutex> lk(g.mu);
	size_t slot = call_begin_locked(h, "sleep");
	auto deadline = std::chrono::steady_clock::now() +
	    std::chrono::nanoseconds(g.sleep_ns);
	h->wake.wait_until(lk, deadline,
	    [h] { return !h->queue.empty() || h->stopped; });
	call_end_locked(h, slot);
}

static void
fill_probedesc(dtrace_probedesc_t *pd, const sim_dtrace_firing &f)
{
	memset(pd, 0, sizeof(*pd));
	std::string key = desc_text(sim_pdesc{ f.provider, f.module, f.function,
	    f.name });
	pd->dtpd_id = (dtrace_id_t)(std::hash<std::string>{}(key) % 100000 + 1);
	snprintf(pd->dtpd_provider, sizeof(pd->dtpd_provider), "%s",
	    f.provider.c_str());
	snprintf(pd->dtpd_mod, sizeof(pd->dtpd_mod), "%s", f.module.c_str());
	snprintf(pd->dtpd_func, sizeof(pd->dtpd_func), "%s", f.function.c_str());
	snprintf(pd->dtpd_name, sizeof(pd->dtpd_name), "%s", f.name.c_str());
}

// A CPU's buffer as a snapshot hands it to libdtrace.  Each firing is a
// record header at a 4-byte boundary, or at an 8-byte one when data
// records follow; its records lie 8 bytes apart from FIRST_RECORD on,
// counted from the header (the header padded to their alignment).
static const uint32_t RECORD_SIZE = 8;
static const uint32_t FIRST_RECORD = 16;
static const unsigned MAX_RECORDS = 8;

struct sim_buffer {
	std::vector<uint64_t> words;	// the bytes, 8-byte aligned
	std::vector<size_t> headers;	// offset of each firing's header
};

static size_t
round_up(size_t n, size_t align)
{
	return (n + align - 1) / align * align;
}

static unsigned
nrecords(const sim_dtrace_firing &f)
{
	return std::min(f.records, MAX_RECORDS);
}

static void
fill_buffer(struct sim_buffer *b, const sim_queued *first, size_t count)
{
	size_t end = 0;
	b->headers.clear();
	for (size_t i = 0; i < count; i++) {
		unsigned nrec = nrecords(first[i].f);
		size_t at = round_up(end, nrec > 0 ? RECORD_SIZE :
		    sizeof(uint32_t));
		b->headers.push_back(at);
		end = at + (nrec > 0 ? FIRST_RECORD + RECORD_SIZE * nrec :
		    sizeof(dtrace_rechdr_t));
	}
	b->words.assign(round_up(end, 8) / 8, 0);
	char *base = (char *)b->words.data();
	for (size_t i = 0; i < count; i++) {
		dtrace_rechdr_t hdr;
		hdr.dtrh_epid = first[i].epid;
		DTRACE_RECORD_STORE_TIMESTAMP(&hdr, first[i].f.timestamp);
		memcpy(base + b->headers[i], &hdr, sizeof(hdr));
		for (unsigned r = 0; r < nrecords(first[i].f); r++) {
			uint64_t value = r + 1;
			memcpy(base + b->headers[i] + FIRST_RECORD +
			    RECORD_SIZE * r, &value, sizeof(value));
		}
	}
}

// Hands one firing to the callbacks as libdtrace does: the probe callback
// once with the data at the record header (a null one consumes
// everything), the record callback for each data record with the data at
// that record, then once more with a null record to end the firing.
static int
consume_firing(dtrace_hdl *h, const sim_dtrace_firing &f, char *header,
    dtrace_consume_probe_f *pfunc, dtrace_consume_rec_f *rfunc, void *arg)
{
	dtrace_probedesc_t pd;
	fill_probedesc(&pd, f);
	dtrace_probedata_t data;
	memset(&data, 0, sizeof(data));
	data.dtpda_handle = h;
	data.dtpda_edesc = NULL;
	data.dtpda_pdesc = &pd;
	data.dtpda_cpu = f.cpu;
	data.dtpda_data = header;
	data.dtpda_flow = DTRACEFLOW_NONE;
	if (f.provider == "fbt")
		data.dtpda_flow = f.name == "entry" ? DTRACEFLOW_ENTRY :
		    DTRACEFLOW_RETURN;
	data.dtpda_prefix = "";
	data.dtpda_indent = 0;

	if (pfunc != NULL) {
		int r = pfunc(&data, arg);
		if (r == DTRACE_CONSUME_NEXT)
			return 0;
		if (r == DTRACE_CONSUME_ABORT)
			return EDT_CONSABORT;
		if (r != DTRACE_CONSUME_THIS)
			return EDT_BADRVAL;
	}
	if (rfunc == NULL)
		return 0;
	for (unsigned i = 0; i < nrecords(f); i++) {
		dtrace_recdesc_t rec;
		memset(&rec, 0, sizeof(rec));
		rec.dtrd_action = DTRACEACT_DIFEXPR;
		rec.dtrd_size = RECORD_SIZE;
		rec.dtrd_offset = FIRST_RECORD + RECORD_SIZE * i;
		rec.dtrd_alignment = RECORD_SIZE;
		data.dtpda_data = header + rec.dtrd_offset;
		int r = rfunc(&data, &rec, arg);
		if (r == DTRACE_CONSUME_NEXT)
			continue;
		if (r == DTRACE_CONSUME_ABORT)
			return EDT_CONSABORT;
		if (r != DTRACE_CONSUME_THIS)
			return EDT_BADRVAL;
	}
	(void)rfunc(&data, NULL, arg);
	return 0;
}

dtrace_workstatus_t
dtrace_work(dtrace_hdl_t *h, FILE *fp, dtrace_consume_probe_f *pfunc,
    dtrace_consume_rec_f *rfunc, void *arg)
{
	(void)fp;
	std::vector<sim_queued> batch;
	uint64_t delay;
	size_t slot;
	{
		std::lock_guard<std::mutex> lk(g.mu);
		slot = call_begin_locked(h, "work");
		int err = take_failure_locked(SIM_DTRACE_WORK);
		if (err != 0) {
			set_errno_locked(h, err);
			call_end_locked(h, slot);
			return DTRACE_WORKSTATUS_ERROR;
		}
		if (h->going && !h->stopped)
			autofire_locked(h);
		batch.assign(h->queue.begin(), h->queue.end());
		h->queue.clear();
		delay = g.work_delay_ns;
	}
	if (delay > 0)
		std::this_thread::sleep_for(std::chrono::nanoseconds(delay));

	// One CPU's buffer after the other, in CPU order, each snapshotted
	// just before it is consumed.
	std::stable_sort(batch.begin(), batch.end(),
	    [](const sim_queued &a, const sim_queued &b) {
		    return a.f.cpu < b.f.cpu;
	    });
	struct sim_buffer buf;
	int err = 0;
	unsigned done = 0;
	for (size_t first = 0; first < batch.size() && err == 0;) {
		size_t end = first;
		while (end < batch.size() && batch[end].f.cpu == batch[first].f.cpu)
			end++;
		fill_buffer(&buf, &batch[first], end - first);
		g.snapshot_ns.store(now_ns(), std::memory_order_release);
		for (size_t i = first; i < end; i++) {
			err = consume_firing(h, batch[i].f,
			    (char *)buf.words.data() + buf.headers[i - first],
			    pfunc, rfunc, arg);
			if (err != 0)
				break;
			done++;
		}
		first = end;
	}

	std::lock_guard<std::mutex> lk(g.mu);
	g.delivered += done;
	dtrace_workstatus_t status = h->stopped ? DTRACE_WORKSTATUS_DONE :
	    DTRACE_WORKSTATUS_OKAY;
	if (err != 0) {
		set_errno_locked(h, err);
		status = DTRACE_WORKSTATUS_ERROR;
	} else if (g.forced_count > 0) {
		g.forced_count--;
		status = (dtrace_workstatus_t)g.forced_status;
	}
	call_end_locked(h, slot);
	return status;
}
