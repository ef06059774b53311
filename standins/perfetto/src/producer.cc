// Producer back-ends and the SDK's own thread, on which every data source
// callback runs.
#include <stdarg.h>
#include <stdio.h>

#include <condition_variable>
#include <thread>

#include "internal.h"
#include "perfetto/public/abi/producer_abi.h"
#include "perfetto_standin/inspect.h"

PERFETTO_ATOMIC(bool) perfetto_atomic_false{false};

namespace standin {

std::mutex g_mutex;
size_t g_chunk_size = 512;
std::atomic<bool> g_in_process{false};
std::atomic<bool> g_initialised{false};

static std::mutex g_log_mutex;
static bool g_log_on;
static std::vector<std::string> g_log;

void
record_call(const char *fmt, ...)
{
	std::lock_guard<std::mutex> lock(g_log_mutex);
	if (!g_log_on)
		return;
	char buf[256];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(buf, sizeof buf, fmt, ap);
	va_end(ap);
	g_log.push_back(buf);
}

// The SDK thread: started on first use, runs tasks one at a time, never
// ends (like the SDK's, it lives as long as the process).  Its state is never
// destroyed, so that the thread may still wait on it while the process
// exits.
struct task_queue {
	std::mutex mutex;
	std::condition_variable cv;
	std::deque<std::function<void()>> tasks;
	std::thread::id thread_id;
	bool started = false;
};
static task_queue &g_queue = *new task_queue;

static void
sdk_thread_main(void)
{
	std::unique_lock<std::mutex> lock(g_queue.mutex);
	for (;;) {
		g_queue.cv.wait(lock, [] { return !g_queue.tasks.empty(); });
		std::function<void()> task = std::move(g_queue.tasks.front());
		g_queue.tasks.pop_front();
		lock.unlock();
		task();
		lock.lock();
	}
}

void
run_on_sdk_thread(const std::function<void()> &fn)
{
	std::unique_lock<std::mutex> lock(g_queue.mutex);
	if (!g_queue.started) {
		std::thread t(sdk_thread_main);
		g_queue.thread_id = t.get_id();
		t.detach();
		g_queue.started = true;
	}
	if (std::this_thread::get_id() == g_queue.thread_id) {
		lock.unlock();
		fn();
		return;
	}
	bool done = false;
	std::condition_variable done_cv;
	g_queue.tasks.push_back([&] {
		fn();
		std::lock_guard<std::mutex> l(g_queue.mutex);
		done = true;
		done_cv.notify_all();
	});
	g_queue.cv.notify_all();
	done_cv.wait(lock, [&] { return done; });
}

}  // namespace standin

using namespace standin;

struct PerfettoProducerBackendInitArgs {
	uint32_t shmem_size_hint_kb;
};

extern "C" PerfettoProducerBackendInitArgs *
PerfettoProducerBackendInitArgsCreate(void)
{
	record_call("PerfettoProducerBackendInitArgsCreate");
	return new PerfettoProducerBackendInitArgs{0};
}

extern "C" void
PerfettoProducerBackendInitArgsSetShmemSizeHintKb(
    PerfettoProducerBackendInitArgs *args, uint32_t kb)
{
	record_call("PerfettoProducerBackendInitArgsSetShmemSizeHintKb(%u)", kb);
	args->shmem_size_hint_kb = kb;
}

extern "C" void
PerfettoProducerBackendInitArgsDestroy(PerfettoProducerBackendInitArgs *args)
{
	record_call("PerfettoProducerBackendInitArgsDestroy");
	delete args;
}

extern "C" void
PerfettoProducerSystemInit(const PerfettoProducerBackendInitArgs *)
{
	// There is no system tracing service on this host: the producer never
	// connects, and never hears of a session through this back-end.
	record_call("PerfettoProducerSystemInit");
	g_initialised.store(true, std::memory_order_release);
}

extern "C" void
PerfettoProducerInProcessInit(const PerfettoProducerBackendInitArgs *)
{
	record_call("PerfettoProducerInProcessInit");
	g_in_process.store(true, std::memory_order_release);
	g_initialised.store(true, std::memory_order_release);
}

void
perfetto_standin_record_calls(bool on)
{
	std::lock_guard<std::mutex> lock(g_log_mutex);
	g_log_on = on;
	if (on)
		g_log.clear();
}

std::vector<std::string>
perfetto_standin_calls(void)
{
	std::lock_guard<std::mutex> lock(g_log_mutex);
	return g_log;
}

void
perfetto_standin_set_chunk_size(size_t bytes)
{
	std::lock_guard<std::mutex> lock(g_mutex);
	g_chunk_size = bytes < 16 ? 16 : bytes;
}
