// Thread-end slots: what a thread keeps in one is handed to the slot's routine when the
// thread ends, on that thread, once, before a join returns.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "umbracore/platform/thread_platform.h"
#include "umbracore/thread/thread.h"

namespace umbra {
namespace {

struct kept_t {
  u64 owner = 0;          // the thread that set the value
  u64 ended_on = 0;       // the thread the routine ran on
  std::atomic<u32> calls{0};
};

platform::thread_value_t g_slot;

void count_end(void* value) {
  kept_t* kept = static_cast<kept_t*>(value);
  kept->ended_on = platform::thread_current_id();
  kept->calls.fetch_add(1);
}

platform::thread_value_t& slot() {
  static const bool created = platform::thread_value_create(&g_slot, count_end);
  EXPECT_TRUE(created);
  return g_slot;
}

enum use_t { KEEPS_ITS_VALUE, CLEARS_ITS_VALUE, NEVER_SETS };

struct run_t {
  use_t use;
  kept_t kept;
  bool started_empty = false;
};

void use_slot(void* argument) {
  run_t* run = static_cast<run_t*>(argument);
  run->started_empty = platform::thread_value_get(slot()) == nullptr;
  run->kept.owner = platform::thread_current_id();
  if (run->use == NEVER_SETS) return;
  EXPECT_TRUE(platform::thread_value_set(slot(), &run->kept));
  EXPECT_EQ(platform::thread_value_get(slot()), &run->kept);
  if (run->use == CLEARS_ITS_VALUE) {
    EXPECT_TRUE(platform::thread_value_set(slot(), nullptr));
  }
}

// Rounds of threads ending together, the pattern of the worker pool at shutdown.
TEST(thread_value, each_ending_thread_hands_its_own_value_to_the_routine_once) {
  kept_t mine;
  ASSERT_TRUE(platform::thread_value_set(slot(), &mine));
  for (int round = 0; round < 20; ++round) {
    std::vector<run_t> runs(6);
    std::vector<thread::thread_t> threads(runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
      runs[i].use = i % 3 == 0 ? KEEPS_ITS_VALUE : i % 3 == 1 ? CLEARS_ITS_VALUE : NEVER_SETS;
      threads[i].name.format("Slot_%u", (unsigned)i);
      threads[i].start(use_slot, &runs[i]);
    }
    for (thread::thread_t& t : threads) t.join();
    for (const run_t& run : runs) {
      SCOPED_TRACE(::testing::Message() << "round " << round << ", use " << run.use);
      EXPECT_TRUE(run.started_empty);
      EXPECT_EQ(run.kept.calls.load(), run.use == KEEPS_ITS_VALUE ? 1u : 0u);
      if (run.use == KEEPS_ITS_VALUE) {
        EXPECT_EQ(run.kept.ended_on, run.kept.owner);
      }
    }
  }
  // The values of other threads never replaced this thread's own.
  EXPECT_EQ(platform::thread_value_get(slot()), &mine);
  EXPECT_EQ(mine.calls.load(), 0u);
  ASSERT_TRUE(platform::thread_value_set(slot(), nullptr));
}

}  // namespace
}  // namespace umbra
