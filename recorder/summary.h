// The packets of a recorded trace, counted by kind.
#ifndef RECORDER_SUMMARY_H
#define RECORDER_SUMMARY_H

#include <stddef.h>
#include <stdio.h>

#include <string>

// Packets by payload field: sys_stats (7), power_rails (40), battery (38),
// track_event (11); `other` holds the rest (the service's own packets).
struct packet_counts {
	size_t sys_stats;
	size_t power_rails;
	size_t battery;
	size_t track_event;
	size_t other;
};

// Counts the packets (field 1) of a serialized Trace.  Returns false when
// the bytes are not a well-formed Trace; the counts then hold the packets
// before the fault.
bool count_packets(const std::string &trace, struct packet_counts *counts);

// A line per kind, "KIND COUNT", in the order of the struct.
void print_packet_counts(FILE *f, const struct packet_counts *counts);

#endif
