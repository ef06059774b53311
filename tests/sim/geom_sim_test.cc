// The simulated GEOM tree, statistics device and libdevstat: FreeBSD's
// layouts, and the behaviour the disk statistics rely on.
#include <devstat.h>
#include <errno.h>
#include <libgeom.h>
#include <stddef.h>
#include <string.h>
#include <sys/devicestat.h>
#include <time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/kernel.h"
#include "sim/sysstats.h"

// Layouts of FreeBSD amd64.
static_assert(sizeof(struct bintime) == 16);
static_assert(sizeof(struct devstat) == 288);
static_assert(offsetof(struct devstat, sequence0) == 0);
static_assert(offsetof(struct devstat, allocated) == 4);
static_assert(offsetof(struct devstat, start_count) == 8);
static_assert(offsetof(struct devstat, end_count) == 12);
static_assert(offsetof(struct devstat, busy_from) == 16);
static_assert(offsetof(struct devstat, dev_links) == 32);
static_assert(offsetof(struct devstat, device_number) == 40);
static_assert(offsetof(struct devstat, device_name) == 44);
static_assert(offsetof(struct devstat, unit_number) == 60);
static_assert(offsetof(struct devstat, bytes) == 64);
static_assert(offsetof(struct devstat, operations) == 96);
static_assert(offsetof(struct devstat, duration) == 128);
static_assert(offsetof(struct devstat, busy_time) == 192);
static_assert(offsetof(struct devstat, creation_time) == 208);
static_assert(offsetof(struct devstat, block_size) == 224);
static_assert(offsetof(struct devstat, tag_types) == 232);
static_assert(offsetof(struct devstat, flags) == 256);
static_assert(offsetof(struct devstat, device_type) == 260);
static_assert(offsetof(struct devstat, priority) == 264);
static_assert(offsetof(struct devstat, id) == 272);
static_assert(offsetof(struct devstat, sequence1) == 280);
static_assert(DEVSTAT_NAME_LEN == 16 && DEVSTAT_VERSION == 6);
static_assert(DEVSTAT_READ == 1 && DEVSTAT_WRITE == 2 && DEVSTAT_FREE == 3);

static_assert(sizeof(struct gident) == 24);
static_assert(offsetof(struct gident, lg_ptr) == 8);
static_assert(offsetof(struct gident, lg_what) == 16);
static_assert(gident::ISCLASS == 0 && gident::ISGEOM == 1 &&
    gident::ISPROVIDER == 2 && gident::ISCONSUMER == 3);
static_assert(sizeof(struct gmesh) == 16);
static_assert(offsetof(struct gmesh, lg_ident) == 8);
static_assert(sizeof(struct ggeom) == 72);
static_assert(offsetof(struct ggeom, lg_class) == 8);
static_assert(offsetof(struct ggeom, lg_name) == 16);
static_assert(offsetof(struct ggeom, lg_rank) == 24);
static_assert(offsetof(struct ggeom, lg_geom) == 32);
static_assert(offsetof(struct ggeom, lg_consumer) == 48);
static_assert(offsetof(struct ggeom, lg_provider) == 56);
static_assert(offsetof(struct ggeom, lg_config) == 64);
static_assert(sizeof(struct gprovider) == 96);
static_assert(offsetof(struct gprovider, lg_name) == 8);
static_assert(offsetof(struct gprovider, lg_geom) == 16);
static_assert(offsetof(struct gprovider, lg_provider) == 24);
static_assert(offsetof(struct gprovider, lg_consumers) == 40);
static_assert(offsetof(struct gprovider, lg_mode) == 48);
static_assert(offsetof(struct gprovider, lg_mediasize) == 56);
static_assert(offsetof(struct gprovider, lg_sectorsize) == 64);
static_assert(offsetof(struct gprovider, lg_stripeoffset) == 72);
static_assert(offsetof(struct gprovider, lg_stripesize) == 80);
static_assert(offsetof(struct gprovider, lg_config) == 88);

// Metric numbers: the full order is fixed by the library's ABI.
static_assert(DSM_NONE == 0 && DSM_TOTAL_BYTES_READ == 2 &&
    DSM_TOTAL_BYTES_WRITE == 3 && DSM_TOTAL_TRANSFERS_READ == 5 &&
    DSM_TOTAL_BLOCKS_READ == 9 && DSM_TOTAL_BLOCKS_WRITE == 10 &&
    DSM_MS_PER_TRANSACTION_WRITE == 26 && DSM_SKIP == 27 &&
    DSM_TOTAL_BYTES_FREE == 28 && DSM_BUSY_PCT == 37 &&
    DSM_QUEUE_LENGTH == 38 && DSM_TOTAL_DURATION == 39 &&
    DSM_TOTAL_DURATION_READ == 40 && DSM_TOTAL_DURATION_WRITE == 41 &&
    DSM_TOTAL_DURATION_OTHER == 43 && DSM_TOTAL_BUSY_TIME == 44 &&
    DSM_MAX == 45);

namespace {

// The records of a snapshot, in order.
std::vector<struct devstat *>
records(void *snap)
{
	std::vector<struct devstat *> out;
	geom_stats_snapshot_reset(snap);
	while (struct devstat *rec = geom_stats_snapshot_next(snap))
		out.push_back(rec);
	return out;
}

struct gprovider *
provider_of(struct gmesh *mesh, const struct devstat *rec)
{
	struct gident *gid = geom_lookupid(mesh, rec->id);
	if (gid == nullptr || gid->lg_what != gident::ISPROVIDER)
		return nullptr;
	return static_cast<struct gprovider *>(gid->lg_ptr);
}

}  // namespace

TEST(GeomSim, DefaultTreeHasTheDiskAndItsPartitionsAboveIt)
{
	struct gmesh mesh;
	ASSERT_EQ(geom_gettree(&mesh), 0);

	std::vector<std::string> seen;
	struct gclass *cls;
	LIST_FOREACH(cls, &mesh.lg_class, lg_class) {
		struct ggeom *gp;
		LIST_FOREACH(gp, &cls->lg_geom, lg_geom) {
			EXPECT_EQ(gp->lg_class, cls);
			struct gprovider *pp;
			LIST_FOREACH(pp, &gp->lg_provider, lg_provider) {
				EXPECT_EQ(pp->lg_geom, gp);
				seen.push_back(std::string(cls->lg_name) + "/" +
				    gp->lg_name + ":" + std::to_string(gp->lg_rank) +
				    "/" + pp->lg_name);
			}
			struct gconsumer *cp;
			LIST_FOREACH(cp, &gp->lg_consumer, lg_consumer)
				seen.push_back(std::string("consumer of ") +
				    cp->lg_provider->lg_name);
		}
	}
	EXPECT_EQ(seen, (std::vector<std::string>{"DISK/ada0:1/ada0",
	    "PART/ada0:2/ada0p1", "PART/ada0:2/ada0p2", "consumer of ada0"}));

	// Every element is in the identity table, under its kind.
	int kinds[4] = {};
	for (struct gident *gi = mesh.lg_ident; gi->lg_id != nullptr; gi++) {
		EXPECT_EQ(geom_lookupid(&mesh, gi->lg_id), gi);
		kinds[gi->lg_what]++;
	}
	EXPECT_EQ(kinds[gident::ISCLASS], 2);
	EXPECT_EQ(kinds[gident::ISGEOM], 2);
	EXPECT_EQ(kinds[gident::ISPROVIDER], 3);
	EXPECT_EQ(kinds[gident::ISCONSUMER], 1);
	int unknown;
	EXPECT_EQ(geom_lookupid(&mesh, &unknown), nullptr);
	geom_deletetree(&mesh);
}

TEST(GeomSim, SnapshotHoldsAPageOfRecordsNamedByProvider)
{
	struct gmesh mesh;
	ASSERT_EQ(geom_gettree(&mesh), 0);
	ASSERT_EQ(geom_stats_open(), 0);
	EXPECT_EQ(geom_stats_open(), EBUSY);

	struct timespec before, after, taken;
	clock_gettime(CLOCK_REALTIME, &before);
	void *snap = geom_stats_snapshot_get();
	clock_gettime(CLOCK_REALTIME, &after);
	ASSERT_NE(snap, nullptr);
	geom_stats_snapshot_timestamp(snap, &taken);
	auto ns = [](const struct timespec &t) {
		return t.tv_sec * 1000000000LL + t.tv_nsec;
	};
	EXPECT_LE(ns(before), ns(taken));
	EXPECT_LE(ns(taken), ns(after));

	// One page, its very last slot never returned; unused slots have no id.
	std::vector<struct devstat *> recs = records(snap);
	ASSERT_EQ(recs.size(), sim_geom_records_per_page() - 1);
	std::vector<std::string> names;
	for (struct devstat *rec : recs) {
		if (rec->id == nullptr)
			continue;
		struct gprovider *pp = provider_of(&mesh, rec);
		ASSERT_NE(pp, nullptr);
		names.push_back(pp->lg_name);
		EXPECT_EQ(rec->block_size, 512u);
	}
	EXPECT_EQ(names, (std::vector<std::string>{"ada0", "ada0p1", "ada0p2"}));
	// The walk starts over after a reset.
	EXPECT_EQ(records(snap), recs);

	EXPECT_EQ(sim_geom_snapshots_live(), 1u);
	geom_stats_snapshot_free(snap);
	EXPECT_EQ(sim_geom_snapshots_live(), 0u);
	geom_deletetree(&mesh);
}

TEST(GeomSim, CountersGrowAtEverySnapshot)
{
	ASSERT_EQ(geom_stats_open(), 0);
	void *a = geom_stats_snapshot_get();
	void *b = geom_stats_snapshot_get();
	struct devstat *ra = records(a)[0], *rb = records(b)[0];
	EXPECT_GT(rb->bytes[DEVSTAT_READ], ra->bytes[DEVSTAT_READ]);
	EXPECT_GT(rb->bytes[DEVSTAT_WRITE], ra->bytes[DEVSTAT_WRITE]);
	EXPECT_GT(devstat_compute_etime(&rb->duration[DEVSTAT_READ],
	    &ra->duration[DEVSTAT_READ]), 0);
	EXPECT_EQ(rb->sequence0, rb->sequence1);
	geom_stats_snapshot_free(a);
	geom_stats_snapshot_free(b);
}

TEST(GeomSim, RecordsOutgrowingAPageTakeAnotherPage)
{
	sim_kernel_clear();
	ASSERT_EQ(geom_stats_open(), 0);
	unsigned per_page = sim_geom_records_per_page();
	for (unsigned i = 0; i < per_page; i++)
		sim_geom_add_disk(("da" + std::to_string(i)).c_str(), 512, 0);
	void *snap = geom_stats_snapshot_get();
	std::vector<struct devstat *> recs = records(snap);
	ASSERT_EQ(recs.size(), 2 * per_page - 1);
	EXPECT_NE(recs[per_page - 1]->id, nullptr);
	EXPECT_EQ(recs[per_page]->id, nullptr);
	geom_stats_snapshot_free(snap);
}

TEST(GeomSim, FailuresAsTheLibraryReportsThem)
{
	struct gmesh mesh;
	sim_geom_tree_fail(EILSEQ);
	EXPECT_EQ(geom_gettree(&mesh), EILSEQ);
	EXPECT_EQ(mesh.lg_ident, nullptr);
	EXPECT_DEATH(geom_lookupid(&mesh, &mesh), "never read");

	// Not open: the device maps no page, so snapshots are empty.
	sim_geom_stats_open_fail(ENOENT);
	EXPECT_EQ(geom_stats_open(), ENOENT);
	void *snap = geom_stats_snapshot_get();
	ASSERT_NE(snap, nullptr);
	EXPECT_TRUE(records(snap).empty());
	geom_stats_snapshot_free(snap);

	sim_geom_snapshot_fail(2);
	EXPECT_EQ(geom_stats_snapshot_get(), nullptr);
	EXPECT_EQ(geom_stats_snapshot_get(), nullptr);
	snap = geom_stats_snapshot_get();
	EXPECT_NE(snap, nullptr);
	geom_stats_snapshot_free(snap);
}

TEST(DevstatSim, TotalsWithAndWithoutAPreviousRecord)
{
	struct devstat cur, prev;
	memset(&cur, 0, sizeof cur);
	cur.block_size = 4096;
	cur.bytes[DEVSTAT_READ] = 40960 + 100;	// partial block dropped
	cur.bytes[DEVSTAT_WRITE] = 8192;
	cur.operations[DEVSTAT_READ] = 7;
	cur.duration[DEVSTAT_READ] = sim_bintime(1, 0.9999L);
	cur.duration[DEVSTAT_WRITE] = sim_bintime_ns(2500000000ULL);
	prev = cur;
	prev.bytes[DEVSTAT_READ] = 4096;
	prev.operations[DEVSTAT_READ] = 3;
	prev.duration[DEVSTAT_READ] = sim_bintime_ns(500000000ULL);

	uint64_t rblocks = 0, wblocks = 0, rops = 0, skipped = 77;
	long double rtime = 0, wtime = 0;
	ASSERT_EQ(devstat_compute_statistics(&cur, nullptr, 0.1L,
	    DSM_TOTAL_BLOCKS_READ, &rblocks, DSM_TOTAL_DURATION_READ, &rtime,
	    DSM_SKIP, &skipped, DSM_TOTAL_BLOCKS_WRITE, &wblocks,
	    DSM_TOTAL_DURATION_WRITE, &wtime, DSM_TOTAL_TRANSFERS_READ, &rops,
	    DSM_NONE), 0);
	EXPECT_EQ(rblocks, 10u);
	EXPECT_EQ(wblocks, 2u);
	EXPECT_EQ(rops, 7u);
	EXPECT_EQ(skipped, 77u);
	EXPECT_NEAR((double)rtime, 1.9999, 1e-12);
	EXPECT_EQ((uint64_t)(rtime * 1000), 1999u);
	EXPECT_NEAR((double)wtime, 2.5, 1e-12);

	long double tps = 0;
	ASSERT_EQ(devstat_compute_statistics(&cur, &prev, 2.0L,
	    DSM_TOTAL_BLOCKS_READ, &rblocks, DSM_TOTAL_DURATION_READ, &rtime,
	    DSM_TRANSFERS_PER_SECOND_READ, &tps, DSM_NONE), 0);
	EXPECT_EQ(rblocks, 9u);
	EXPECT_NEAR((double)rtime, 1.4999, 1e-12);
	EXPECT_NEAR((double)tps, 2.0, 1e-12);

	// No block size: 512-byte blocks.
	cur.block_size = 0;
	ASSERT_EQ(devstat_compute_statistics(&cur, nullptr, 0,
	    DSM_TOTAL_BLOCKS_WRITE, &wblocks, DSM_NONE), 0);
	EXPECT_EQ(wblocks, 16u);
}

TEST(DevstatSim, ErrorsGoToTheErrorBuffer)
{
	struct devstat cur;
	memset(&cur, 0, sizeof cur);
	uint64_t v;
	devstat_errbuf[0] = '\0';
	EXPECT_EQ(devstat_compute_statistics(nullptr, nullptr, 0,
	    DSM_TOTAL_BLOCKS_READ, &v, DSM_NONE), -1);
	EXPECT_NE(strlen(devstat_errbuf), 0u);
	devstat_errbuf[0] = '\0';
	EXPECT_EQ(devstat_compute_statistics(&cur, nullptr, 0, DSM_MAX, &v,
	    DSM_NONE), -1);
	EXPECT_NE(strlen(devstat_errbuf), 0u);
}
