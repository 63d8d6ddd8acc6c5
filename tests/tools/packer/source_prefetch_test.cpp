// Reading ahead must follow the submission order, stay within its window of the reads
// that started, and end at once when stopped, even while it waits for room.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tools/packer/source_prefetch.h"

namespace {

constexpr auto HINT_TIMEOUT = std::chrono::seconds(20);

std::mutex hinted_lock;
std::condition_variable hint_given;
std::vector<std::string> hinted;

bool record_hint(const char* full_path) {
  std::lock_guard<std::mutex> guard(hinted_lock);
  hinted.push_back(full_path);
  hint_given.notify_all();
  return true;
}

// Waits until the thread has given count hints; the number given by then.
size_t wait_for_hints(size_t count) {
  std::unique_lock<std::mutex> guard(hinted_lock);
  hint_given.wait_for(guard, HINT_TIMEOUT, [&] { return hinted.size() >= count; });
  return hinted.size();
}

class source_prefetch_test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> guard(hinted_lock);
    hinted.clear();
  }
  umbra::array_dyn_t<umbra::source_prefetcher_t::item_t> items(size_t count, umbra::u64 size) {
    umbra::array_dyn_t<umbra::source_prefetcher_t::item_t> list;
    for (size_t i = 0; i < count; ++i) list.append({names[i], size});
    return list;
  }
  const char* names[6] = {"a", "b/c", "d", "e", "f", "g"};
};

}  // namespace

TEST(prefetch_window, hints_run_a_window_ahead_and_wake_the_thread_at_half_a_window) {
  const struct {
    umbra::u64 started, hinted;
    bool room, wakes;
  } cases[] = {
      {0, 0, true, true},     {0, 20, true, false},  {0, 25, true, false},  {0, 30, false, false},
      {10, 30, true, false},  // room again, but less than half a window free: the thread sleeps on
      {20, 30, true, true},   {20, 46, false, false}, {60, 50, true, true},
  };
  for (const auto& c : cases) {
    const umbra::prefetch_window_t window{25, c.started, c.hinted};
    EXPECT_EQ(window.has_room(), c.room) << c.started << " " << c.hinted;
    EXPECT_EQ(window.wakes_a_waiter(), c.wakes) << c.started << " " << c.hinted;
  }
}

TEST_F(source_prefetch_test, hints_every_item_in_order_as_the_reads_move_the_window) {
  umbra::source_prefetcher_t prefetcher("root", 25, record_hint);
  prefetcher.start(items(6, 10));
  // 0, 10 and 20 bytes hinted are within 25 of nothing started; 30 is not, so the
  // thread can go no further until reads start.
  EXPECT_EQ(wait_for_hints(3), 3u);
  prefetcher.on_read_started(20);
  EXPECT_EQ(wait_for_hints(5), 5u);  // 50 hinted is past 20 + 25
  prefetcher.on_read_started(40);
  EXPECT_EQ(wait_for_hints(6), 6u);
  prefetcher.stop();
  std::lock_guard<std::mutex> guard(hinted_lock);
  EXPECT_EQ(hinted, (std::vector<std::string>{"root/a", "root/b/c", "root/d", "root/e", "root/f", "root/g"}));
}

TEST_F(source_prefetch_test, stops_while_waiting_for_room_and_without_items) {
  {
    // One hint of 10 bytes fills a window of 5: the thread waits for reads that never come.
    umbra::source_prefetcher_t waiting("", 5, record_hint);
    waiting.start(items(4, 10));
    EXPECT_EQ(wait_for_hints(1), 1u);
  }  // the destructor ends the waiting thread
  umbra::source_prefetcher_t idle("root", 5, record_hint);
  idle.start(items(0, 10));
  idle.stop();
  idle.stop();
  EXPECT_EQ(wait_for_hints(1), 1u);
}
