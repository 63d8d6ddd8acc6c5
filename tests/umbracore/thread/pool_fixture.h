// A pool of a chosen size for one test, and a gate that tasks can block on.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "support/log_capture.h"
#include "umbracore/thread/run_context_system.h"
#include "umbracore/thread/thread_pool.h"

namespace umbra_test {

class pool_fixture_t : public testing::Test {
 protected:
  void start_pool(umbra::u32 workers) {
    umbra::thread_pool_set_worker_count_override(workers);
    umbra::thread_pool_startup();
    ASSERT_EQ(umbra::thread_pool_worker_count(), workers);
  }
  void SetUp() override { umbra::run_context_startup_main_thread(); }
  void TearDown() override {
    umbra::thread_pool_shutdown();
    umbra::thread_pool_set_worker_count_override(umbra::WORKER_COUNT_NO_OVERRIDE);
    umbra::thread_pool_set_worker_strategy(umbra::WORKER_STRATEGY_THREE_QUARTERS);
    umbra::run_context_shutdown_main_thread();
  }
  log_capture_t capture;
};

// Opens once; waits end at the deadline so that a broken pool fails instead of hanging.
class gate_t {
 public:
  void open() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(60), [&] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Counts arrivals; waiters block until the count reaches their target.
class counter_t {
 public:
  void arrive() {
    std::lock_guard<std::mutex> guard(lock_);
    ++count_;
    changed_.notify_all();
  }
  bool wait_for(int target) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(60), [&] { return count_ >= target; });
  }
  int count() {
    std::lock_guard<std::mutex> guard(lock_);
    return count_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
};

}  // namespace umbra_test
