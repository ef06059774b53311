// The test reader's cut of a stored packet into what the producer wrote:
// only the service's own trailer goes, so that checks for fields a daemon
// must not write can fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/tracing.h"

namespace {

TEST(ProducerBytes, CutsOnlyTheServiceTrailer)
{
	const std::string ts = pb_varint_field(8, 5);
	const std::string payload = pb_bytes_field(7, "");
	const std::string first = std::string("\xb8\x05\x01", 3);
	const std::string trailer = pb_varint_field(3, 0) +
	    pb_varint_field(10, 2) + pb_varint_field(79, 0);
	struct {
		std::string packet;
		std::vector<uint32_t> want;
	} cases[] = {
		{first + ts + payload + trailer + pb_varint_field(42, 1), {8, 7}},
		{ts + payload + trailer, {8, 7}},
		{ts + payload + pb_varint_field(3, 0) + pb_varint_field(10, 2),
		 {8, 7}},
		// Written by the producer itself: kept.
		{ts + payload + pb_varint_field(10, 9) + trailer, {8, 7, 10}},
		{ts + pb_varint_field(79, 1) + payload + trailer, {8, 79, 7}},
		// No trailer at all: nothing is cut.
		{ts + payload + pb_varint_field(10, 9), {8, 7, 10}},
	};
	for (const auto &c : cases)
		EXPECT_EQ(field_ids(producer_bytes(c.packet)), c.want);
}

}  // namespace
