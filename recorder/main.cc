// trace_recorder: records a trace from the system tracing service with a
// text config over configs/trace_config.proto, writes it to a file and
// prints how many packets of each kind it holds.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "perfetto/public/abi/producer_abi.h"
#include "perfetto/public/abi/tracing_session_abi.h"
#include "recorder/config.h"
#include "recorder/summary.h"

// Longest wait for one answer of the service.  Its own limits are shorter:
// 20 s for the data sources to start, 5 s each to flush and to stop them.
#define SERVICE_ANSWER_S 30
#define POLL_MS 50

struct options {
	bool quiet;
	uint32_t duration_ms;  // 0: the config's
	const char *config_path;
	const char *trace_path;
};

// The signal that asks to stop (0: none yet).
static std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free,
    "stored from a signal handler");
// The trace file while it is ours to remove (created by this run).
static std::atomic<const char *> created_trace{nullptr};

static void
usage(FILE *f)
{
	fputs("usage: trace_recorder [-q] [-d ms] -c config -o trace\n"
	    "       trace_recorder -h | --help\n", f);
}

static void
help(void)
{
	usage(stdout);
	puts("\n"
	    "  -c config  trace config, protobuf text format over\n"
	    "             trace_config.proto ('-': standard input)\n"
	    "  -o trace   trace file to write\n"
	    "  -d ms      record for ms milliseconds (default: duration_ms)\n"
	    "  -q         no progress lines\n"
	    "\n"
	    "Records from the tracing service on PERFETTO_CONSUMER_SOCK_NAME\n"
	    "(or its default socket), stops early on SIGINT or SIGTERM, and\n"
	    "prints the trace's packets by kind.");
}

static bool
parse_duration(const char *s, uint32_t *ms)
{
	if (*s < '0' || *s > '9')
		return false;
	errno = 0;
	char *end;
	unsigned long long v = strtoull(s, &end, 10);
	if (errno != 0 || *end != '\0' || v == 0 || v > TRACE_DURATION_MAX_MS)
		return false;
	*ms = static_cast<uint32_t>(v);
	return true;
}

// Returns EX_OK, or EX_USAGE after saying why.
static int
parse_options(int argc, char **argv, struct options *o)
{
	static const struct option longopts[] = {
		{"help", no_argument, nullptr, 'h'},
		{nullptr, 0, nullptr, 0},
	};
	*o = {};
	int ch;
	while ((ch = getopt_long(argc, argv, "c:d:ho:q", longopts,
	    nullptr)) != -1) {
		switch (ch) {
		case 'c':
			o->config_path = optarg;
			break;
		case 'd':
			if (!parse_duration(optarg, &o->duration_ms)) {
				fprintf(stderr, "trace_recorder: -d %s: not a "
				    "duration from 1 to %u ms\n", optarg,
				    TRACE_DURATION_MAX_MS);
				return EX_USAGE;
			}
			break;
		case 'h':
			help();
			exit(EX_OK);
		case 'o':
			o->trace_path = optarg;
			break;
		case 'q':
			o->quiet = true;
			break;
		default:
			usage(stderr);
			return EX_USAGE;
		}
	}
	if (optind != argc || o->config_path == nullptr ||
	    o->trace_path == nullptr) {
		usage(stderr);
		return EX_USAGE;
	}
	return EX_OK;
}

static bool
read_text(const char *path, std::string *text)
{
	bool from_stdin = strcmp(path, "-") == 0;
	FILE *f = from_stdin ? stdin : fopen(path, "r");
	if (f == nullptr)
		return false;
	char buf[8192];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		text->append(buf, n);
	int saved = errno;
	bool ok = !ferror(f);
	if (!from_stdin)
		fclose(f);
	errno = saved;
	return ok;
}

// Opened, not truncated: a file that was there keeps its contents until the
// trace is written over it.  Returns -1 with errno set.
static int
open_trace(const char *path)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
	if (fd >= 0) {
		created_trace.store(path, std::memory_order_release);
		return fd;
	}
	if (errno != EEXIST)
		return -1;
	return open(path, O_WRONLY | O_CLOEXEC);
}

static void
drop_trace(void)
{
	const char *path = created_trace.exchange(nullptr,
	    std::memory_order_acq_rel);
	if (path != nullptr)
		unlink(path);
}

static bool
write_trace(int fd, const std::string &trace)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return false;
	if (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)
		return false;
	const char *p = trace.data();
	size_t left = trace.size();
	while (left > 0) {
		ssize_t n = write(fd, p, left);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return false;
		p += n;
		left -= static_cast<size_t>(n);
	}
	return true;
}

static void
on_stop_signal(int sig)
{
	stop_signal.store(sig, std::memory_order_release);
}

// A service that took the socket but does not answer: give up rather
// than hang.
static void
on_no_answer(int)
{
	static const char msg[] =
	    "trace_recorder: no answer from the tracing service\n";
	const char *path = created_trace.load(std::memory_order_acquire);
	if (path != nullptr)
		unlink(path);
	(void)!write(2, msg, sizeof msg - 1);
	_exit(EX_UNAVAILABLE);
}

static void
install_handlers(void)
{
	struct sigaction sa;
	memset(&sa, 0, sizeof sa);
	sigemptyset(&sa.sa_mask);
	// A second signal ends the process the usual way, should stopping hang.
	sa.sa_flags = SA_RESTART | SA_RESETHAND;
	sa.sa_handler = on_stop_signal;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	sa.sa_flags = 0;
	sa.sa_handler = on_no_answer;
	sigaction(SIGALRM, &sa, nullptr);
}

static uint64_t
now_ms(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<uint64_t>(ts.tv_sec) * 1000 +
	    static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Called on an SDK thread; ReadTraceBlocking returns after the last piece.
static void
append_piece(struct PerfettoTracingSessionImpl *, const void *data,
             size_t size, bool, void *arg)
{
	alarm(SERVICE_ANSWER_S);  // the service is still answering
	if (size > 0)
		static_cast<std::string *>(arg)->append(
		    static_cast<const char *>(data), size);
}

static void
read_trace(struct PerfettoTracingSessionImpl *session, std::string *trace)
{
	alarm(SERVICE_ANSWER_S);
	PerfettoTracingSessionReadTraceBlocking(session, append_piece, trace);
	alarm(0);
}

// Sleeps until the duration is over or a stop signal came, a progress line
// a second.
static void
wait_recording(const struct options *o, uint32_t duration_ms)
{
	uint64_t start = now_ms();
	uint64_t shown_s = 0, total_s = (duration_ms + 999) / 1000;
	for (;;) {
		int sig = stop_signal.load(std::memory_order_acquire);
		if (sig != 0) {
			if (!o->quiet)
				fprintf(stderr, "trace_recorder: stopping early "
				    "(%s)\n", strsignal(sig));
			return;
		}
		uint64_t elapsed = now_ms() - start;
		if (elapsed >= duration_ms)
			return;
		if (elapsed / 1000 > shown_s) {
			shown_s = elapsed / 1000;
			if (!o->quiet)
				fprintf(stderr, "trace_recorder: %ju of %ju s\n",
				    static_cast<uintmax_t>(shown_s),
				    static_cast<uintmax_t>(total_s));
		}
		uint64_t left = duration_ms - elapsed;
		struct timespec ts = {0,
		    static_cast<long>((left < POLL_MS ? left : POLL_MS) * 1000000)};
		nanosleep(&ts, nullptr);
	}
}

// Records one session into *trace.  Returns EX_OK, or EX_UNAVAILABLE after
// saying why.
static int
record(const struct options *o, const struct binary_trace_config *cfg,
       std::string *trace)
{
	// The SDK's system back-end serves the consumer side too; it connects
	// in the background and reports no failure.
	struct PerfettoProducerBackendInitArgs *args =
	    PerfettoProducerBackendInitArgsCreate();
	PerfettoProducerSystemInit(args);
	PerfettoProducerBackendInitArgsDestroy(args);

	struct PerfettoTracingSessionImpl *session =
	    PerfettoTracingSessionSystemCreate();
	PerfettoTracingSessionSetup(session,
	    const_cast<char *>(cfg->bytes.data()), cfg->bytes.size());
	alarm(SERVICE_ANSWER_S);
	PerfettoTracingSessionStartBlocking(session);
	alarm(0);
	// A service that took the session hands back its opening packets
	// (clock snapshot, trace config) at once.  Without a service, or when
	// it refused the config, the start returned all the same and this
	// read is empty.
	read_trace(session, trace);
	if (trace->empty()) {
		const char *sock = getenv("PERFETTO_CONSUMER_SOCK_NAME");
		fprintf(stderr, "trace_recorder: no tracing session: the "
		    "tracing service on %s%s is not running or refused the "
		    "config\n", sock ? "PERFETTO_CONSUMER_SOCK_NAME=" :
		    "its default socket", sock ? sock : "");
		PerfettoTracingSessionDestroy(session);
		return EX_UNAVAILABLE;
	}
	if (!o->quiet)
		fprintf(stderr, "trace_recorder: recording %u ms into %s\n",
		    cfg->duration_ms, o->trace_path);
	wait_recording(o, cfg->duration_ms);

	alarm(SERVICE_ANSWER_S);
	PerfettoTracingSessionStopBlocking(session);
	alarm(0);
	read_trace(session, trace);
	PerfettoTracingSessionDestroy(session);
	return EX_OK;
}

int
main(int argc, char **argv)
{
	struct options o;
	int status = parse_options(argc, argv, &o);
	if (status != EX_OK)
		return status;

	std::string text;
	if (!read_text(o.config_path, &text)) {
		fprintf(stderr, "trace_recorder: %s: %s\n", o.config_path,
		    strerror(errno));
		return EX_NOINPUT;
	}
	const char *source = strcmp(o.config_path, "-") == 0 ? "stdin" :
	    o.config_path;
	struct binary_trace_config cfg;
	std::string error;
	if (!trace_config_from_text(text, source, o.duration_ms, &cfg,
	    &error)) {
		fputs(error.c_str(), stderr);
		return EX_DATAERR;
	}
	if (cfg.duration_ms == 0) {
		fprintf(stderr, "trace_recorder: %s has no duration_ms: give "
		    "-d ms\n", source);
		return EX_USAGE;
	}

	install_handlers();
	int fd = open_trace(o.trace_path);
	if (fd < 0) {
		fprintf(stderr, "trace_recorder: %s: %s\n", o.trace_path,
		    strerror(errno));
		return EX_CANTCREAT;
	}
	std::string trace;
	status = record(&o, &cfg, &trace);
	if (status != EX_OK) {
		drop_trace();
		return status;
	}
	if (!write_trace(fd, trace) || close(fd) != 0) {
		fprintf(stderr, "trace_recorder: %s: %s\n", o.trace_path,
		    strerror(errno));
		drop_trace();
		return EX_IOERR;
	}
	created_trace.store(nullptr, std::memory_order_release);
	if (!o.quiet)
		fprintf(stderr, "trace_recorder: wrote %zu bytes to %s\n",
		    trace.size(), o.trace_path);

	struct packet_counts counts;
	if (!count_packets(trace, &counts))
		fprintf(stderr, "trace_recorder: %s: malformed after %zu "
		    "packets\n", o.trace_path, counts.sys_stats +
		    counts.power_rails + counts.battery + counts.track_event +
		    counts.other);
	print_packet_counts(stdout, &counts);
	return EX_OK;
}
