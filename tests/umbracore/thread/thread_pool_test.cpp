#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pool_fixture.h"
#include "support/platform_facts.h"
#include "umbracore/platform/thread_platform.h"
#include "umbracore/thread/thread_pool_internal.h"

namespace umbra {
namespace {

using thread::task_t;
using umbra_test::counter_t;
using umbra_test::gate_t;

// A task that runs a function and records every thread that ran it.
class probe_task_t : public task_t {
 public:
  explicit probe_task_t(u8 priority = 1, u8 width = 1, std::function<void(probe_task_t*)> body = nullptr)
      : task_t(priority, width, "probe_task_t"), body_(std::move(body)) {}
  void execute() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      ++runs_;
      threads_.insert(platform::thread_current_id());
      run_context_t* context = run_context_current();
      kinds_.insert(context ? context->kind : 0u);
      saw_current_task_ = context && context->current_task == this;
      saw_cancel_ = is_cancelled();
    }
    if (body_) body_(this);
  }
  int runs() {
    std::lock_guard<std::mutex> guard(lock_);
    return runs_;
  }
  std::set<u64> threads() {
    std::lock_guard<std::mutex> guard(lock_);
    return threads_;
  }
  std::set<u32> kinds() {
    std::lock_guard<std::mutex> guard(lock_);
    return kinds_;
  }
  bool saw_current_task() {
    std::lock_guard<std::mutex> guard(lock_);
    return saw_current_task_;
  }
  bool saw_cancel() {
    std::lock_guard<std::mutex> guard(lock_);
    return saw_cancel_;
  }

 private:
  std::function<void(probe_task_t*)> body_;
  std::mutex lock_;
  int runs_ = 0;
  std::set<u64> threads_;
  std::set<u32> kinds_;
  bool saw_current_task_ = false;
  bool saw_cancel_ = false;
};

TEST(thread_pool_sizing, strategies_and_override) {
  const u32 none = WORKER_COUNT_NO_OVERRIDE;
  struct {
    u32 strategy;
    u32 override_count;
    u32 cores;
    u32 workers;
  } cases[] = {
      {3, none, 8, 8}, {2, none, 8, 6}, {1, none, 8, 2}, {0, none, 8, 1},
      {3, none, 1, 1}, {2, none, 1, 1}, {1, none, 1, 1}, {2, none, 2, 1},
      {1, none, 3, 2}, {3, none, 200, 128}, {2, none, 200, 128},
      {3, 200, 8, 128}, {3, 5, 8, 5}, {3, 0, 8, 0}, {99, 4, 8, 4},  // an override ignores the strategy
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "strategy " << c.strategy << " override " << c.override_count << " cores "
                                    << c.cores);
    EXPECT_EQ(thread_pool_compute_worker_count(c.strategy, c.override_count, c.cores), c.workers);
  }
}

TEST(thread_pool_sizing_death, unknown_strategy_stops_the_process) {
  // The override's value names what an override makes of a strategy; it is not one to choose.
  EXPECT_DEATH(thread_pool_compute_worker_count(WORKER_STRATEGY_OVERRIDE, WORKER_COUNT_NO_OVERRIDE, 8),
               "Unknown worker strategy selected\\.");
}

TEST(thread_pool_sizing, workers_take_the_last_cores_first) {
  // 8 cores with 2 threads each, siblings listed after the first threads.
  array_dyn_t<platform::cpu_topology_entry_t> entries;
  for (u32 p = 0; p < 16; ++p) entries.append({p, 0, p % 8});
  array_dyn_t<cpu_t> cpus;
  ASSERT_TRUE(cpu_build_topology(entries, cpus));
  u32 cores = cpu_count_physical_cores(cpus);
  ASSERT_EQ(cores, 8u);
  ASSERT_EQ(thread_pool_compute_worker_count(WORKER_STRATEGY_EVERY_CORE, WORKER_COUNT_NO_OVERRIDE, cores), 8u);
  for (u32 worker = 0; worker < 8; ++worker) {
    s32 index = thread_pool_worker_processor(cpus, cores, worker);
    ASSERT_GE(index, 0);
    EXPECT_EQ(cpus[(u64)index].core, 7 - worker);
    EXPECT_FALSE(cpus[(u64)index].is_secondary());
  }
  EXPECT_EQ(thread_pool_worker_processor(cpus, cores, 8), 0);  // no core left: the first cpu_t
  array_dyn_t<cpu_t> none;
  EXPECT_EQ(thread_pool_worker_processor(none, 1, 0), -1);
}

class thread_pool_test : public umbra_test::pool_fixture_t {};

TEST_F(thread_pool_test, workers_are_named_by_class_index) {
  start_pool(3);
  EXPECT_STREQ(thread_pool_worker_name(0), "Worker_0");
  EXPECT_STREQ(thread_pool_worker_name(2), "Worker_2");
  EXPECT_STREQ(thread_pool_worker_name(3), "");
  // The platform name and the run context of a worker carry the same name.
  std::string platform_name;
  std::string context_name;
  u32 kind = 0;
  counter_t ran;
  probe_task_t task(1, 1, [&](probe_task_t*) {
    platform_name = umbra_test::system_thread_name();
    context_name = run_context_current()->thread_name.c_str();
    kind = run_context_current()->kind;
    ran.arrive();
  });
  thread::submit_normal(&task);
  ASSERT_TRUE(ran.wait_for(1));  // run by a worker: this thread was not waiting for it
  thread::wait(&task);
  EXPECT_EQ(platform_name.rfind("Worker_", 0), 0u) << platform_name;
  EXPECT_EQ(context_name, platform_name);
  EXPECT_EQ(kind, (u32)RUN_CONTEXT_KIND_NORMAL);
}

TEST_F(thread_pool_test, strategy_three_starts_one_worker_per_core) {
  cpu_startup();
  thread_pool_set_worker_strategy(WORKER_STRATEGY_EVERY_CORE);
  thread_pool_startup();
  EXPECT_EQ(thread_pool_worker_count(), cpu_count_physical_cores(cpu_list()));
  thread_pool_shutdown();
  cpu_shutdown();
}

TEST_F(thread_pool_test, task_states_from_new_to_collected) {
  start_pool(0);
  probe_task_t task;
  EXPECT_EQ(task.get_state(), (u32)thread::TASK_NEW);
  EXPECT_FALSE(thread::is_submitted(&task));
  thread::submit_normal(&task);
  EXPECT_EQ(task.get_state(), (u32)thread::TASK_QUEUED);
  EXPECT_TRUE(thread::is_submitted(&task));
  thread::wait(&task);
  EXPECT_EQ(task.get_state(), (u32)thread::TASK_COLLECTED);
  EXPECT_TRUE(task.saw_current_task());
  thread::wait(&task);  // waiting again runs nothing
  EXPECT_EQ(task.runs(), 1);
  task.reset();
  EXPECT_EQ(task.get_state(), (u32)thread::TASK_NEW);
  thread::submit_normal(&task);
  thread::wait(&task);
  EXPECT_EQ(task.runs(), 2);
}

TEST_F(thread_pool_test, submitting_twice_queues_once) {
  start_pool(0);
  probe_task_t first;
  probe_task_t second;
  thread::submit_normal(&first);
  thread::submit_normal(&first);
  thread::submit_io(&first);
  thread::submit_normal(&second);
  thread::wait(&second);
  thread::wait(&first);
  EXPECT_EQ(first.runs(), 1);
  EXPECT_EQ(second.runs(), 1);
  // A second submission after the first finished but before it was collected is ignored too.
  start_pool(0);
  probe_task_t third;
  thread::submit_normal(&third);
  thread::wait(&third);
  thread::submit_normal(&third);
  EXPECT_EQ(third.get_state(), (u32)thread::TASK_COLLECTED);
}

TEST_F(thread_pool_test, a_worker_that_ran_part_of_a_wide_task_still_serves_the_queue) {
  start_pool(2);
  gate_t release;
  counter_t first_run_started, narrow_ran;
  std::atomic<int> wide_runs{0};
  probe_task_t wide(1, 2, [&](probe_task_t*) {
    if (wide_runs.fetch_add(1) == 0) {
      first_run_started.arrive();
      release.wait();
    }
  });
  thread::submit_normal(&wide);  // two runs, one wake-up
  ASSERT_TRUE(first_run_started.wait_for(1));
  probe_task_t narrow(1, 1, [&](probe_task_t*) { narrow_ran.arrive(); });
  // The wake-up of this task goes to the worker that then takes the wide task's second
  // run; the queue must not be left with a task and no worker awake for it.
  thread::submit_normal(&narrow);
  EXPECT_TRUE(narrow_ran.wait_for(1));  // by a worker: nobody waits for it yet
  release.open();
  thread::wait(&wide);
  thread::wait(&narrow);
}

TEST_F(thread_pool_test, waiting_runs_a_task_no_worker_serves) {
  start_pool(2);
  // Priority 0 is served by IO workers, of which this pool has none.
  probe_task_t task(0);
  thread::submit_io(&task);
  thread::wait(&task);
  EXPECT_EQ(task.runs(), 1);
  EXPECT_EQ(task.threads(), std::set<u64>{platform::thread_current_id()});
  EXPECT_EQ(task.kinds(), std::set<u32>{RUN_CONTEXT_KIND_MAIN});
}

TEST_F(thread_pool_test, normal_tasks_run_on_workers) {
  start_pool(2);
  gate_t release;
  counter_t started;
  probe_task_t blocker(2, 1, [&](probe_task_t*) {
    started.arrive();
    release.wait();
  });
  thread::submit_normal(&blocker);
  ASSERT_TRUE(started.wait_for(1));  // a worker took it: the main thread never ran it
  EXPECT_EQ(blocker.get_state(), (u32)thread::TASK_RUNNING);
  EXPECT_EQ(blocker.kinds(), std::set<u32>{RUN_CONTEXT_KIND_NORMAL});
  release.open();
  thread::wait(&blocker);
  EXPECT_EQ(blocker.get_state(), (u32)thread::TASK_COLLECTED);
  EXPECT_EQ(blocker.threads().count(platform::thread_current_id()), 0u);
}

TEST_F(thread_pool_test, wide_task_runs_on_several_threads_at_once) {
  start_pool(2);
  counter_t entered;
  std::atomic<bool> met{false};
  // Every run waits until a second run has started, so one thread alone cannot finish it.
  probe_task_t task(1, 3, [&](probe_task_t*) {
    entered.arrive();
    if (entered.wait_for(2)) met.store(true);
  });
  thread::submit_normal(&task);
  thread::wait(&task);
  EXPECT_TRUE(met.load());
  EXPECT_GE(task.threads().size(), 2u);
  EXPECT_LE(task.runs(), 3);
}

class counting_owner_t : public thread::task_owner_t {
 public:
  void on_task_completed(task_t* task) override {
    std::lock_guard<std::mutex> guard(lock);
    completed.push_back(task);
    states.push_back(task->get_state());
  }
  std::mutex lock;
  std::vector<task_t*> completed;
  std::vector<u32> states;
};

TEST_F(thread_pool_test, owner_hears_of_every_execution_before_the_task_finishes) {
  start_pool(1);
  counting_owner_t owner;
  probe_task_t a;
  probe_task_t b(0);
  a.owner = &owner;
  b.owner = &owner;
  thread::submit_normal(&a);
  thread::submit_io(&b);
  thread::wait(&a);
  thread::wait(&b);
  std::lock_guard<std::mutex> guard(owner.lock);
  EXPECT_EQ(std::set<task_t*>(owner.completed.begin(), owner.completed.end()), (std::set<task_t*>{&a, &b}));
  EXPECT_EQ(owner.states, (std::vector<u32>{thread::TASK_RUNNING, thread::TASK_RUNNING}));
}

TEST_F(thread_pool_test, cancel_is_seen_by_the_task) {
  start_pool(0);
  probe_task_t queued;
  thread::submit_normal(&queued);
  thread::cancel(&queued);
  EXPECT_TRUE(queued.is_cancelled());
  thread::wait(&queued);
  EXPECT_TRUE(queued.saw_cancel());

  start_pool(1);
  counter_t started;
  std::atomic<int> spins{0};
  probe_task_t looping(1, 1, [&](probe_task_t* self) {
    started.arrive();
    // Ends only when cancelled: cancel_and_wait must both flag and wait.
    while (!self->is_cancelled()) {
      spins.fetch_add(1);
      std::this_thread::yield();
    }
  });
  thread::submit_normal(&looping);
  ASSERT_TRUE(started.wait_for(1));
  thread::cancel_and_wait(&looping);
  EXPECT_EQ(looping.get_state(), (u32)thread::TASK_COLLECTED);
  EXPECT_EQ(looping.runs(), 1);
}

TEST_F(thread_pool_test, dropping_an_unrun_task_unlinks_it) {
  start_pool(0);
  auto dropped = std::make_unique<probe_task_t>();
  probe_task_t before;
  probe_task_t after;
  thread::submit_normal(&before);
  thread::submit_normal(dropped.get());
  thread::submit_normal(&after);
  dropped.reset();
  // The waiters walk the queue past the dropped task's slot.
  thread::wait(&after);
  thread::wait(&before);
  EXPECT_EQ(before.runs(), 1);
  EXPECT_EQ(after.runs(), 1);
}

TEST_F(thread_pool_test, many_small_tasks_all_run_once) {
  start_pool(2);
  constexpr int task_count = 2000;
  std::atomic<int> total{0};
  std::vector<std::unique_ptr<probe_task_t>> tasks;
  for (int i = 0; i < task_count; ++i) {
    tasks.push_back(std::make_unique<probe_task_t>((u8)(1 + i % 2), 1, [&](probe_task_t*) { total.fetch_add(1); }));
    thread::submit_normal(tasks.back().get());
  }
  for (auto& task : tasks) thread::wait(task.get());
  EXPECT_EQ(total.load(), task_count);
  for (auto& task : tasks) ASSERT_EQ(task->runs(), 1);
}

TEST_F(thread_pool_test, shutdown_finishes_queued_work_and_restarts) {
  start_pool(2);
  std::vector<std::unique_ptr<probe_task_t>> tasks;
  for (int i = 0; i < 50; ++i) {
    tasks.push_back(std::make_unique<probe_task_t>());
    thread::submit_normal(tasks.back().get());
  }
  thread_pool_shutdown();
  EXPECT_EQ(thread_pool_worker_count(), 0u);
  for (auto& task : tasks) thread::wait(task.get());
  for (auto& task : tasks) EXPECT_EQ(task->runs(), 1);
  start_pool(1);
}

TEST_F(thread_pool_test, alien_thread_gets_a_spare_context_with_a_warning) {
  start_pool(0);
  probe_task_t task;
  u32 marker = 0;
  u32 kind = 0;
  std::thread alien([&] {
    thread::submit_normal(&task);
    thread::wait(&task);  // runs it here, on a thread the pool did not create
    run_context_t* context = run_context_current();
    marker = context ? context->marker : 0;
    kind = context ? context->kind : 0;
  });
  alien.join();
  EXPECT_EQ(task.runs(), 1);
  EXPECT_EQ(marker, RUN_CONTEXT_SPARE_MARKER);
  EXPECT_EQ(kind, (u32)RUN_CONTEXT_KIND_ALIEN);
  EXPECT_EQ(task.kinds(), std::set<u32>{RUN_CONTEXT_KIND_ALIEN});
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0].level, (unsigned)LOG_LEVEL_WARNING);
  EXPECT_EQ(capture.messages()[0].text, "[thread] Detected an alien thread with missing run context priming.");
  // The spare went back to the pool when the thread ended and serves the next alien.
  u32 spares = run_context_spare_count();
  EXPECT_GE(spares, 1u);
  std::thread second([&] { run_context_acquire(); });
  second.join();
  EXPECT_EQ(run_context_spare_count(), spares);
}

TEST(thread_pool_task_death, destroying_a_running_task_stops_the_process) {
  EXPECT_DEATH(
      {
        run_context_startup_main_thread();
        struct self_destroying_t : task_t {
          void execute() override { this->~self_destroying_t(); }
        };
        auto* task = new self_destroying_t();
        thread::submit_normal(task);
        thread::wait(task);
      },
      "destroyed while it runs");
}

}  // namespace
}  // namespace umbra
