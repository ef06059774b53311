/*
 * Growable string buffers, as libsbuf provides them.  The structure is
 * visible (its size is part of the interface) but callers only use the
 * functions.  Drains are not provided.
 */
#ifndef _SYS_SBUF_H_
#define _SYS_SBUF_H_

#include <sys/types.h>
#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (sbuf_drain_func)(void *arg, const char *data, int len);

struct sbuf {
	char		*s_buf;
	sbuf_drain_func	*s_drain_func;
	void		*s_drain_arg;
	int		 s_error;
	ssize_t		 s_size;
	ssize_t		 s_len;
	int		 s_flags;
	ssize_t		 s_sect_len;
	ssize_t		 s_rec_off;
};

/* Flags a caller may give to sbuf_new(). */
#define	SBUF_FIXEDLEN	0x00000000
#define	SBUF_AUTOEXTEND	0x00000001
#define	SBUF_INCLUDENUL	0x00000002

struct sbuf	*sbuf_new(struct sbuf *s, char *buf, int length, int flags);
#define	sbuf_new_auto()	sbuf_new(NULL, NULL, 0, SBUF_AUTOEXTEND)
void		 sbuf_clear(struct sbuf *s);
int		 sbuf_setpos(struct sbuf *s, int pos);
int		 sbuf_bcat(struct sbuf *s, const void *buf, size_t len);
int		 sbuf_cat(struct sbuf *s, const char *str);
int		 sbuf_printf(struct sbuf *s, const char *fmt, ...)
		    __attribute__((__format__(__printf__, 2, 3)));
int		 sbuf_vprintf(struct sbuf *s, const char *fmt, va_list ap)
		    __attribute__((__format__(__printf__, 2, 0)));
int		 sbuf_putc(struct sbuf *s, int c);
int		 sbuf_error(struct sbuf *s);
int		 sbuf_finish(struct sbuf *s);
char		*sbuf_data(struct sbuf *s);
ssize_t		 sbuf_len(struct sbuf *s);
int		 sbuf_done(struct sbuf *s);
void		 sbuf_delete(struct sbuf *s);
void		 sbuf_putbuf(struct sbuf *s);

#ifdef __cplusplus
}
#endif

#endif
