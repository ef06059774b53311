// libsbuf: growable or fixed string buffers with latched errors.
#include <sys/sbuf.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Private state bits, above the flags a caller may pass.
enum {
	SB_USERMASK = 0x0000ffff,
	SB_OWNBUF = 0x00010000,		// s_buf was allocated here
	SB_OWNSTRUCT = 0x00020000,	// the structure was allocated here
	SB_FINISHED = 0x00040000,
};

static const ssize_t SB_MINSIZE = 16;

// Room for `extra` more bytes and the terminating NUL, growing when
// allowed.  Latches ENOMEM and fails when there is not.
static bool
sb_reserve(struct sbuf *s, size_t extra)
{
	if ((size_t)(s->s_size - s->s_len) > extra)
		return true;
	if (!(s->s_flags & SBUF_AUTOEXTEND)) {
		s->s_error = ENOMEM;
		return false;
	}
	size_t need = (size_t)s->s_len + extra + 1;
	size_t size = s->s_size < SB_MINSIZE ? SB_MINSIZE : (size_t)s->s_size;
	while (size < need)
		size *= 2;
	char *nbuf;
	if (s->s_flags & SB_OWNBUF) {
		nbuf = (char *)realloc(s->s_buf, size);
	} else {
		nbuf = (char *)malloc(size);
		if (nbuf != NULL && s->s_len > 0)
			memcpy(nbuf, s->s_buf, (size_t)s->s_len);
	}
	if (nbuf == NULL) {
		s->s_error = ENOMEM;
		return false;
	}
	s->s_buf = nbuf;
	s->s_size = (ssize_t)size;
	s->s_flags |= SB_OWNBUF;
	return true;
}

// Appending is refused once an error is latched or the buffer is finished.
static bool
sb_writable(const struct sbuf *s)
{
	return s->s_error == 0 && !(s->s_flags & SB_FINISHED);
}

struct sbuf *
sbuf_new(struct sbuf *s, char *buf, int length, int flags)
{
	if (length < 0)
		return NULL;
	int own = 0;
	if (s == NULL) {
		s = (struct sbuf *)calloc(1, sizeof(*s));
		if (s == NULL)
			return NULL;
		own = SB_OWNSTRUCT;
	} else {
		memset(s, 0, sizeof(*s));
	}
	s->s_flags = (flags & SB_USERMASK) | own;
	s->s_size = length;
	if (buf != NULL) {
		s->s_buf = buf;
		return s;
	}
	if (s->s_size < SB_MINSIZE && (flags & SBUF_AUTOEXTEND))
		s->s_size = SB_MINSIZE;
	if (s->s_size == 0)
		s->s_size = 1;	// room for the NUL of an empty fixed buffer
	s->s_buf = (char *)malloc((size_t)s->s_size);
	if (s->s_buf == NULL) {
		if (own)
			free(s);
		return NULL;
	}
	s->s_flags |= SB_OWNBUF;
	return s;
}

void
sbuf_clear(struct sbuf *s)
{
	s->s_flags &= ~SB_FINISHED;
	s->s_error = 0;
	s->s_len = 0;
	s->s_sect_len = 0;
	s->s_rec_off = 0;
}

int
sbuf_setpos(struct sbuf *s, int pos)
{
	if (pos < 0 || pos > s->s_len || (s->s_flags & SB_FINISHED))
		return -1;
	s->s_len = pos;
	return 0;
}

int
sbuf_bcat(struct sbuf *s, const void *buf, size_t len)
{
	if (!sb_writable(s))
		return -1;
	if (len == 0)
		return 0;
	if (!sb_reserve(s, len)) {
		// A fixed buffer keeps what fits, as libsbuf does.
		ssize_t room = s->s_size - 1 - s->s_len;
		if (room > 0) {
			memcpy(s->s_buf + s->s_len, buf, (size_t)room);
			s->s_len += room;
		}
		return -1;
	}
	memcpy(s->s_buf + s->s_len, buf, len);
	s->s_len += (ssize_t)len;
	return 0;
}

int
sbuf_cat(struct sbuf *s, const char *str)
{
	return sbuf_bcat(s, str, strlen(str));
}

int
sbuf_putc(struct sbuf *s, int c)
{
	char ch = (char)c;
	return sbuf_bcat(s, &ch, 1);
}

int
sbuf_vprintf(struct sbuf *s, const char *fmt, va_list ap)
{
	if (!sb_writable(s))
		return -1;
	va_list aq;
	va_copy(aq, ap);
	int n = vsnprintf(NULL, 0, fmt, aq);
	va_end(aq);
	if (n < 0) {
		s->s_error = errno != 0 ? errno : EINVAL;
		return -1;
	}
	if (sb_reserve(s, (size_t)n)) {
		vsnprintf(s->s_buf + s->s_len, (size_t)n + 1, fmt, ap);
		s->s_len += n;
		return 0;
	}
	// Fixed buffer: keep the part that fits, error latched.
	ssize_t room = s->s_size - s->s_len;
	if (room > 1) {
		vsnprintf(s->s_buf + s->s_len, (size_t)room, fmt, ap);
		s->s_len += room - 1;
	}
	return -1;
}

int
sbuf_printf(struct sbuf *s, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int r = sbuf_vprintf(s, fmt, ap);
	va_end(ap);
	return r;
}

int
sbuf_error(struct sbuf *s)
{
	return s->s_error;
}

int
sbuf_finish(struct sbuf *s)
{
	if (s->s_size > s->s_len)
		s->s_buf[s->s_len] = '\0';
	if ((s->s_flags & SBUF_INCLUDENUL) && !(s->s_flags & SB_FINISHED) &&
	    s->s_error == 0)
		s->s_len++;
	s->s_flags |= SB_FINISHED;
	if (s->s_error != 0) {
		errno = s->s_error;
		return -1;
	}
	return 0;
}

char *
sbuf_data(struct sbuf *s)
{
	return s->s_buf;
}

ssize_t
sbuf_len(struct sbuf *s)
{
	if (s->s_error != 0)
		return -1;
	return s->s_len;
}

int
sbuf_done(struct sbuf *s)
{
	return (s->s_flags & SB_FINISHED) != 0;
}

void
sbuf_delete(struct sbuf *s)
{
	if (s->s_flags & SB_OWNBUF)
		free(s->s_buf);
	if (s->s_flags & SB_OWNSTRUCT)
		free(s);
	else
		memset(s, 0, sizeof(*s));
}

void
sbuf_putbuf(struct sbuf *s)
{
	printf("%s", sbuf_data(s));
}
