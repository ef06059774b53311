// The simulated machine's CPU part: 4 CPUs (mp_maxid 3) in a kernel built
// for 256, with stat-clock tick counters that advance with real time.
#include <sys/resource.h>
#include <time.h>

#include <string>

#include "default_cpu.h"
#include "sim/kernel.h"

namespace {

constexpr int kMaxCpus = default_max_cpus;
constexpr int kCpus = default_cpus;
constexpr long kStatHz = 128;             // ticks per second per CPU
constexpr long long kBootNs = 600LL * 1000000000LL;  // up 10 minutes at first use

// Share of each CPU's ticks per slot, in thousandths, user nice sys intr idle.
constexpr int kShare[kCpus][CPUSTATES] = {
    {120, 10, 70, 15, 785},
    {90, 5, 50, 5, 850},
    {60, 2, 40, 3, 895},
    {30, 1, 25, 2, 942},
};

long long
now_ns()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Nanoseconds since the simulated boot: the boot offset plus the monotonic
// time since the first use of the CPU part.
long long
uptime_ns()
{
  static const long long first_use = now_ns();
  return kBootNs + (now_ns() - first_use);
}

// Counters at uptime `ns`: each is a floor of a growing product, so none
// ever goes down, and each is far from zero from the first read on.
void
fill_cp_times(long long ns, long out[kCpus][CPUSTATES])
{
  long ticks = static_cast<long>((static_cast<__int128>(ns) * kStatHz) /
                                 1000000000);
  for (int cpu = 0; cpu < kCpus; cpu++)
    for (int slot = 0; slot < CPUSTATES; slot++)
      out[cpu][slot] = ticks * kShare[cpu][slot] / 1000;
}

void
gen_cp_times(std::string *out, void *)
{
  long v[kCpus][CPUSTATES];
  fill_cp_times(uptime_ns(), v);
  out->assign(reinterpret_cast<const char *>(v), sizeof v);
}

void
gen_cp_time(std::string *out, void *)
{
  long v[kCpus][CPUSTATES];
  fill_cp_times(uptime_ns(), v);
  long sum[CPUSTATES] = {};
  for (int cpu = 0; cpu < kCpus; cpu++)
    for (int slot = 0; slot < CPUSTATES; slot++)
      sum[slot] += v[cpu][slot];
  out->assign(reinterpret_cast<const char *>(sum), sizeof sum);
}

}  // namespace

void
sim_default_cpu(void)
{
  (void)uptime_ns();  // the clock starts at the first installation
  sim_sysctl_set_int("kern.smp.maxcpus", kMaxCpus);
  sim_sysctl_set_int("kern.smp.cpus", kCpus);
  sim_sysctl_set_int("kern.smp.maxid", kCpus - 1);
  sim_sysctl_set_int("hw.ncpu", kCpus);
  sim_sysctl_set_dynamic("kern.cp_times", gen_cp_times, nullptr);
  sim_sysctl_set_dynamic("kern.cp_time", gen_cp_time, nullptr);
}
