// The power daemon in a test process: its record and registration, served by
// the in-process tracing service, and one loop turn at a time.
#ifndef TESTS_POWER_POWER_FIXTURE_H
#define TESTS_POWER_POWER_FIXTURE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "harness/capture.h"
#include "harness/tracing.h"
#include "power/power_callbacks.h"
#include "power/power_loop.h"
#include "power/power_state.h"

// One daemon per test process (ctest runs each test alone), like main's.
extern struct fbsd_power_state power_state;
extern struct ds_registration power_ds;

// In-process service, then the daemon's registration.
void power_daemon_start(void);

// A session of "freebsd.power"; the set-up and start lines it printed go
// to `out` when given.
struct test_session *power_session_start(std::string *out = nullptr);
// The same, its lines captured and dropped.
struct test_session *quiet_session(void);

// One loop turn; returns the period it slept for (without sleeping).
unsigned power_loop_turn(void);

// The packets of a stopped-and-read trace.
std::vector<perfetto::protos::TracePacket> rail_packets(const std::string &t);
std::vector<perfetto::protos::TracePacket> battery_packets(const std::string &t);

// The payload bytes of a packet's field `field` as the producer wrote it.
std::string payload_bytes(const std::string &raw_packet, uint32_t field);

// The bytes of a varint, as a string.
std::string varint(uint64_t v);

#endif
