// The stand-in's message writer, heap buffers and decoder.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "harness/tracing.h"
#include "perfetto/public/abi/heap_buffer.h"
#include "perfetto/public/abi/pb_decoder_abi.h"
#include "perfetto/public/pb_msg.h"

namespace {

std::string
heap_bytes(void (*write)(PerfettoPbMsg *))
{
	PerfettoPbMsgWriter w;
	PerfettoHeapBuffer *hb = PerfettoHeapBufferCreate(&w.writer);
	PerfettoPbMsg root;
	PerfettoPbMsgInit(&root, &w);
	write(&root);
	PerfettoPbMsgFinalize(&root);
	size_t n = PerfettoStreamWriterGetWrittenSize(&w.writer);
	std::string out(n, '\0');
	PerfettoHeapBufferCopyInto(hb, &w.writer, out.data(), n);
	PerfettoHeapBufferDestroy(hb, &w.writer);
	return out;
}

TEST(MessageWriter, NestedLengthIsAFourBytePaddedVarint)
{
	std::string b = heap_bytes([](PerfettoPbMsg *root) {
		PerfettoPbMsg nested;
		PerfettoPbMsgBeginNested(root, &nested, 7);
		PerfettoPbMsgAppendCStrField(&nested, 1, "abcde");
		PerfettoPbMsgEndNested(root);
	});
	EXPECT_EQ(b, std::string("\x3a\x87\x80\x80\x00\x0a\x05" "abcde", 12));
}

TEST(MessageWriter, ScalarEncodings)
{
	std::string b = heap_bytes([](PerfettoPbMsg *root) {
		PerfettoPbMsgAppendType0Field(root, 1, (uint64_t)-1);
		PerfettoPbMsgAppendFixed32Field(root, 2, 0x01020304);
		PerfettoPbMsgAppendFloatField(root, 3, 1.0f);
		PerfettoPbMsgAppendType2Field(root, 4, (const uint8_t *)"a\0b", 3);
	});
	EXPECT_EQ(b, std::string("\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"
	                         "\x15\x04\x03\x02\x01"
	                         "\x1d\x00\x00\x80\x3f"
	                         "\x22\x03" "a\0b", 26));
}

// Deep nesting across many small chunks: every size lands where it belongs
// and no byte moves once written.
TEST(MessageWriter, MessagesSpanningChunksComeOutWhole)
{
	std::string big(3000, 'x');
	for (size_t i = 0; i < big.size(); i++)
		big[i] = (char)('a' + i % 26);
	static std::string payload;
	payload = big;
	std::string b = heap_bytes([](PerfettoPbMsg *root) {
		PerfettoPbMsg a, c;
		PerfettoPbMsgBeginNested(root, &a, 1);
		for (int i = 0; i < 100; i++)
			PerfettoPbMsgAppendType0Field(&a, 2, (uint64_t)i);
		PerfettoPbMsgBeginNested(&a, &c, 3);
		PerfettoPbMsgAppendType2Field(&c, 4,
		    (const uint8_t *)payload.data(), payload.size());
		PerfettoPbMsgEndNested(&a);
		PerfettoPbMsgEndNested(root);
		PerfettoPbMsgAppendType0Field(root, 5, 42);
	});
	std::vector<wire_field> top = wire_fields(b);
	ASSERT_EQ(top.size(), 2u);
	EXPECT_EQ(top[1].id, 5u);
	EXPECT_EQ(top[1].varint, 42u);
	std::vector<wire_field> inner = wire_fields(top[0].bytes);
	ASSERT_EQ(inner.size(), 101u);
	EXPECT_EQ(inner[99].varint, 99u);
	std::vector<wire_field> deepest = wire_fields(inner[100].bytes);
	ASSERT_EQ(deepest.size(), 1u);
	EXPECT_EQ(deepest[0].bytes, big);
}

TEST(MessageWriter, WrittenBytesStayInPlace)
{
	PerfettoPbMsgWriter w;
	PerfettoHeapBuffer *hb = PerfettoHeapBufferCreate(&w.writer);
	// A new heap buffer may have no chunk yet: the first byte makes one.
	PerfettoStreamWriterAppendByte(&w.writer, 0x5a);
	uint8_t *first = w.writer.write_ptr - 1;
	for (int i = 0; i < 1000; i++)
		PerfettoStreamWriterAppendByte(&w.writer, (uint8_t)i);
	EXPECT_EQ(*first, 0x5a);
	EXPECT_EQ(PerfettoStreamWriterGetWrittenSize(&w.writer), 1001u);
	PerfettoHeapBufferDestroy(hb, &w.writer);
}

struct decoded {
	uint32_t status, wire_type, id;
	uint64_t value;
};

std::vector<decoded>
decode_all(const std::string &bytes)
{
	PerfettoPbDecoder d;
	d.read_ptr = (const uint8_t *)bytes.data();
	d.end_ptr = d.read_ptr + bytes.size();
	std::vector<decoded> out;
	for (;;) {
		PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&d);
		decoded x = {f.status, f.wire_type, f.id, 0};
		if (f.status == PERFETTO_PB_DECODER_OK)
			x.value = f.wire_type == 2 ? f.value.delimited.len :
			    f.wire_type == 5 ? f.value.integer32 : f.value.integer64;
		out.push_back(x);
		if (f.status != PERFETTO_PB_DECODER_OK)
			break;
	}
	return out;
}

TEST(Decoder, ReadsEveryWireTypeThenDone)
{
	std::string b("\x08\x96\x01"                          // 1: 150
	              "\x11\x01\x00\x00\x00\x00\x00\x00\x00"  // 2: fixed64 1
	              "\x1a\x02hi"                            // 3: "hi"
	              "\x25\x02\x00\x00\x00"                  // 4: fixed32 2
	              "\xf8\x08\x07", 24);                    // 143: 7
	std::vector<decoded> f = decode_all(b);
	ASSERT_EQ(f.size(), 6u);
	EXPECT_EQ(f[0].id, 1u); EXPECT_EQ(f[0].value, 150u);
	EXPECT_EQ(f[1].wire_type, 1u); EXPECT_EQ(f[1].value, 1u);
	EXPECT_EQ(f[2].wire_type, 2u); EXPECT_EQ(f[2].value, 2u);
	EXPECT_EQ(f[3].wire_type, 5u); EXPECT_EQ(f[3].value, 2u);
	EXPECT_EQ(f[4].id, 143u); EXPECT_EQ(f[4].value, 7u);
	EXPECT_EQ(f[5].status, (uint32_t)PERFETTO_PB_DECODER_DONE);
}

// Field number 0 is no error to the decoder: readers see it as a field they
// do not know.
TEST(Decoder, FieldNumberZeroIsAField)
{
	std::vector<decoded> f = decode_all(std::string("\x00\x07\x08\x01", 4));
	ASSERT_EQ(f.size(), 3u);
	EXPECT_EQ(f[0].status, (uint32_t)PERFETTO_PB_DECODER_OK);
	EXPECT_EQ(f[0].id, 0u);
	EXPECT_EQ(f[0].value, 7u);
	EXPECT_EQ(f[1].id, 1u);
	EXPECT_EQ(f[2].status, (uint32_t)PERFETTO_PB_DECODER_DONE);
}

TEST(Decoder, MalformedInputIsAnError)
{
	struct { const char *what; std::string bytes; } cases[] = {
		{"length past the end", std::string("\x0a\x05" "ab", 4)},
		{"varint cut short", std::string("\x08\x80", 2)},
		{"wire type 3", std::string("\x0b\x00", 2)},
		{"fixed32 cut short", std::string("\x0d\x01\x02", 3)},
	};
	for (const auto &c : cases) {
		std::vector<decoded> f = decode_all(c.bytes);
		ASSERT_EQ(f.size(), 1u) << c.what;
		EXPECT_EQ(f[0].status, (uint32_t)PERFETTO_PB_DECODER_ERROR) << c.what;
	}
}

}  // namespace
