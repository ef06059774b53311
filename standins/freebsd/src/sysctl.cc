// The simulated kernel's sysctl tree: FreeBSD's sysctl(3) calls on one side,
// the test-control calls of sim/kernel.h on the other.
//
// Nodes are kept by dotted name behind one mutex.  Every name component gets
// a number under its parent the first time a node with that component is set
// (top-level "kern", "vm", "vfs", "net", "debug", "hw", "machdep" and "user"
// get FreeBSD's CTL_ numbers, every other component a number from 0x100 up
// as OID_AUTO does), so a MIB is a path of numbers in a tree.  The numbers
// are never taken back: a MIB stays valid across removal and re-adding of its
// node, and across sim_kernel_reset and sim_kernel_clear.
//
// The default machine is installed on the first call of any function here or
// in sim/kernel.h (see ensure_init), then the machine file of the process
// over it, if FREEBSD_SIM_MACHINE names one (machine_file.cc).  Dynamic generators are called without
// the node mutex held, so a generator may itself call these functions.
#include <errno.h>
#include <string.h>
#include <sys/sysctl.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "machine_file.h"
#include "machine_live.h"
#include "sim/kernel.h"

namespace {

struct Node {
  std::string bytes;  // a static node's value
  sim_sysctl_gen gen = nullptr;  // a dynamic node's generator (bytes unused)
  void *arg = nullptr;
};

// Numbers of the components below one prefix ("" for the top level).
struct Level {
  std::map<std::string, int> by_name;
  std::map<int, std::string> by_number;
  int next = 0x100;  // CTL_AUTO_START
};

struct State {
  std::mutex mu;
  std::map<std::string, Node> nodes;
  std::map<std::string, int> failures;
  std::map<std::string, unsigned> reads;
  std::map<std::string, Level> levels;  // by prefix
};

// Never destroyed: daemon threads may still read after main returns.
State &
state()
{
  static State *s = [] {
    State *n = new State;
    static const char *const top[] = {"kern", "vm", "vfs", "net",
                                      "debug", "hw", "machdep", "user"};
    Level &root = n->levels[""];
    for (int i = 0; i < 8; i++) {
      root.by_name[top[i]] = i + 1;  // CTL_KERN (1) ... CTL_USER (8)
      root.by_number[i + 1] = top[i];
    }
    return n;
  }();
  return *s;
}

std::vector<std::string>
split(const std::string &name)
{
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = name.find('.', start);
    parts.push_back(name.substr(start, dot - start));
    if (dot == std::string::npos)
      return parts;
    start = dot + 1;
  }
}

// Gives every component of `name` its number (caller holds mu).
void
number_components(State &s, const std::string &name)
{
  std::string prefix;
  for (const std::string &part : split(name)) {
    Level &level = s.levels[prefix];
    if (!level.by_name.count(part)) {
      int number = level.next++;
      level.by_name[part] = number;
      level.by_number[number] = part;
    }
    prefix = prefix.empty() ? part : prefix + "." + part;
  }
}

// The MIB of `name`, if all of its components are numbered (caller holds mu).
bool
mib_of(State &s, const std::string &name, std::vector<int> *mib)
{
  std::string prefix;
  for (const std::string &part : split(name)) {
    auto level = s.levels.find(prefix);
    if (level == s.levels.end())
      return false;
    auto number = level->second.by_name.find(part);
    if (number == level->second.by_name.end())
      return false;
    mib->push_back(number->second);
    prefix = prefix.empty() ? part : prefix + "." + part;
  }
  return true;
}

// Some node lies below `name` (caller holds mu).
bool
is_intermediate(State &s, const std::string &name)
{
  std::string below = name + ".";
  auto it = s.nodes.lower_bound(below);
  return it != s.nodes.end() && it->first.compare(0, below.size(), below) == 0;
}

// Some proper prefix of `name` is a node (caller holds mu).
bool
passes_terminal(State &s, const std::string &name)
{
  for (size_t dot = name.find('.'); dot != std::string::npos;
       dot = name.find('.', dot + 1))
    if (s.nodes.count(name.substr(0, dot)))
      return true;
  return false;
}

// errno for a name that is not a node (caller holds mu).
int
missing_node_error(State &s, const std::string &name)
{
  if (is_intermediate(s, name))
    return ENOTDIR;  // an intermediate name given as terminal
  if (passes_terminal(s, name))
    return EISDIR;   // a terminal name given where a node was expected
  return ENOENT;
}

void empty_machine();
void install_default_machine();

// 0: nothing installed yet, 1: the default machine is being installed (by
// the thread that holds init_mu), 2: installed.
std::atomic<int> init_state{0};

std::recursive_mutex &
init_mu()
{
  static std::recursive_mutex *mu = new std::recursive_mutex;
  return *mu;
}

// Installs the default machine on the first call of any function.  A call
// made by the installing thread itself (the area functions set nodes) goes
// through; other threads wait until the machine is complete.
void
ensure_init()
{
  if (init_state.load(std::memory_order_acquire) == 2)
    return;
  std::lock_guard<std::recursive_mutex> lock(init_mu());
  if (init_state.load(std::memory_order_acquire) != 0)
    return;  // 2: done meanwhile; 1: a call from within our own installation
  init_state.store(1, std::memory_order_release);
  install_default_machine();
  machine_file_from_environment();  // a daemon's machine of its own
  init_state.store(2, std::memory_order_release);
}

void
empty_machine()
{
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.nodes.clear();
  s.failures.clear();
  s.reads.clear();
}

void
install_default_machine()
{
  machine_live_reset();
  empty_machine();
  sim_default_cpu();
  sim_default_sysstats();
  sim_default_power();
  sim_default_dtrace();
}

void
set_node(const char *name, Node node)
{
  if (name == nullptr || *name == '\0')
    return;
  ensure_init();
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  number_components(s, name);
  s.nodes[name] = std::move(node);
}

// The read of node `name` that sysctl and sysctlbyname share, after the name
// has been resolved.
int
read_node(const std::string &name, void *oldp, size_t *oldlenp,
          const void *newp)
{
  State &s = state();
  Node node;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (newp == nullptr)
      s.reads[name]++;
    auto failure = s.failures.find(name);
    if (failure != s.failures.end()) {
      errno = failure->second;
      return -1;
    }
    auto it = s.nodes.find(name);
    if (it == s.nodes.end()) {
      errno = missing_node_error(s, name);
      return -1;
    }
    if (newp != nullptr) {
      errno = EPERM;  // every simulated node is read-only
      return -1;
    }
    node = it->second;
  }
  if (node.gen != nullptr) {
    node.bytes.clear();
    node.gen(&node.bytes, node.arg);
  }
  size_t size = node.bytes.size();
  if (oldp == nullptr) {
    if (oldlenp != nullptr)
      *oldlenp = size;
    return 0;
  }
  size_t room = oldlenp != nullptr ? *oldlenp : 0;
  size_t copied = size < room ? size : room;
  if (copied > 0)
    memcpy(oldp, node.bytes.data(), copied);
  if (oldlenp != nullptr)
    *oldlenp = copied;
  if (copied < size) {
    errno = ENOMEM;
    return -1;
  }
  return 0;
}

}  // namespace

// --- FreeBSD's calls ---------------------------------------------------------

extern "C" int
sysctl(const int *name, u_int namelen, void *oldp, size_t *oldlenp,
       const void *newp, size_t newlen)
{
  (void)newlen;
  ensure_init();
  if (namelen < 2 || namelen > CTL_MAXNAME) {
    errno = EINVAL;
    return -1;
  }
  if (name == nullptr) {
    errno = EFAULT;
    return -1;
  }
  std::string path;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    for (u_int i = 0; i < namelen; i++) {
      auto level = s.levels.find(path);
      const std::string *part = nullptr;
      if (level != s.levels.end()) {
        auto it = level->second.by_number.find(name[i]);
        if (it != level->second.by_number.end())
          part = &it->second;
      }
      if (part == nullptr) {
        errno = (i > 0 && s.nodes.count(path)) ? EISDIR : ENOENT;
        return -1;
      }
      path = path.empty() ? *part : path + "." + *part;
    }
  }
  return read_node(path, oldp, oldlenp, newp);
}

extern "C" int
sysctlbyname(const char *name, void *oldp, size_t *oldlenp, const void *newp,
             size_t newlen)
{
  (void)newlen;
  ensure_init();
  if (name == nullptr) {
    errno = EFAULT;
    return -1;
  }
  return read_node(name, oldp, oldlenp, newp);
}

extern "C" int
sysctlnametomib(const char *name, int *mibp, size_t *sizep)
{
  ensure_init();
  if (name == nullptr || sizep == nullptr) {
    errno = EFAULT;
    return -1;
  }
  std::vector<int> mib;
  {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto failure = s.failures.find(name);
    if (failure != s.failures.end()) {
      errno = failure->second;
      return -1;
    }
    if ((!s.nodes.count(name) && !is_intermediate(s, name)) ||
        !mib_of(s, name, &mib)) {
      errno = ENOENT;
      return -1;
    }
  }
  // Like libc's: a name-to-OID read of *sizep ints, cut short with ENOMEM.
  size_t copied = mib.size() < *sizep ? mib.size() : *sizep;
  if (copied > 0) {
    if (mibp == nullptr) {
      errno = EFAULT;
      return -1;
    }
    memcpy(mibp, mib.data(), copied * sizeof(int));
  }
  *sizep = copied;
  if (copied < mib.size()) {
    errno = ENOMEM;
    return -1;
  }
  return 0;
}

// --- Test control ------------------------------------------------------------

void
sim_kernel_reset(void)
{
  ensure_init();
  std::lock_guard<std::recursive_mutex> lock(init_mu());
  install_default_machine();
}

void
sim_kernel_clear(void)
{
  ensure_init();
  std::lock_guard<std::recursive_mutex> lock(init_mu());
  machine_live_reset();
  empty_machine();
  sim_clear_sysstats();
  sim_clear_power();
  sim_clear_dtrace();
}

void
sim_sysctl_set(const char *name, const void *value, size_t len)
{
  Node node;
  if (len > 0)
    node.bytes.assign(static_cast<const char *>(value), len);
  set_node(name, std::move(node));
}

void
sim_sysctl_set_int(const char *name, int value)
{
  sim_sysctl_set(name, &value, sizeof value);
}

void
sim_sysctl_set_u64(const char *name, uint64_t value)
{
  sim_sysctl_set(name, &value, sizeof value);
}

void
sim_sysctl_set_string(const char *name, const char *text)
{
  if (text == nullptr)
    text = "";
  sim_sysctl_set(name, text, strlen(text) + 1);
}

void
sim_sysctl_set_longs(const char *name, const long *values, size_t count)
{
  sim_sysctl_set(name, values, count * sizeof(long));
}

void
sim_sysctl_set_dynamic(const char *name, sim_sysctl_gen gen, void *arg)
{
  Node node;
  node.gen = gen;
  node.arg = arg;
  set_node(name, std::move(node));
}

void
sim_sysctl_remove(const char *name)
{
  ensure_init();
  if (name == nullptr)
    return;
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.nodes.erase(name);
}

void
sim_sysctl_fail(const char *name, int err)
{
  ensure_init();
  if (name == nullptr)
    return;
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (err == 0)
    s.failures.erase(name);
  else
    s.failures[name] = err;
}

unsigned
sim_sysctl_reads(const char *name)
{
  ensure_init();
  if (name == nullptr)
    return 0;
  State &s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.reads.find(name);
  return it == s.reads.end() ? 0 : it->second;
}
