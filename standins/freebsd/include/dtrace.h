/*
 * libdtrace, the DTrace consumer library: open a consumer, set options,
 * compile and enable a D program, start tracing and drain the buffers.
 */
#ifndef _DTRACE_H
#define _DTRACE_H

#include <sys/dtrace.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define	DTRACE_VERSION	3

typedef struct dtrace_hdl dtrace_hdl_t;
typedef struct dtrace_prog dtrace_prog_t;

#define	DTRACE_O_NODEV	0x01	/* do not open the dtrace device */
#define	DTRACE_O_NOSYS	0x02	/* do not load the system D library */
#define	DTRACE_O_LP64	0x04	/* force 64-bit data model */
#define	DTRACE_O_ILP32	0x08	/* force 32-bit data model */

#define	DTRACE_C_EMPTY	0x0002	/* allow a program without clauses */
#define	DTRACE_C_ZDEFS	0x0004	/* allow probe descriptions that match nothing */

typedef struct dtrace_proginfo {
	dtrace_attribute_t dpi_descattr;
	dtrace_attribute_t dpi_stmtattr;
	uint_t dpi_aggregates;
	uint_t dpi_recgens;
	uint_t dpi_matches;
	uint_t dpi_speculations;
} dtrace_proginfo_t;

typedef enum {
	DTRACEFLOW_ENTRY,
	DTRACEFLOW_RETURN,
	DTRACEFLOW_NONE
} dtrace_flowkind_t;

/*
 * One firing as the consumer callbacks see it.  `dtpda_data` points into
 * the buffer: at the firing's record header (dtrace_rechdr_t) when the
 * probe callback runs, at header + dtrd_offset in each record callback.
 */
typedef struct dtrace_probedata {
	dtrace_hdl_t *dtpda_handle;
	dtrace_eprobedesc_t *dtpda_edesc;
	dtrace_probedesc_t *dtpda_pdesc;
	processorid_t dtpda_cpu;
	caddr_t dtpda_data;
	dtrace_flowkind_t dtpda_flow;
	const char *dtpda_prefix;
	int dtpda_indent;
} dtrace_probedata_t;

#define	DTRACE_CONSUME_ERROR	-1	/* error while processing */
#define	DTRACE_CONSUME_THIS	0	/* consume this probe/record */
#define	DTRACE_CONSUME_NEXT	1	/* advance to next probe/record */
#define	DTRACE_CONSUME_ABORT	2	/* abort consumption */

typedef int dtrace_consume_probe_f(const dtrace_probedata_t *, void *);
typedef int dtrace_consume_rec_f(const dtrace_probedata_t *,
    const dtrace_recdesc_t *, void *);

typedef enum {
	DTRACE_WORKSTATUS_ERROR = -1,
	DTRACE_WORKSTATUS_OKAY,
	DTRACE_WORKSTATUS_DONE
} dtrace_workstatus_t;

extern dtrace_hdl_t *dtrace_open(int version, int flags, int *errp);
extern void dtrace_close(dtrace_hdl_t *dtp);

extern int dtrace_errno(dtrace_hdl_t *dtp);
extern const char *dtrace_errmsg(dtrace_hdl_t *dtp, int error);

extern int dtrace_setopt(dtrace_hdl_t *dtp, const char *opt, const char *val);

extern dtrace_prog_t *dtrace_program_strcompile(dtrace_hdl_t *dtp,
    const char *src, dtrace_probespec_t spec, uint_t cflags, int argc,
    char *const argv[]);
extern int dtrace_program_exec(dtrace_hdl_t *dtp, dtrace_prog_t *pgp,
    dtrace_proginfo_t *pip);

extern int dtrace_go(dtrace_hdl_t *dtp);
extern int dtrace_stop(dtrace_hdl_t *dtp);
extern void dtrace_sleep(dtrace_hdl_t *dtp);
extern dtrace_workstatus_t dtrace_work(dtrace_hdl_t *dtp, FILE *fp,
    dtrace_consume_probe_f *pfunc, dtrace_consume_rec_f *rfunc, void *arg);

#ifdef __cplusplus
}
#endif

#endif
