// The simulated GEOM framework: a graph of classes, geoms and providers,
// the tree that libgeom hands out, and the statistics device whose pages of
// devstat records libgeom copies into snapshots.
//
// Each provider has one statistics record in a slot of the device.  Slots
// are taken in the order providers are added and never reused.  The device
// is read in pages of whole records; as in FreeBSD, a snapshot returns every
// slot of its pages except the very last one, unused slots (id NULL) too.
#include <errno.h>
#include <libgeom.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/devicestat.h>
#include <time.h>

#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "sim/sysstats.h"

namespace {

const size_t page_size = 4096;
const size_t records_per_page = page_size / sizeof(struct devstat);

struct sim_class {
	std::string	name;
	void		*id;
};

struct sim_geom {
	size_t		cls;
	std::string	name;
	unsigned	rank;
	void		*id;
};

struct sim_provider {
	size_t		geom;
	std::string	name;
	void		*id;
	size_t		slot;
	u_int		sector_size;
	off_t		media_size;
	sim_disk_stats	growth;
};

struct sim_consumer {
	size_t		geom;
	size_t		provider;
	void		*id;
};

struct sim_snapshot {
	struct devstat	*records;
	size_t		count;
	size_t		next;
	struct timespec	taken;
};

struct geom_state {
	std::mutex			mu;
	std::vector<sim_class>		classes;
	std::vector<sim_geom>		geoms;
	std::vector<sim_provider>	providers;
	std::vector<sim_consumer>	consumers;
	std::vector<struct devstat>	slots;
	uintptr_t			next_id = 0;
	int				tree_err = 0;
	int				open_err = 0;
	unsigned			snapshot_failures = 0;
	// Of the process, not of the machine: kept across resets.
	bool				opened = false;
	unsigned			taken = 0;
	unsigned			live = 0;
};

geom_state &
gs()
{
	static geom_state *s = new geom_state;	// never destroyed
	return *s;
}

// The first call of anything in the simulation installs the default
// machine, which takes our lock: make sure that has happened before we
// take it ourselves.
void
ensure_machine()
{
	(void)sim_sysctl_reads("");
}

// Kernel addresses, as the tree's XML gives them; never dereferenced.
void *
new_id(geom_state &s)
{
	s.next_id++;
	return reinterpret_cast<void *>(0xfffff80001000000ULL +
	    s.next_id * 0x100);
}

size_t
find_class(geom_state &s, const char *name)
{
	for (size_t i = 0; i < s.classes.size(); i++)
		if (s.classes[i].name == name)
			return i;
	s.classes.push_back({name, new_id(s)});
	return s.classes.size() - 1;
}

size_t
find_geom(geom_state &s, size_t cls, const char *name, unsigned rank,
    bool *created)
{
	*created = false;
	for (size_t i = 0; i < s.geoms.size(); i++)
		if (s.geoms[i].cls == cls && s.geoms[i].name == name)
			return i;
	s.geoms.push_back({cls, name, rank, new_id(s)});
	*created = true;
	return s.geoms.size() - 1;
}

sim_provider *
find_provider(geom_state &s, const char *name)
{
	if (name == nullptr)
		return nullptr;
	for (sim_provider &p : s.providers)
		if (p.name == name)
			return &p;
	return nullptr;
}

struct bintime
bintime_now(clockid_t clock)
{
	struct timespec ts;
	clock_gettime(clock, &ts);
	return sim_bintime(ts.tv_sec, ts.tv_nsec / 1e9L);
}

void
add_provider(geom_state &s, size_t geom, const char *name, u_int sector_size,
    off_t media_size)
{
	sim_provider p{};
	p.geom = geom;
	p.name = name;
	p.id = new_id(s);
	p.slot = s.slots.size();
	p.sector_size = sector_size;
	p.media_size = media_size;
	s.providers.push_back(p);

	struct devstat rec;
	memset(&rec, 0, sizeof rec);
	rec.allocated = 1;
	rec.device_number = static_cast<u_int32_t>(p.slot);
	snprintf(rec.device_name, sizeof rec.device_name, "%s", name);
	rec.unit_number = -1;
	rec.block_size = sector_size;
	rec.creation_time = bintime_now(CLOCK_REALTIME);
	rec.flags = DEVSTAT_ALL_SUPPORTED;
	rec.device_type = DEVSTAT_TYPE_DIRECT;
	rec.priority = DEVSTAT_PRIORITY_MAX;
	rec.id = p.id;
	s.slots.push_back(rec);
}

void
bintime_add(struct bintime *to, const struct bintime &step)
{
	uint64_t frac = to->frac + step.frac;
	to->sec += step.sec + (frac < to->frac ? 1 : 0);
	to->frac = frac;
}

void
write_stats(struct devstat *rec, const sim_disk_stats &st)
{
	rec->sequence0++;
	rec->bytes[DEVSTAT_READ] = st.bytes_read;
	rec->bytes[DEVSTAT_WRITE] = st.bytes_written;
	rec->operations[DEVSTAT_READ] = st.reads;
	rec->operations[DEVSTAT_WRITE] = st.writes;
	rec->duration[DEVSTAT_READ] = st.read_time;
	rec->duration[DEVSTAT_WRITE] = st.write_time;
	rec->sequence1++;
}

sim_disk_stats
read_stats(const struct devstat &rec)
{
	sim_disk_stats st{};
	st.bytes_read = rec.bytes[DEVSTAT_READ];
	st.bytes_written = rec.bytes[DEVSTAT_WRITE];
	st.reads = rec.operations[DEVSTAT_READ];
	st.writes = rec.operations[DEVSTAT_WRITE];
	st.read_time = rec.duration[DEVSTAT_READ];
	st.write_time = rec.duration[DEVSTAT_WRITE];
	return st;
}

char *
dup(const std::string &text)
{
	return strdup(text.c_str());
}

}  // namespace

// --- The machine's part ------------------------------------------------------

// Empties the graph and the statistics device and lifts every failure.
void
sim_geom_reset(void)
{
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	s.classes.clear();
	s.geoms.clear();
	s.providers.clear();
	s.consumers.clear();
	s.slots.clear();
	s.tree_err = 0;
	s.open_err = 0;
	s.snapshot_failures = 0;
}

// --- Test control ------------------------------------------------------------

void
sim_geom_add_provider(const char *class_name, const char *geom_name,
    unsigned rank, const char *name)
{
	if (class_name == nullptr || geom_name == nullptr || name == nullptr)
		return;
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	bool created;
	size_t g = find_geom(s, find_class(s, class_name), geom_name, rank,
	    &created);
	add_provider(s, g, name, 512, 0);
}

void
sim_geom_add_disk(const char *name, uint32_t sector_size, int64_t media_size)
{
	if (name == nullptr)
		return;
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	bool created;
	size_t g = find_geom(s, find_class(s, "DISK"), name, 1, &created);
	add_provider(s, g, name, sector_size, media_size);
}

void
sim_geom_add_partition(const char *disk, const char *name)
{
	if (name == nullptr)
		return;
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	sim_provider *d = find_provider(s, disk);
	if (d == nullptr)
		return;
	size_t disk_index = static_cast<size_t>(d - s.providers.data());
	unsigned rank = s.geoms[d->geom].rank + 1;
	u_int sector_size = d->sector_size;
	bool created;
	size_t g = find_geom(s, find_class(s, "PART"), disk, rank, &created);
	if (created)
		s.consumers.push_back({g, disk_index, new_id(s)});
	add_provider(s, g, name, sector_size, 0);
}

bool
sim_geom_set_stats(const char *name, const struct sim_disk_stats *st)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	sim_provider *p = find_provider(s, name);
	if (p == nullptr || st == nullptr)
		return false;
	write_stats(&s.slots[p->slot], *st);
	return true;
}

bool
sim_geom_get_stats(const char *name, struct sim_disk_stats *st)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	sim_provider *p = find_provider(s, name);
	if (p == nullptr || st == nullptr)
		return false;
	*st = read_stats(s.slots[p->slot]);
	return true;
}

bool
sim_geom_set_growth(const char *name, const struct sim_disk_stats *step)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	sim_provider *p = find_provider(s, name);
	if (p == nullptr || step == nullptr)
		return false;
	p->growth = *step;
	return true;
}

void
sim_geom_tree_fail(int err)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	s.tree_err = err;
}

void
sim_geom_stats_open_fail(int err)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	s.open_err = err;
}

void
sim_geom_snapshot_fail(unsigned count)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	s.snapshot_failures = count;
}

unsigned
sim_geom_snapshots_taken(void)
{
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	return s.taken;
}

unsigned
sim_geom_snapshots_live(void)
{
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	return s.live;
}

unsigned
sim_geom_records_per_page(void)
{
	return static_cast<unsigned>(records_per_page);
}

struct bintime
sim_bintime_ns(uint64_t ns)
{
	struct bintime bt;
	bt.sec = static_cast<time_t>(ns / 1000000000);
	// frac = rest * 2^64 / 10^9, exactly rounded down.
	unsigned __int128 rest = ns % 1000000000;
	bt.frac = static_cast<uint64_t>((rest << 64) / 1000000000);
	return bt;
}

struct bintime
sim_bintime(time_t sec, long double fraction)
{
	struct bintime bt;
	bt.sec = sec;
	bt.frac = fraction <= 0 ? 0 : static_cast<uint64_t>(fraction * 0x1p64L);
	return bt;
}

// --- libgeom: the tree -------------------------------------------------------

extern "C" int
geom_gettree(struct gmesh *gmp)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	memset(gmp, 0, sizeof *gmp);
	LIST_INIT(&gmp->lg_class);
	if (s.tree_err != 0)
		return s.tree_err;

	size_t n = s.classes.size() + s.geoms.size() + s.providers.size() +
	    s.consumers.size();
	struct gident *ident = static_cast<struct gident *>(
	    calloc(n + 1, sizeof *ident));
	std::vector<struct gclass *> cls(s.classes.size());
	std::vector<struct ggeom *> geo(s.geoms.size());
	std::vector<struct gprovider *> prov(s.providers.size());
	size_t k = 0;

	for (size_t i = 0; i < s.classes.size(); i++) {
		struct gclass *c = static_cast<struct gclass *>(
		    calloc(1, sizeof *c));
		c->lg_id = s.classes[i].id;
		c->lg_name = dup(s.classes[i].name);
		LIST_INIT(&c->lg_geom);
		LIST_INIT(&c->lg_config);
		cls[i] = c;
		ident[k++] = {c->lg_id, c, gident::ISCLASS};
	}
	for (size_t i = 0; i < s.geoms.size(); i++) {
		struct ggeom *g = static_cast<struct ggeom *>(
		    calloc(1, sizeof *g));
		g->lg_id = s.geoms[i].id;
		g->lg_class = cls[s.geoms[i].cls];
		g->lg_name = dup(s.geoms[i].name);
		g->lg_rank = s.geoms[i].rank;
		LIST_INIT(&g->lg_consumer);
		LIST_INIT(&g->lg_provider);
		LIST_INIT(&g->lg_config);
		geo[i] = g;
		ident[k++] = {g->lg_id, g, gident::ISGEOM};
	}
	for (size_t i = 0; i < s.providers.size(); i++) {
		struct gprovider *p = static_cast<struct gprovider *>(
		    calloc(1, sizeof *p));
		p->lg_id = s.providers[i].id;
		p->lg_name = dup(s.providers[i].name);
		p->lg_geom = geo[s.providers[i].geom];
		LIST_INIT(&p->lg_consumers);
		p->lg_mode = dup("r0w0e0");
		p->lg_mediasize = s.providers[i].media_size;
		p->lg_sectorsize = s.providers[i].sector_size;
		LIST_INIT(&p->lg_config);
		prov[i] = p;
		ident[k++] = {p->lg_id, p, gident::ISPROVIDER};
	}
	for (const sim_consumer &sc : s.consumers) {
		struct gconsumer *c = static_cast<struct gconsumer *>(
		    calloc(1, sizeof *c));
		c->lg_id = sc.id;
		c->lg_geom = geo[sc.geom];
		c->lg_provider = prov[sc.provider];
		c->lg_mode = dup("r0w0e0");
		LIST_INIT(&c->lg_config);
		ident[k++] = {c->lg_id, c, gident::ISCONSUMER};
	}
	// Lists in the order of creation: insert at the head, last first.
	for (size_t i = s.consumers.size(); i-- > 0;) {
		struct gconsumer *c = static_cast<struct gconsumer *>(
		    ident[k - s.consumers.size() + i].lg_ptr);
		LIST_INSERT_HEAD(&c->lg_geom->lg_consumer, c, lg_consumer);
		LIST_INSERT_HEAD(&c->lg_provider->lg_consumers, c,
		    lg_consumers);
	}
	for (size_t i = prov.size(); i-- > 0;)
		LIST_INSERT_HEAD(&prov[i]->lg_geom->lg_provider, prov[i],
		    lg_provider);
	for (size_t i = geo.size(); i-- > 0;)
		LIST_INSERT_HEAD(&geo[i]->lg_class->lg_geom, geo[i], lg_geom);
	for (size_t i = cls.size(); i-- > 0;)
		LIST_INSERT_HEAD(&gmp->lg_class, cls[i], lg_class);
	gmp->lg_ident = ident;
	return 0;
}

extern "C" void
geom_deletetree(struct gmesh *gmp)
{
	struct gclass *c;
	while ((c = LIST_FIRST(&gmp->lg_class)) != nullptr) {
		struct ggeom *g;
		while ((g = LIST_FIRST(&c->lg_geom)) != nullptr) {
			struct gprovider *p;
			struct gconsumer *k;
			while ((p = LIST_FIRST(&g->lg_provider)) != nullptr) {
				LIST_REMOVE(p, lg_provider);
				free(p->lg_name);
				free(p->lg_mode);
				free(p);
			}
			while ((k = LIST_FIRST(&g->lg_consumer)) != nullptr) {
				LIST_REMOVE(k, lg_consumer);
				free(k->lg_mode);
				free(k);
			}
			LIST_REMOVE(g, lg_geom);
			free(g->lg_name);
			free(g);
		}
		LIST_REMOVE(c, lg_class);
		free(c->lg_name);
		free(c);
	}
	free(gmp->lg_ident);
	gmp->lg_ident = nullptr;
}

extern "C" struct gident *
geom_lookupid(struct gmesh *gmp, const void *id)
{
	// FreeBSD's search walks lg_ident without a check; a tree that was
	// never read crashes it.  Say so instead of crashing obscurely.
	if (gmp->lg_ident == nullptr) {
		fprintf(stderr, "geom_lookupid: the tree was never read "
		    "(geom_gettree failed or was not called)\n");
		abort();
	}
	for (struct gident *gi = gmp->lg_ident; gi->lg_id != nullptr; gi++)
		if (gi->lg_id == id)
			return gi;
	return nullptr;
}

// --- libgeom: statistics -----------------------------------------------------

extern "C" int
geom_stats_open(void)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	if (s.opened)
		return EBUSY;
	if (s.open_err != 0)
		return s.open_err;
	s.opened = true;
	return 0;
}

extern "C" void
geom_stats_close(void)
{
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	s.opened = false;
}

extern "C" void
geom_stats_resync(void)
{
}

extern "C" void *
geom_stats_snapshot_get(void)
{
	ensure_machine();
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	if (s.snapshot_failures > 0) {
		s.snapshot_failures--;
		return nullptr;
	}
	for (const sim_provider &p : s.providers) {
		struct devstat *rec = &s.slots[p.slot];
		sim_disk_stats st = read_stats(*rec);
		st.bytes_read += p.growth.bytes_read;
		st.bytes_written += p.growth.bytes_written;
		st.reads += p.growth.reads;
		st.writes += p.growth.writes;
		bintime_add(&st.read_time, p.growth.read_time);
		bintime_add(&st.write_time, p.growth.write_time);
		write_stats(rec, st);
	}

	sim_snapshot *snap = new sim_snapshot{};
	// A device that was never opened maps no page: an empty snapshot.
	if (s.opened) {
		size_t pages = (s.slots.size() + records_per_page) /
		    records_per_page;
		snap->count = pages * records_per_page - 1;
		snap->records = static_cast<struct devstat *>(
		    calloc(snap->count, sizeof(struct devstat)));
		memcpy(snap->records, s.slots.data(),
		    s.slots.size() * sizeof(struct devstat));
	}
	clock_gettime(CLOCK_REALTIME, &snap->taken);
	s.taken++;
	s.live++;
	return snap;
}

extern "C" void
geom_stats_snapshot_free(void *arg)
{
	sim_snapshot *snap = static_cast<sim_snapshot *>(arg);
	if (snap == nullptr)
		return;
	free(snap->records);
	delete snap;
	geom_state &s = gs();
	std::lock_guard<std::mutex> lock(s.mu);
	s.live--;
}

extern "C" void
geom_stats_snapshot_timestamp(void *arg, struct timespec *tp)
{
	*tp = static_cast<sim_snapshot *>(arg)->taken;
}

extern "C" void
geom_stats_snapshot_reset(void *arg)
{
	static_cast<sim_snapshot *>(arg)->next = 0;
}

extern "C" struct devstat *
geom_stats_snapshot_next(void *arg)
{
	sim_snapshot *snap = static_cast<sim_snapshot *>(arg);
	if (snap->next >= snap->count)
		return nullptr;
	return &snap->records[snap->next++];
}
