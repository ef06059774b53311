// Session callbacks and the consumer loop.
//
// One libdtrace consumer serves every instance that is set up while it is
// live: the first setup opens and starts it, later ones share it, and the
// last stop stops and closes it.  The main thread is the only one that
// drains it; the stop that closes it first takes it back from the loop
// (`in_work`), so no two threads are ever inside libdtrace on one handle.
#include "dtrace/consumer.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "dtrace/d_program.h"

struct ds_registration kfunc_ds = DS_REGISTRATION_INIT;

static const unsigned int IDLE_SLEEP_US = 250000;

// Callbacks run on SDK threads: end the process without running exit
// handlers and destructors under their feet.
[[noreturn]] static void
end_process(int status)
{
	fflush(stdout);
	fflush(stderr);
	_exit(status);
}

static void
vreport(dtrace_hdl_t *handle, const char *fmt, va_list ap)
{
	int err = dtrace_errno(handle);

	fprintf(stderr, "kfunc_producer: ");
	vfprintf(stderr, fmt, ap);
	fprintf(stderr, ": %s %d\n", dtrace_errmsg(handle, err), err);
}

void
dtrace_fatal(dtrace_hdl_t *handle, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vreport(handle, fmt, ap);
	va_end(ap);
	end_process(2);
}

// A program that does not compile, enable or start ends its own session
// only: the line is the one dtrace_fatal would print, the consumer is
// closed and the instance stays without a consumer.
static void
session_failed(struct dtrace_consumer_state *st, const char *fmt, ...)
    __attribute__((__format__(__printf__, 2, 3)));

static void
session_failed(struct dtrace_consumer_state *st, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vreport(st->handle, fmt, ap);
	va_end(ap);
	st->program = NULL;
	dtrace_close(st->handle);
	st->handle = NULL;
	sbuf_delete(st->program_text);
	st->program_text = NULL;
}

// Opens, configures and starts a consumer for `text`.  Failures of the
// facility itself end the daemon; a bad program ends the session.
static bool
open_consumer(struct dtrace_consumer_state *st, struct sbuf *text)
{
	dtrace_proginfo_t info;
	int err = 0;

	st->program_text = text;
	st->handle = dtrace_open(DTRACE_VERSION, 0, &err);
	if (st->handle == NULL) {
		printf("failed to initialize dtrace: %s\n",
		    dtrace_errmsg(NULL, err));
		end_process(1);
	}
	if (dtrace_setopt(st->handle, "bufsize", "10M") == -1)
		dtrace_fatal(st->handle, "failed to set 'bufsize'");
	if (dtrace_setopt(st->handle, "bufpolicy", "switch") == -1)
		dtrace_fatal(st->handle, "failed to set buffer policy 'switch'");

	st->program = dtrace_program_strcompile(st->handle, sbuf_data(text),
	    DTRACE_PROBESPEC_NAME, 0, 0, NULL);
	if (st->program == NULL) {
		session_failed(st, "failed to compile program");
		return false;
	}
	if (dtrace_program_exec(st->handle, st->program, &info) == -1) {
		session_failed(st, "failed to enable probes");
		return false;
	}
	if (dtrace_go(st->handle) != 0) {
		session_failed(st, "couldn't start tracing\n");
		return false;
	}
	return true;
}

void *
dtrace_on_setup_cb(struct PerfettoDsImpl *ds, PerfettoDsInstanceIndex inst,
    void *ds_config, size_t ds_config_size, void *user_arg,
    struct PerfettoDsOnSetupArgs *args)
{
	struct dtrace_consumer_state *st =
	    (struct dtrace_consumer_state *)user_arg;
	(void)ds;
	(void)args;

	struct sbuf *text = build_d_program(ds_config, ds_config_size);

	std::lock_guard<std::mutex> sl(st->session_lock);
	if (inst >= DTRACE_MAX_INSTANCES) {
		printf("dtrace_on_setup_cb: instance %u out of range, "
		    "no consumer\n", (unsigned)inst);
		sbuf_delete(text);
		return st;
	}
	if (st->nattached > 0) {
		// Another session's consumer is live and its events go to
		// every active instance: share it rather than orphan it.
		printf("dtrace_on_setup_cb: instance %u shares the running "
		    "consumer; its program is not compiled\n", (unsigned)inst);
		sbuf_delete(text);
		st->attached[inst] = true;
		st->nattached++;
		return st;
	}
	if (open_consumer(st, text)) {
		st->attached[inst] = true;
		st->nattached = 1;
	}
	return st;
}

void
dtrace_on_start_cb(struct PerfettoDsImpl *ds, PerfettoDsInstanceIndex inst,
    void *user_arg, void *inst_ctx, struct PerfettoDsOnStartArgs *args)
{
	struct dtrace_consumer_state *st =
	    (struct dtrace_consumer_state *)user_arg;
	(void)ds;
	(void)inst_ctx;
	(void)args;

	std::lock_guard<std::mutex> sl(st->session_lock);
	if (inst < DTRACE_MAX_INSTANCES && st->attached[inst]) {
		std::lock_guard<std::mutex> lk(st->loop_lock);
		st->running.store(1, std::memory_order_release);
		st->started.notify_all();
	}
}

void
dtrace_idle_wait(struct dtrace_consumer_state *st, unsigned int usec)
{
	std::unique_lock<std::mutex> lk(st->loop_lock);
	st->started.wait_for(lk, std::chrono::microseconds(usec), [st] {
		return st->running.load(std::memory_order_acquire) != 0;
	});
}

static void
print_totals(struct dtrace_consumer_state *st)
{
	printf("%s\tfbt events: %u kinst events: %u\n", "dtrace_on_stop_cb",
	    st->fbt_events.load(std::memory_order_acquire),
	    st->kinst_events.load(std::memory_order_acquire));
}

void
dtrace_on_stop_cb(struct PerfettoDsImpl *ds, PerfettoDsInstanceIndex inst,
    void *user_arg, void *inst_ctx, struct PerfettoDsOnStopArgs *args)
{
	struct dtrace_consumer_state *st =
	    (struct dtrace_consumer_state *)user_arg;
	(void)ds;
	(void)inst_ctx;
	(void)args;

	std::lock_guard<std::mutex> sl(st->session_lock);
	if (inst >= DTRACE_MAX_INSTANCES || !st->attached[inst]) {
		print_totals(st);
		return;
	}
	st->attached[inst] = false;
	if (--st->nattached > 0) {
		// The consumer goes on for the sessions still sharing it.
		print_totals(st);
		return;
	}

	// Take the handle back from the loop: once `running` is clear and
	// the loop is out of dtrace_work and dtrace_sleep, it will not touch
	// the handle again.
	{
		std::unique_lock<std::mutex> lk(st->loop_lock);
		st->running.store(0, std::memory_order_release);
		st->loop_idle.wait(lk, [st] { return !st->in_work; });
	}
	print_totals(st);
	(void)dtrace_stop(st->handle);
	st->program = NULL;
	dtrace_close(st->handle);
	st->handle = NULL;
	sbuf_delete(st->program_text);
	st->program_text = NULL;
}

void
dtrace_on_destroy_cb(struct PerfettoDsImpl *ds, void *user_arg,
    void *inst_ctx)
{
	(void)ds;
	(void)user_arg;
	(void)inst_ctx;
	puts("dtrace_on_destroy_cb");
}

void
kfunc_start(struct dtrace_consumer_state *st)
{
	struct ds_callbacks callbacks = {
		dtrace_on_setup_cb,
		dtrace_on_start_cb,
		dtrace_on_stop_cb,
		dtrace_on_destroy_cb,
		st,
	};

	start_producer();
	register_data_source(&kfunc_ds, "dtrace", &callbacks);
}

void
dtrace_consumer_pass(struct dtrace_consumer_state *st,
    void (*idle_sleep)(unsigned int usec))
{
	dtrace_hdl_t *handle = NULL;

	{
		std::lock_guard<std::mutex> lk(st->loop_lock);
		if (st->running.load(std::memory_order_acquire)) {
			handle = st->handle;
			st->in_work = true;
		}
	}
	if (handle == NULL) {
		idle_sleep(IDLE_SLEEP_US);
		return;
	}

	dtrace_workstatus_t status = dtrace_work(handle, stdout,
	    dtrace_probe_cb, dtrace_record_cb, st);
	if (status == DTRACE_WORKSTATUS_ERROR && dtrace_errno(handle) != EINTR)
		dtrace_fatal(handle, "processing aborted");
	dtrace_sleep(handle);

	{
		std::lock_guard<std::mutex> lk(st->loop_lock);
		st->in_work = false;
	}
	st->loop_idle.notify_all();
}
