// Cost of the pool's bookkeeping: submitting and waiting for many small tasks.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "umbracore/thread/run_context_system.h"
#include "umbracore/thread/task_queue.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/timer/cpu.h"

namespace {

using umbra::u8;
using umbra::thread::task_t;

struct pool_session_t {
  pool_session_t() {
    umbra::cpu_startup();
    umbra::run_context_startup_main_thread();
    umbra::thread_pool_set_worker_strategy(umbra::WORKER_STRATEGY_EVERY_CORE);
    umbra::thread_pool_startup();
  }
  ~pool_session_t() {
    umbra::thread_pool_shutdown();
    umbra::run_context_shutdown_main_thread();
    umbra::cpu_shutdown();
  }
};

void ensure_pool() { static pool_session_t session; }

std::atomic<unsigned> g_sink{0};

class tiny_task_t : public task_t {
 public:
  explicit tiny_task_t(u8 priority = 1) : task_t(priority, 1, "tiny_task_t") {}
  void execute() override {
    unsigned x = 0;
    for (unsigned i = 0; i < 64; ++i) x = x * 31 + i;
    g_sink.fetch_add(x, std::memory_order_relaxed);
  }
};

// Submit a batch of normal tasks, then wait for each in submission order.
void BM_submit_wait_batch(benchmark::State& state) {
  ensure_pool();
  std::vector<tiny_task_t> tasks((size_t)state.range(0));
  for (auto _ : state) {
    for (tiny_task_t& task : tasks) task.reset();
    for (tiny_task_t& task : tasks) umbra::thread::submit_normal(&task);
    for (tiny_task_t& task : tasks) umbra::thread::wait(&task);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["workers"] = umbra::thread_pool_worker_count();
}
BENCHMARK(BM_submit_wait_batch)->Arg(16)->Arg(256)->Arg(4096)->UseRealTime();

// One task at a time: the round trip through the queue (the waiter usually runs it).
void BM_submit_wait_one(benchmark::State& state) {
  ensure_pool();
  tiny_task_t task;
  for (auto _ : state) {
    task.reset();
    umbra::thread::submit_normal(&task);
    umbra::thread::wait(&task);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_submit_wait_one)->UseRealTime();

// Priority 0 has no workers: every task runs on the waiting thread.
void BM_wait_runs_inline(benchmark::State& state) {
  ensure_pool();
  std::vector<std::unique_ptr<tiny_task_t>> owned;
  std::vector<tiny_task_t*> tasks;
  for (int64_t i = 0; i < state.range(0); ++i) {
    owned.push_back(std::make_unique<tiny_task_t>(0));
    tasks.push_back(owned.back().get());
  }
  for (auto _ : state) {
    for (tiny_task_t* task : tasks) task->reset();
    for (tiny_task_t* task : tasks) umbra::thread::submit_io(task);
    for (tiny_task_t* task : tasks) umbra::thread::wait(task);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_wait_runs_inline)->Arg(256)->UseRealTime();

// The serial queue: one task after another on the pool.
void BM_serial_queue(benchmark::State& state) {
  ensure_pool();
  std::vector<tiny_task_t> tasks((size_t)state.range(0));
  umbra::thread::task_queue_t queue;
  for (auto _ : state) {
    for (tiny_task_t& task : tasks) task.reset();
    for (tiny_task_t& task : tasks) queue.submit_normal(&task);
    for (tiny_task_t& task : tasks) queue.wait(&task);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_serial_queue)->Arg(256)->UseRealTime();

}  // namespace
