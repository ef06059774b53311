// The simulated sysctl core: FreeBSD's semantics, test control, default CPUs.
#include <errno.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/kernel.h"

namespace {

long long
mono_ns()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

std::vector<long>
read_longs(const char *name)
{
  std::vector<long> v(5 * 256, -1);
  size_t len = v.size() * sizeof(long);
  EXPECT_EQ(sysctlbyname(name, v.data(), &len, nullptr, 0), 0) << name;
  v.resize(len / sizeof(long));
  return v;
}

class SimSysctl : public ::testing::Test {
 protected:
  void SetUp() override { sim_kernel_reset(); }
  void TearDown() override { sim_kernel_reset(); }
};

// Runs first in its own process (ctest runs one test per process): the
// default machine must not wipe a node set before any other call.
TEST(SimSysctlLazy, FirstSetIsNotWipedByDefaultMachine)
{
  sim_sysctl_set_int("test.first", 7);
  int v = 0;
  size_t len = sizeof v;
  ASSERT_EQ(sysctlbyname("test.first", &v, &len, nullptr, 0), 0);
  EXPECT_EQ(v, 7);
  len = sizeof v;
  ASSERT_EQ(sysctlbyname("kern.smp.maxcpus", &v, &len, nullptr, 0), 0);
  EXPECT_EQ(v, 256);
}

TEST_F(SimSysctl, SizeQueryAndFullRead)
{
  sim_sysctl_set_string("test.text", "abc");
  size_t len = 0;
  ASSERT_EQ(sysctlbyname("test.text", nullptr, &len, nullptr, 0), 0);
  EXPECT_EQ(len, 4u);  // the text and its NUL
  char buf[16];
  memset(buf, 'x', sizeof buf);
  len = sizeof buf;
  ASSERT_EQ(sysctlbyname("test.text", buf, &len, nullptr, 0), 0);
  EXPECT_EQ(len, 4u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], 'x');
}

TEST_F(SimSysctl, ShortBufferCopiesWhatFitsWithEnomem)
{
  const unsigned char blob[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  sim_sysctl_set("test.blob", blob, sizeof blob);
  unsigned char buf[8];
  memset(buf, 0xee, sizeof buf);
  size_t len = 4;
  errno = 0;
  EXPECT_EQ(sysctlbyname("test.blob", buf, &len, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(memcmp(buf, blob, 4), 0);
  EXPECT_EQ(buf[4], 0xee);
}

TEST_F(SimSysctl, ValueSetters)
{
  sim_sysctl_set_u64("test.u64", 0x1122334455667788ULL);
  const long longs[3] = {-1, 0, 1L << 40};
  sim_sysctl_set_longs("test.longs", longs, 3);
  uint64_t u = 0;
  size_t len = sizeof u;
  ASSERT_EQ(sysctlbyname("test.u64", &u, &len, nullptr, 0), 0);
  EXPECT_EQ(u, 0x1122334455667788ULL);
  EXPECT_EQ(read_longs("test.longs"), std::vector<long>(longs, longs + 3));
  sim_sysctl_set("test.empty", nullptr, 0);
  len = 99;
  EXPECT_EQ(sysctlbyname("test.empty", nullptr, &len, nullptr, 0), 0);
  EXPECT_EQ(len, 0u);
}

// Failing calls: each gives -1 and its errno.
TEST_F(SimSysctl, ErrorsTable)
{
  int mib[CTL_MAXNAME + 1];
  size_t n = CTL_MAXNAME + 1;
  ASSERT_EQ(sysctlnametomib("kern.smp.maxcpus", mib, &n), 0);
  const int unknown_mib[2] = {CTL_KERN, 0x7fff};
  int past_leaf[4] = {mib[0], mib[1], mib[2], 1};
  int one = 1;
  int v;
  struct Case {
    const char *what;
    int (*call)(const int *mib, const int *unknown, const int *past, int *v,
                const int *one);
    int err;
  };
  const Case cases[] = {
      {"unknown name",
       [](const int *, const int *, const int *, int *v, const int *) {
         size_t len = sizeof *v;
         return sysctlbyname("no.such.node", v, &len, nullptr, 0);
       },
       ENOENT},
      {"unknown name, size query",
       [](const int *, const int *, const int *, int *, const int *) {
         size_t len = 0;
         return sysctlbyname("kern.no_such", nullptr, &len, nullptr, 0);
       },
       ENOENT},
      {"intermediate name as terminal",
       [](const int *, const int *, const int *, int *v, const int *) {
         size_t len = sizeof *v;
         return sysctlbyname("kern.smp", v, &len, nullptr, 0);
       },
       ENOTDIR},
      {"name below a terminal",
       [](const int *, const int *, const int *, int *v, const int *) {
         size_t len = sizeof *v;
         return sysctlbyname("hw.ncpu.x", v, &len, nullptr, 0);
       },
       EISDIR},
      {"write by name",
       [](const int *, const int *, const int *, int *, const int *one) {
         return sysctlbyname("hw.ncpu", nullptr, nullptr, one, sizeof *one);
       },
       EPERM},
      {"write by MIB",
       [](const int *mib, const int *, const int *, int *, const int *one) {
         return sysctl(mib, 3, nullptr, nullptr, one, sizeof *one);
       },
       EPERM},
      {"namelen 1",
       [](const int *mib, const int *, const int *, int *v, const int *) {
         size_t len = sizeof *v;
         return sysctl(mib, 1, v, &len, nullptr, 0);
       },
       EINVAL},
      {"namelen 0",
       [](const int *mib, const int *, const int *, int *v, const int *) {
         size_t len = sizeof *v;
         return sysctl(mib, 0, v, &len, nullptr, 0);
       },
       EINVAL},
      {"namelen CTL_MAXNAME + 1",
       [](const int *mib, const int *, const int *, int *v, const int *) {
         size_t len = sizeof *v;
         return sysctl(mib, CTL_MAXNAME + 1, v, &len, nullptr, 0);
       },
       EINVAL},
      {"unknown MIB",
       [](const int *, const int *unknown, const int *, int *v,
          const int *) {
         size_t len = sizeof *v;
         return sysctl(unknown, 2, v, &len, nullptr, 0);
       },
       ENOENT},
      {"intermediate MIB as terminal",
       [](const int *mib, const int *, const int *, int *v, const int *) {
         size_t len = sizeof *v;
         return sysctl(mib, 2, v, &len, nullptr, 0);
       },
       ENOTDIR},
      {"MIB below a terminal",
       [](const int *, const int *, const int *past, int *v, const int *) {
         size_t len = sizeof *v;
         return sysctl(past, 4, v, &len, nullptr, 0);
       },
       EISDIR},
      {"nametomib of unknown name",
       [](const int *, const int *, const int *, int *, const int *) {
         int m[4];
         size_t n = 4;
         return sysctlnametomib("no.such.node", m, &n);
       },
       ENOENT},
  };
  for (const Case &c : cases) {
    errno = 0;
    EXPECT_EQ(c.call(mib, unknown_mib, past_leaf, &v, &one), -1) << c.what;
    EXPECT_EQ(errno, c.err) << c.what;
  }
}

TEST_F(SimSysctl, NameToMibRoundTrip)
{
  for (const char *name : {"kern.smp.maxcpus", "hw.ncpu", "kern.cp_times"}) {
    int mib[CTL_MAXNAME];
    size_t n = CTL_MAXNAME;
    ASSERT_EQ(sysctlnametomib(name, mib, &n), 0) << name;
    EXPECT_EQ(n, static_cast<size_t>(std::count(name, name + strlen(name),
                                                '.') + 1))
        << name;
    size_t by_name = 0, by_mib = 0;
    ASSERT_EQ(sysctlbyname(name, nullptr, &by_name, nullptr, 0), 0);
    ASSERT_EQ(sysctl(mib, n, nullptr, &by_mib, nullptr, 0), 0);
    EXPECT_EQ(by_mib, by_name) << name;
  }
  int mib[CTL_MAXNAME];
  size_t n = CTL_MAXNAME;
  ASSERT_EQ(sysctlnametomib("hw.ncpu", mib, &n), 0);
  EXPECT_EQ(mib[0], CTL_HW);
  int v = 0;
  size_t len = sizeof v;
  ASSERT_EQ(sysctl(mib, n, &v, &len, nullptr, 0), 0);
  EXPECT_EQ(v, 4);

  // A prefix has a MIB too (FreeBSD's "kern.proc.pid" use).
  n = CTL_MAXNAME;
  ASSERT_EQ(sysctlnametomib("kern.smp", mib, &n), 0);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(mib[0], CTL_KERN);
}

TEST_F(SimSysctl, NameToMibShortArrayIsEnomem)
{
  int mib[3] = {-1, -1, -1};
  size_t n = 2;
  errno = 0;
  EXPECT_EQ(sysctlnametomib("kern.smp.maxcpus", mib, &n), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(mib[0], CTL_KERN);
  EXPECT_EQ(mib[2], -1);
}

TEST_F(SimSysctl, MibSurvivesRemoveAndReAdd)
{
  sim_sysctl_set_int("test.node.value", 1);
  int mib[CTL_MAXNAME];
  size_t n = CTL_MAXNAME;
  ASSERT_EQ(sysctlnametomib("test.node.value", mib, &n), 0);
  sim_sysctl_remove("test.node.value");
  int v = 0;
  size_t len = sizeof v;
  errno = 0;
  EXPECT_EQ(sysctl(mib, n, &v, &len, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  size_t n2 = CTL_MAXNAME;
  errno = 0;
  EXPECT_EQ(sysctlnametomib("test.node.value", mib, &n2), -1);
  EXPECT_EQ(errno, ENOENT);

  sim_sysctl_set_int("test.node.value", 2);
  len = sizeof v;
  ASSERT_EQ(sysctl(mib, n, &v, &len, nullptr, 0), 0);
  EXPECT_EQ(v, 2);
  // A sibling gets a MIB of its own.
  sim_sysctl_set_int("test.node.other", 3);
  int mib2[CTL_MAXNAME];
  n2 = CTL_MAXNAME;
  ASSERT_EQ(sysctlnametomib("test.node.other", mib2, &n2), 0);
  EXPECT_EQ(n2, n);
  EXPECT_NE(mib2[n - 1], mib[n - 1]);
  len = sizeof v;
  ASSERT_EQ(sysctl(mib2, n2, &v, &len, nullptr, 0), 0);
  EXPECT_EQ(v, 3);
}

TEST_F(SimSysctl, InjectedFailures)
{
  int mib[CTL_MAXNAME];
  size_t n = CTL_MAXNAME;
  ASSERT_EQ(sysctlnametomib("kern.cp_times", mib, &n), 0);
  sim_sysctl_fail("kern.cp_times", EIO);
  sim_sysctl_fail("no.such.node", EBUSY);  // a failure needs no node
  long buf[20];
  size_t len;
  struct Case {
    const char *what;
    int rc;
    int err;
  };
  len = sizeof buf;
  errno = 0;
  Case read = {"read", sysctlbyname("kern.cp_times", buf, &len, nullptr, 0),
               errno};
  len = 0;
  errno = 0;
  Case size = {"size query",
               sysctlbyname("kern.cp_times", nullptr, &len, nullptr, 0), errno};
  len = sizeof buf;
  errno = 0;
  Case bymib = {"read by MIB", sysctl(mib, n, buf, &len, nullptr, 0), errno};
  size_t n2 = CTL_MAXNAME;
  errno = 0;
  Case tomib = {"nametomib", sysctlnametomib("kern.cp_times", mib, &n2),
                errno};
  for (const Case &c : {read, size, bymib, tomib}) {
    EXPECT_EQ(c.rc, -1) << c.what;
    EXPECT_EQ(c.err, EIO) << c.what;
  }
  int v;
  len = sizeof v;
  errno = 0;
  EXPECT_EQ(sysctlbyname("no.such.node", &v, &len, nullptr, 0), -1);
  EXPECT_EQ(errno, EBUSY);
  // Other nodes are untouched; 0 clears the failure.
  len = sizeof v;
  EXPECT_EQ(sysctlbyname("kern.smp.maxcpus", &v, &len, nullptr, 0), 0);
  sim_sysctl_fail("kern.cp_times", 0);
  len = sizeof buf;
  EXPECT_EQ(sysctlbyname("kern.cp_times", buf, &len, nullptr, 0), 0);
  // A reset clears failures.
  sim_sysctl_fail("hw.ncpu", EIO);
  sim_kernel_reset();
  len = sizeof v;
  EXPECT_EQ(sysctlbyname("hw.ncpu", &v, &len, nullptr, 0), 0);
}

TEST_F(SimSysctl, ReadCounters)
{
  EXPECT_EQ(sim_sysctl_reads("kern.cp_times"), 0u);
  long buf[20];
  size_t len = 0;
  sysctlbyname("kern.cp_times", nullptr, &len, nullptr, 0);  // size query
  len = sizeof buf;
  sysctlbyname("kern.cp_times", buf, &len, nullptr, 0);      // by name
  int mib[CTL_MAXNAME];
  size_t n = CTL_MAXNAME;
  sysctlnametomib("kern.cp_times", mib, &n);                 // not a read
  len = sizeof buf;
  sysctl(mib, n, buf, &len, nullptr, 0);                     // by MIB
  EXPECT_EQ(sim_sysctl_reads("kern.cp_times"), 3u);
  sim_sysctl_fail("kern.cp_times", EIO);
  len = sizeof buf;
  sysctlbyname("kern.cp_times", buf, &len, nullptr, 0);      // failed: counts
  EXPECT_EQ(sim_sysctl_reads("kern.cp_times"), 4u);
  EXPECT_EQ(sim_sysctl_reads("kern.cp_time"), 0u);
  sim_kernel_reset();
  EXPECT_EQ(sim_sysctl_reads("kern.cp_times"), 0u);
}

struct GenArg {
  std::atomic<int> calls{0};
};

void
counting_gen(std::string *out, void *arg)
{
  int call = ++static_cast<GenArg *>(arg)->calls;
  out->assign(reinterpret_cast<const char *>(&call), sizeof call);
}

TEST_F(SimSysctl, DynamicNodeIsComputedAtEveryRead)
{
  GenArg arg;
  sim_sysctl_set_dynamic("test.dyn", counting_gen, &arg);
  int v = 0;
  for (int i = 1; i <= 3; i++) {
    size_t len = sizeof v;
    ASSERT_EQ(sysctlbyname("test.dyn", &v, &len, nullptr, 0), 0);
    EXPECT_EQ(v, i);
  }
  sim_sysctl_remove("test.dyn");
}

TEST_F(SimSysctl, ClearEmptiesAndResetRestores)
{
  sim_sysctl_set_int("test.mine", 1);
  sim_kernel_clear();
  int v;
  for (const char *name : {"kern.smp.maxcpus", "kern.cp_times", "test.mine"}) {
    size_t len = sizeof v;
    errno = 0;
    EXPECT_EQ(sysctlbyname(name, &v, &len, nullptr, 0), -1) << name;
    EXPECT_EQ(errno, ENOENT) << name;
  }
  sim_kernel_reset();
  size_t len = sizeof v;
  EXPECT_EQ(sysctlbyname("kern.smp.maxcpus", &v, &len, nullptr, 0), 0);
  len = sizeof v;
  EXPECT_EQ(sysctlbyname("test.mine", &v, &len, nullptr, 0), -1);
}

TEST_F(SimSysctl, ConcurrentReadsAndChanges)
{
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; t++)
    readers.emplace_back([&] {
      long buf[20];
      while (!stop.load()) {
        size_t len = sizeof buf;
        int rc = sysctlbyname("kern.cp_times", buf, &len, nullptr, 0);
        ASSERT_TRUE(rc == 0 || errno == ENOENT || errno == EIO);
      }
    });
  for (int i = 0; i < 200; i++) {
    sim_sysctl_set_int("test.churn", i);
    sim_sysctl_fail("kern.cp_times", i % 2 ? EIO : 0);
    if (i % 50 == 0)
      sim_kernel_reset();
    sim_sysctl_remove("test.churn");
  }
  stop = true;
  for (std::thread &t : readers)
    t.join();
}

// --- The default machine -----------------------------------------------------

TEST_F(SimSysctl, DefaultCpuNodes)
{
  int v = 0;
  size_t len = sizeof v;
  ASSERT_EQ(sysctlbyname("kern.smp.maxcpus", &v, &len, nullptr, 0), 0);
  EXPECT_EQ(len, sizeof(int));
  EXPECT_EQ(v, 256);
  len = sizeof v;
  ASSERT_EQ(sysctlbyname("hw.ncpu", &v, &len, nullptr, 0), 0);
  EXPECT_EQ(v, 4);

  len = 0;
  ASSERT_EQ(sysctlbyname("kern.cp_times", nullptr, &len, nullptr, 0), 0);
  EXPECT_EQ(len, 160u);  // sizeof(long) * CPUSTATES * (mp_maxid + 1)
  // The daemon offers maxcpus * 40 bytes and gets the 4 present rows.
  std::vector<long> times = read_longs("kern.cp_times");
  ASSERT_EQ(times.size(), 20u);
  for (int cpu = 0; cpu < 4; cpu++) {
    long sum = 0;
    for (int s = 0; s < CPUSTATES; s++) {
      EXPECT_GE(times[cpu * CPUSTATES + s], 0);
      sum += times[cpu * CPUSTATES + s];
    }
    EXPECT_GT(sum, 0) << "cpu " << cpu;
    EXPECT_GT(times[cpu * CPUSTATES + CP_IDLE], times[cpu * CPUSTATES + CP_USER]);
  }
  // kern.cp_time, read later, is at least the sum of the rows.
  std::vector<long> total = read_longs("kern.cp_time");
  ASSERT_EQ(total.size(), static_cast<size_t>(CPUSTATES));
  for (int s = 0; s < CPUSTATES; s++) {
    long sum = 0;
    for (int cpu = 0; cpu < 4; cpu++)
      sum += times[cpu * CPUSTATES + s];
    EXPECT_GE(total[s], sum) << "slot " << s;
  }
}

TEST_F(SimSysctl, DefaultCpuTicksAdvanceAt128PerSecond)
{
  long long t0 = mono_ns();
  std::vector<long> a = read_longs("kern.cp_times");
  long long t1 = mono_ns();
  struct timespec pause = {0, 150 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  long long t2 = mono_ns();
  std::vector<long> b = read_longs("kern.cp_times");
  long long t3 = mono_ns();
  ASSERT_EQ(a.size(), 20u);
  ASSERT_EQ(b.size(), 20u);
  // Each slot is a floor of its share, so a CPU's total can lag by < 5.
  double least = (t2 - t1) * 128e-9 - CPUSTATES;
  double most = (t3 - t0) * 128e-9 + CPUSTATES;
  for (int cpu = 0; cpu < 4; cpu++) {
    long delta = 0;
    for (int s = 0; s < CPUSTATES; s++) {
      EXPECT_GE(b[cpu * CPUSTATES + s], a[cpu * CPUSTATES + s]);
      delta += b[cpu * CPUSTATES + s] - a[cpu * CPUSTATES + s];
    }
    EXPECT_GE(delta, least) << "cpu " << cpu;
    EXPECT_LE(delta, most) << "cpu " << cpu;
    EXPECT_GT(delta, 0) << "cpu " << cpu;
  }
}

}  // namespace
