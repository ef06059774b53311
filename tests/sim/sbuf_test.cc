// The simulated libsbuf: layout, growth, raw bytes and latched errors.
#include <sys/types.h>
#include <sys/sbuf.h>

#include <errno.h>
#include <stddef.h>

#include <string>

#include <gtest/gtest.h>

#include "harness/capture.h"

static_assert(sizeof(struct sbuf) == 72);
static_assert(offsetof(struct sbuf, s_buf) == 0);
static_assert(offsetof(struct sbuf, s_drain_func) == 8);
static_assert(offsetof(struct sbuf, s_drain_arg) == 16);
static_assert(offsetof(struct sbuf, s_error) == 24);
static_assert(offsetof(struct sbuf, s_size) == 32);
static_assert(offsetof(struct sbuf, s_len) == 40);
static_assert(offsetof(struct sbuf, s_flags) == 48);
static_assert(offsetof(struct sbuf, s_sect_len) == 56);
static_assert(offsetof(struct sbuf, s_rec_off) == 64);
static_assert(SBUF_FIXEDLEN == 0 && SBUF_AUTOEXTEND == 1 &&
              SBUF_INCLUDENUL == 2);

TEST(Sbuf, AutoExtendGrowsAndKeepsRawBytes)
{
	struct sbuf *s = sbuf_new(NULL, NULL, 0, SBUF_AUTOEXTEND);
	ASSERT_NE(s, nullptr);
	std::string want;
	for (int i = 0; i < 500; i++) {
		ASSERT_EQ(sbuf_printf(s, "line %d\n", i), 0);
		want += "line " + std::to_string(i) + "\n";
	}
	const char raw[] = { 'a', '\0', 'b' };
	ASSERT_EQ(sbuf_bcat(s, raw, sizeof(raw)), 0);
	want.append(raw, sizeof(raw));
	EXPECT_EQ(sbuf_len(s), (ssize_t)want.size());
	ASSERT_EQ(sbuf_finish(s), 0);
	EXPECT_TRUE(sbuf_done(s));
	EXPECT_EQ(std::string(sbuf_data(s), (size_t)sbuf_len(s)), want);
	EXPECT_EQ(sbuf_data(s)[sbuf_len(s)], '\0');
	// Finished: appending is refused.
	EXPECT_EQ(sbuf_printf(s, "more"), -1);
	sbuf_delete(s);

	struct sbuf *empty = sbuf_new_auto();
	ASSERT_EQ(sbuf_finish(empty), 0);
	EXPECT_EQ(sbuf_len(empty), 0);
	EXPECT_STREQ(sbuf_data(empty), "");
	sbuf_delete(empty);
}

TEST(Sbuf, FixedBufferOverflowLatchesEnomem)
{
	char storage[8];
	struct sbuf sb;
	ASSERT_EQ(sbuf_new(&sb, storage, sizeof(storage), SBUF_FIXEDLEN), &sb);
	EXPECT_EQ(sbuf_cat(&sb, "abc"), 0);
	EXPECT_EQ(sbuf_printf(&sb, "%s", "defghij"), -1);
	// Latched: every later append fails, the length reads -1 and finish
	// reports the error, while the text holds what fitted.
	EXPECT_EQ(sbuf_error(&sb), ENOMEM);
	EXPECT_EQ(sbuf_bcat(&sb, "x", 1), -1);
	EXPECT_EQ(sbuf_len(&sb), -1);
	errno = 0;
	EXPECT_EQ(sbuf_finish(&sb), -1);
	EXPECT_EQ(errno, ENOMEM);
	EXPECT_STREQ(sbuf_data(&sb), "abcdefg");
	sbuf_clear(&sb);
	EXPECT_EQ(sbuf_error(&sb), 0);
	EXPECT_EQ(sbuf_cat(&sb, "ok"), 0);
	sbuf_delete(&sb);
	EXPECT_EQ(sb.s_buf, nullptr);	// caller's structure is cleared
}

TEST(Sbuf, IncludeNulAndPutbuf)
{
	struct sbuf *s = sbuf_new(NULL, NULL, 4, SBUF_AUTOEXTEND | SBUF_INCLUDENUL);
	ASSERT_NE(s, nullptr);
	sbuf_bcat(s, "one\0two", 7);
	EXPECT_EQ(sbuf_len(s), 7);
	ASSERT_EQ(sbuf_finish(s), 0);
	EXPECT_EQ(sbuf_len(s), 8);
	capture_begin();
	sbuf_putbuf(s);	// stops at the first NUL, as printf("%s")
	struct captured_output out = capture_end();
	EXPECT_EQ(out.out, "one");
	sbuf_delete(s);
}
