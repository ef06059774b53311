/*
 * DTrace types shared by the kernel facility and its consumers: probe
 * descriptions, record descriptions, attributes and the constants of the
 * consumer interface that libdtrace's header builds on.
 */
#ifndef _SYS_DTRACE_H
#define _SYS_DTRACE_H

#include <sys/types.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int uint_t;
typedef int processorid_t;

typedef uint32_t dtrace_id_t;		/* probe identifier */
typedef uint32_t dtrace_epid_t;		/* enabled probe identifier */
typedef uint16_t dtrace_actkind_t;	/* action kind */
typedef int64_t dtrace_optval_t;	/* option value */
typedef uint8_t dtrace_stability_t;	/* stability code */
typedef uint8_t dtrace_class_t;		/* architectural dependency class */

#define	DTRACE_PROVNAMELEN	64
#define	DTRACE_MODNAMELEN	64
#define	DTRACE_FUNCNAMELEN	192
#define	DTRACE_NAMELEN		64

typedef enum dtrace_probespec {
	DTRACE_PROBESPEC_NONE = -1,
	DTRACE_PROBESPEC_PROVIDER = 0,
	DTRACE_PROBESPEC_MOD,
	DTRACE_PROBESPEC_FUNC,
	DTRACE_PROBESPEC_NAME
} dtrace_probespec_t;

typedef struct dtrace_probedesc {
	dtrace_id_t dtpd_id;
	char dtpd_provider[DTRACE_PROVNAMELEN];
	char dtpd_mod[DTRACE_MODNAMELEN];
	char dtpd_func[DTRACE_FUNCNAMELEN];
	char dtpd_name[DTRACE_NAMELEN];
} dtrace_probedesc_t;

typedef struct dtrace_recdesc {
	dtrace_actkind_t dtrd_action;
	uint32_t dtrd_size;
	uint32_t dtrd_offset;
	uint16_t dtrd_alignment;
	uint16_t dtrd_format;
	uint64_t dtrd_arg;
	uint64_t dtrd_uarg;
} dtrace_recdesc_t;

typedef struct dtrace_attribute {
	dtrace_stability_t dtat_name;
	dtrace_stability_t dtat_data;
	dtrace_class_t dtat_class;
} dtrace_attribute_t;

/*
 * The head of every firing in a buffer: the enabled probe that fired and
 * the time of the firing (nanoseconds since boot), kept in two 32-bit
 * halves so that the header needs no more than 4-byte alignment.  The
 * firing's data records follow it, at offsets counted from the header.
 */
typedef struct dtrace_rechdr {
	dtrace_epid_t dtrh_epid;
	uint32_t dtrh_timestamp_hi;
	uint32_t dtrh_timestamp_lo;
} dtrace_rechdr_t;

#define	DTRACE_RECORD_LOAD_TIMESTAMP(dtrh)				\
	((uint64_t)(dtrh)->dtrh_timestamp_lo |				\
	    ((uint64_t)(dtrh)->dtrh_timestamp_hi << 32))
#define	DTRACE_RECORD_STORE_TIMESTAMP(dtrh, hrtime) {			\
	(dtrh)->dtrh_timestamp_hi = (uint32_t)((uint64_t)(hrtime) >> 32); \
	(dtrh)->dtrh_timestamp_lo = (uint32_t)(hrtime);			\
}

/* Description of an enabled probe; consumers reach it only by pointer. */
typedef struct dtrace_eprobedesc dtrace_eprobedesc_t;

#define	DTRACEACT_NONE		0
#define	DTRACEACT_DIFEXPR	1
#define	DTRACEACT_EXIT		2
#define	DTRACEACT_PRINTF	3
#define	DTRACEACT_PRINTA	4

#define	DTRACE_STATUS_NONE	0
#define	DTRACE_STATUS_OKAY	1
#define	DTRACE_STATUS_EXITED	2
#define	DTRACE_STATUS_FILLED	3
#define	DTRACE_STATUS_STOPPED	4

#ifdef __cplusplus
}
#endif

#endif
