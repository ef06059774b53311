// The D program of a tracing session: fbt entry and return probes for each
// fbt_function entry, a kinst probe for each kinst_function entry.
#include "dtrace/d_program.h"

#include <sys/types.h>
#include <sys/sbuf.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "perfetto/public/abi/pb_decoder_abi.h"

enum { WIRE_DELIMITED = 2 };

// The configuration goes into a program that runs as root, so an entry is
// taken only when it can be nothing but one component of a probe
// description (globs allowed): no blank, control or non-ASCII byte, none
// of the characters that would start a predicate, an action, a comment,
// a string or another description, and no more colons than its field has
// components (a kinst entry may give FUNCTION:OFFSET).
static bool
plain_component(const uint8_t *p, size_t len, unsigned max_colons)
{
	unsigned colons = 0;

	for (size_t i = 0; i < len; i++) {
		uint8_t c = p[i];
		if (c <= ' ' || c > '~')
			return false;
		if (strchr("{}/;\"'\\,", c) != NULL)
			return false;
		if (c == ':' && ++colons > max_colons)
			return false;
	}
	return true;
}

static void
print_rejected(const char *field, const uint8_t *p, size_t len)
{
	printf("build_d_program: rejected %s entry \"", field);
	for (size_t i = 0; i < len; i++) {
		if (p[i] >= ' ' && p[i] <= '~' && p[i] != '"' && p[i] != '\\')
			putchar(p[i]);
		else
			printf("\\x%02x", p[i]);
	}
	printf("\": not a plain probe description component\n");
}

static void
append_entries(struct sbuf *text, const uint8_t *begin, size_t len,
    int *probes)
{
	struct PerfettoPbDecoder dec = { begin, begin + len };

	for (;;) {
		struct PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&dec);
		if (f.status != PERFETTO_PB_DECODER_OK)
			return;
		if (f.wire_type != WIRE_DELIMITED)
			continue;
		const uint8_t *name = f.value.delimited.start;
		size_t n = f.value.delimited.len;
		switch (f.id) {
		case DTRACE_CONFIG_FBT_FUNCTION:
			if (!plain_component(name, n, 0)) {
				print_rejected("fbt_function", name, n);
				break;
			}
			sbuf_printf(text, "fbt:kernel:");
			sbuf_bcat(text, name, n);
			sbuf_printf(text, ":entry\n");
			sbuf_printf(text, "fbt:kernel:");
			sbuf_bcat(text, name, n);
			sbuf_printf(text, ":return\n");
			*probes += 2;
			break;
		case DTRACE_CONFIG_KINST_FUNCTION:
			if (!plain_component(name, n, 1)) {
				print_rejected("kinst_function", name, n);
				break;
			}
			sbuf_printf(text, "kinst::");
			sbuf_bcat(text, name, n);
			sbuf_printf(text, "\n");
			*probes += 1;
			break;
		default:
			printf("unsupported config type %d!\n", (int)f.id);
			break;
		}
	}
}

struct sbuf *
build_d_program(const void *config, size_t size)
{
	struct sbuf *text = sbuf_new(NULL, NULL, 0, SBUF_AUTOEXTEND);
	const uint8_t *begin = (const uint8_t *)config;
	struct PerfettoPbDecoder dec = { begin, begin + size };
	int probes = 0;

	for (;;) {
		struct PerfettoPbDecoderField f = PerfettoPbDecoderParseField(&dec);
		if (f.status != PERFETTO_PB_DECODER_OK)
			break;
		if (f.id == DS_CONFIG_DTRACE && f.wire_type == WIRE_DELIMITED)
			append_entries(text, f.value.delimited.start,
			    f.value.delimited.len, &probes);
	}
	sbuf_finish(text);

	printf("Installed %d probes\n", probes);
	printf("---------- dtrace program --------------------\n");
	sbuf_putbuf(text);
	printf("----------------------------------------------\n\n");
	return text;
}
