// Hundreds of sessions through the three daemon processes and the real
// service: what each process holds (descriptors, threads, memory) does not
// grow.  Prints those figures, and each daemon's start latency (from the
// service's start of tracing to the daemon's first packet), which are for
// reading, not checked.
#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/system.h"
#include "harness/tracing.h"

namespace {

struct holdings {
	unsigned fds, threads;
	long rss_kb;
};

unsigned
entries(const std::string &dir)
{
	unsigned n = 0;
	DIR *d = opendir(dir.c_str());
	if (d == nullptr)
		return 0;
	while (struct dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			n++;
	closedir(d);
	return n;
}

struct holdings
holdings_of(pid_t pid)
{
	std::string proc = "/proc/" + std::to_string(pid);
	struct holdings h = {entries(proc + "/fd"), entries(proc + "/task"), 0};
	std::ifstream status(proc + "/status");
	for (std::string line; std::getline(status, line);)
		if (line.rfind("VmRSS:", 0) == 0)
			h.rss_kb = std::stol(line.substr(6));
	return h;
}

// BOOTTIME minus MONOTONIC, from the trace's first clock snapshot.
int64_t
boot_minus_mono(const std::vector<std::string> &packets)
{
	for (const std::string &p : packets)
		for (const wire_field &f : wire_fields(p)) {
			if (f.id != 6)
				continue;
			int64_t boot = 0, mono = 0;
			for (const wire_field &c : wire_fields(f.bytes)) {
				if (c.id != 1)
					continue;
				uint64_t id = 0, ts = 0;
				for (const wire_field &x : wire_fields(c.bytes)) {
					if (x.id == 1)
						id = x.varint;
					if (x.id == 2)
						ts = x.varint;
				}
				if (id == 6)
					boot = (int64_t)ts;
				if (id == 3)
					mono = (int64_t)ts;
			}
			return boot - mono;
		}
	return 0;
}

// The service's "tracing started" time (BOOTTIME), or 0.
uint64_t
tracing_started(const std::vector<std::string> &packets)
{
	for (const std::string &p : packets) {
		uint64_t ts = 0;
		bool started = false;
		for (const wire_field &f : wire_fields(p)) {
			if (f.id == 8)
				ts = f.varint;
			if (f.id == 69)
				for (const wire_field &e : wire_fields(f.bytes))
					started = started || (e.id == 2 && e.varint);
		}
		if (started)
			return ts;
	}
	return 0;
}

struct latencies {
	std::vector<double> ms;
	unsigned missing = 0;
};

void
note_latency(const std::string &trace, uint32_t payload, struct latencies *l)
{
	std::vector<std::string> all = trace_packets_raw(trace);
	uint64_t start = tracing_started(all);
	std::vector<perfetto::protos::TracePacket> p =
	    producer_packets(trace, payload);
	if (start == 0 || p.empty()) {
		l->missing++;
		return;
	}
	uint64_t first = p[0].timestamp();
	for (const auto &x : p)
		first = std::min<uint64_t>(first, x.timestamp());
	int64_t boot = (int64_t)first + boot_minus_mono(all);
	l->ms.push_back((double)(boot - (int64_t)start) / 1e6);
}

std::string
summary(struct latencies *l)
{
	if (l->ms.empty())
		return "no packets in any session";
	std::sort(l->ms.begin(), l->ms.end());
	char buf[160];
	snprintf(buf, sizeof buf, "median %.1f ms, 90th %.1f ms, max %.1f ms; "
	    "%u of %zu sessions without a packet", l->ms[l->ms.size() / 2],
	    l->ms[l->ms.size() * 9 / 10], l->ms.back(), l->missing,
	    l->ms.size() + l->missing);
	return buf;
}

TEST(E2eSoak, HundredsOfSessionsGrowNothing)
{
	const int rounds = 200, warmup = 20;
	const char *const names[] = {
		"sysstats_producer", "power_producer", "kfunc_producer",
	};
	const uint32_t payloads[] = {7, 40, 11};
	e2e_system sys;
	e2e_init(&sys, e2e_source_file(
	    "standins/freebsd/machine/example.txtpb"));
	ASSERT_TRUE(e2e_start_service(&sys));
	for (const char *n : names)
		e2e_start_daemon(&sys, n);
	std::string all = e2e_source_file("configs/all.txtpb");

	struct holdings before[3] = {};
	struct latencies lat[3];
	for (int i = 0; i < rounds; i++) {
		if (i == warmup)
			for (int d = 0; d < 3; d++)
				before[d] = holdings_of(sys.daemons[names[d]].pid);
		// Every tenth round, two sessions at once.
		pid_t other = i % 10 == 5 ?
		    e2e_record_start(&sys, all, 150, "other") : -1;
		e2e_recording r = e2e_record(&sys, all, 100, "round");
		ASSERT_EQ(r.status, 0) << "round " << i << ": " << r.err;
		if (other > 0) {
			ASSERT_EQ(e2e_record_wait(&sys, other, "other").status,
			    0);
		}
		if (i >= warmup)
			for (int d = 0; d < 3; d++)
				note_latency(r.trace, payloads[d], &lat[d]);
	}
	for (int d = 0; d < 3; d++) {
		ASSERT_TRUE(e2e_daemon_alive(&sys, names[d])) << names[d];
		struct holdings after = holdings_of(sys.daemons[names[d]].pid);
		printf("%s: descriptors %u -> %u, threads %u -> %u, "
		    "RSS %ld -> %ld kB over %d sessions\n", names[d],
		    before[d].fds, after.fds, before[d].threads, after.threads,
		    before[d].rss_kb, after.rss_kb, rounds - warmup);
		printf("%s: start latency %s\n", names[d],
		    summary(&lat[d]).c_str());
		EXPECT_EQ(after.fds, before[d].fds) << names[d];
		EXPECT_EQ(after.threads, before[d].threads) << names[d];
		EXPECT_LT(after.rss_kb - before[d].rss_kb, 8 * 1024) << names[d];
	}
	e2e_teardown(&sys);
}

}  // namespace
