#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "umbracore/thread/locks.h"

namespace umbra {
namespace {

// Waits (bounded) until the lock shows the expected state; the lock's own counters are
// the synchronisation, so no fixed sleep decides the outcome.
template <class predicate_t>
bool eventually(predicate_t predicate) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Events in the order threads recorded them.
class journal_t {
 public:
  void add(const std::string& event) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(event);
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> events_;
};

TEST(rw_lock, writer_waits_until_both_readers_unlocked) {
  rw_lock_t lock;
  std::atomic<bool> reader_a_release{false};
  std::atomic<bool> reader_b_release{false};
  std::atomic<bool> writer_in{false};
  auto reader = [&](std::atomic<bool>& release) {
    lock.lock_shared();
    while (!release.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    lock.unlock_shared();
  };
  std::thread a(reader, std::ref(reader_a_release));
  std::thread b(reader, std::ref(reader_b_release));
  ASSERT_TRUE(eventually([&] { return lock.debug_active_readers() == 2; }));
  std::thread writer([&] {
    lock.lock_exclusive();
    writer_in.store(true);
    lock.unlock_exclusive();
  });
  ASSERT_TRUE(eventually([&] { return lock.debug_waiting_writers() == 1; }));
  reader_a_release.store(true);
  a.join();
  // One reader still holds the lock: the writer cannot be in.
  EXPECT_EQ(lock.debug_active_readers(), 1u);
  EXPECT_FALSE(writer_in.load());
  reader_b_release.store(true);
  b.join();
  writer.join();
  EXPECT_TRUE(writer_in.load());
}

TEST(rw_lock, readers_arriving_without_active_readers_wait_for_a_waiting_writer) {
  rw_lock_t lock;
  journal_t journal;
  lock.lock_exclusive();  // first writer: holds
  std::thread second_writer([&] {
    lock.lock_exclusive();
    journal.add("writer");
    lock.unlock_exclusive();
  });
  ASSERT_TRUE(eventually([&] { return lock.debug_waiting_writers() == 1; }));
  std::thread reader([&] {
    lock.lock_shared();
    journal.add("reader");
    lock.unlock_shared();
  });
  ASSERT_TRUE(eventually([&] { return lock.debug_waiting_readers() == 1; }));
  // No reader is active and a writer waits: the reader follows that writer.
  lock.unlock_exclusive();
  second_writer.join();
  reader.join();
  EXPECT_EQ(journal.events(), (std::vector<std::string>{"writer", "reader"}));
}

TEST(rw_lock, readers_join_active_readers_so_shared_locking_nests) {
  rw_lock_t lock;
  lock.lock_shared();
  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    lock.lock_exclusive();
    writer_in.store(true);
    lock.unlock_exclusive();
  });
  ASSERT_TRUE(eventually([&] { return lock.debug_waiting_writers() == 1; }));
  // The same thread reads again while the writer waits: no deadlock.
  lock.lock_shared();
  EXPECT_EQ(lock.debug_active_readers(), 2u);
  std::thread other_reader([&] {
    lock.lock_shared();
    lock.unlock_shared();
  });
  other_reader.join();
  lock.unlock_shared();
  EXPECT_FALSE(writer_in.load());
  lock.unlock_shared();
  writer.join();
  EXPECT_TRUE(writer_in.load());
}

TEST(rw_lock, writers_exclude_everyone_under_contention) {
  rw_lock_t lock;
  u64 value_a = 0;  // plain data: the lock alone keeps it consistent
  u64 value_b = 0;
  std::atomic<int> inconsistent{0};
  constexpr int rounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < rounds; ++i) {
        exclusive_lock_guard_t guard(lock);
        ++value_a;
        ++value_b;
      }
    });
  }
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < rounds; ++i) {
        shared_lock_guard_t guard(lock);
        if (value_a != value_b) inconsistent.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_EQ(value_a, 2u * rounds);
}

TEST(rw_lock_death, unlocking_an_unheld_lock_stops_the_process) {
  EXPECT_DEATH(
      {
        rw_lock_t lock;
        lock.unlock_shared();
      },
      "not held");
}

TEST(mutex_and_condition, guard_and_wait_hand_over_state) {
  mutex_t mutex;
  condition_t changed;
  int stage = 0;
  std::thread other([&] {
    mutex_guard_t guard(mutex);
    while (stage != 1) changed.wait(mutex);
    stage = 2;
    changed.notify_all();
  });
  {
    mutex_guard_t guard(mutex);
    stage = 1;
    changed.notify_one();
    while (stage != 2) changed.wait(mutex);
  }
  other.join();
  EXPECT_EQ(stage, 2);
}

TEST(semaphore, counts_and_respects_its_maximum) {
  semaphore_t semaphore(0, 3);
  EXPECT_TRUE(semaphore.release(2));
  EXPECT_FALSE(semaphore.release(2));  // 4 > 3: refused, count unchanged
  EXPECT_TRUE(semaphore.release(1));
  semaphore.wait();
  semaphore.wait();
  semaphore.wait();
  std::atomic<int> woken{0};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < 3; ++i) {
    sleepers.emplace_back([&] {
      semaphore.wait();
      woken.fetch_add(1);
    });
  }
  EXPECT_TRUE(semaphore.release(3));
  for (std::thread& sleeper : sleepers) sleeper.join();
  EXPECT_EQ(woken.load(), 3);
}

}  // namespace
}  // namespace umbra
