// FreeBSD's <libgeom.h>: the GEOM tree as user space sees it, and snapshots
// of the kernel's statistics records (the statistics device).
#ifndef _LIBGEOM_H_
#define _LIBGEOM_H_

#include <sys/cdefs.h>
#include <sys/types.h>
#include <sys/queue.h>
#include <sys/time.h>

__BEGIN_DECLS

struct devstat;

int	 geom_stats_open(void);
void	 geom_stats_close(void);
void	 geom_stats_resync(void);
void	*geom_stats_snapshot_get(void);
void	 geom_stats_snapshot_free(void *arg);
void	 geom_stats_snapshot_timestamp(void *arg, struct timespec *tp);
void	 geom_stats_snapshot_reset(void *arg);
struct devstat *geom_stats_snapshot_next(void *arg);

struct gconfig {
	LIST_ENTRY(gconfig)	lg_config;
	char			*lg_name;
	char			*lg_val;
};

LIST_HEAD(gconf, gconfig);

struct gclass {
	void			*lg_id;
	char			*lg_name;
	LIST_ENTRY(gclass)	lg_class;
	LIST_HEAD(, ggeom)	lg_geom;
	struct gconf		lg_config;
};

struct ggeom {
	void			*lg_id;
	struct gclass		*lg_class;
	char			*lg_name;
	u_int			lg_rank;	/* 1: the bottom of the graph */
	LIST_ENTRY(ggeom)	lg_geom;
	LIST_HEAD(, gconsumer)	lg_consumer;
	LIST_HEAD(, gprovider)	lg_provider;
	struct gconf		lg_config;
};

struct gconsumer {
	void			*lg_id;
	struct ggeom		*lg_geom;
	LIST_ENTRY(gconsumer)	lg_consumer;
	struct gprovider	*lg_provider;
	LIST_ENTRY(gconsumer)	lg_consumers;
	char			*lg_mode;
	struct gconf		lg_config;
};

struct gprovider {
	void			*lg_id;
	char			*lg_name;
	struct ggeom		*lg_geom;
	LIST_ENTRY(gprovider)	lg_provider;
	LIST_HEAD(, gconsumer)	lg_consumers;
	char			*lg_mode;
	off_t			lg_mediasize;
	u_int			lg_sectorsize;
	off_t			lg_stripeoffset;
	off_t			lg_stripesize;
	struct gconf		lg_config;
};

struct gident {
	void			*lg_id;
	void			*lg_ptr;
	enum {	ISCLASS,
		ISGEOM,
		ISPROVIDER,
		ISCONSUMER }	lg_what;
};

struct gmesh {
	LIST_HEAD(, gclass)	lg_class;
	struct gident		*lg_ident;	/* ended by lg_id == NULL */
};

int	 geom_gettree(struct gmesh *gmp);
void	 geom_deletetree(struct gmesh *gmp);
struct gident *geom_lookupid(struct gmesh *gmp, const void *id);

__END_DECLS

#endif
