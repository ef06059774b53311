// The D program builder over arbitrary DataSourceConfig bytes: whatever the
// service hands set-up, the program holds only probe descriptions made of
// accepted entries, one per line.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <sys/types.h>
#include <sys/sbuf.h>

#include "dtrace/d_program.h"

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	// The builder prints the program; keep the fuzzer's output readable.
	if (freopen("/dev/null", "w", stdout) == NULL)
		return 1;
	return 0;
}

static bool
starts_with(const char *s, size_t n, const char *prefix)
{
	size_t len = strlen(prefix);
	return n >= len && memcmp(s, prefix, len) == 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	struct sbuf *text = build_d_program(data, size);
	const char *p = sbuf_data(text);
	size_t len = (size_t)sbuf_len(text);

	if (len != strlen(p))
		__builtin_trap();  // a NUL inside the program
	// Every line is one probe description of the two kinds, with no
	// character that would end it or start a clause.
	for (size_t i = 0; i < len;) {
		const char *nl = (const char *)memchr(p + i, '\n', len - i);
		if (nl == NULL)
			__builtin_trap();
		size_t n = (size_t)(nl - (p + i));
		if (!starts_with(p + i, n, "fbt:kernel:") &&
		    !starts_with(p + i, n, "kinst::"))
			__builtin_trap();
		for (size_t k = 0; k < n; k++)
			if (strchr("{}/;\"'\\, \t", p[i + k]) != NULL ||
			    (unsigned char)p[i + k] < ' ' ||
			    (unsigned char)p[i + k] > '~')
				__builtin_trap();
		i += n + 1;
	}
	sbuf_delete(text);
	return 0;
}
