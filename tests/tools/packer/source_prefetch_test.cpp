// Reading ahead must follow the submission order, stay within its window of the reads
// that started, and end at once when stopped, even while it waits for room.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/packer/source_prefetch.h"

namespace {

std::mutex hinted_lock;
std::vector<std::string> hinted;

bool record_hint(const char* full_path) {
  std::lock_guard<std::mutex> guard(hinted_lock);
  hinted.push_back(full_path);
  return true;
}

size_t hint_count() {
  std::lock_guard<std::mutex> guard(hinted_lock);
  return hinted.size();
}

// Waits until the thread has given `count` hints, then a little longer to catch a hint
// beyond the window.
size_t hints_after_settling(size_t count) {
  for (int i = 0; i < 2000 && hint_count() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  return hint_count();
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

TEST_F(source_prefetch_test, hints_in_order_and_only_as_far_as_the_window) {
  umbra::source_prefetcher_t prefetcher("root", 25, record_hint);
  prefetcher.start(items(6, 10));
  // 0, 10 and 20 bytes hinted are within 25 of nothing started; 30 is not.
  EXPECT_EQ(hints_after_settling(3), 3u);
  prefetcher.on_read_started(10);  // 30 hinted, 10 started: not yet half a window free
  EXPECT_EQ(hints_after_settling(3), 3u);
  prefetcher.on_read_started(10);  // 20 started: on to 50 hinted, past 45
  EXPECT_EQ(hints_after_settling(5), 5u);
  prefetcher.on_read_started(40);
  EXPECT_EQ(hints_after_settling(6), 6u);
  prefetcher.stop();
  std::lock_guard<std::mutex> guard(hinted_lock);
  EXPECT_EQ(hinted, (std::vector<std::string>{"root/a", "root/b/c", "root/d", "root/e", "root/f", "root/g"}));
}

TEST_F(source_prefetch_test, stops_while_waiting_for_room_and_without_items) {
  {
    umbra::source_prefetcher_t waiting("", 5, record_hint);
    waiting.start(items(4, 10));
    EXPECT_EQ(hints_after_settling(1), 1u);
  }  // the destructor ends the waiting thread
  umbra::source_prefetcher_t idle("root", 5, record_hint);
  idle.start(items(0, 10));
  idle.stop();
  idle.stop();
  EXPECT_EQ(hint_count(), 1u);
}

}  // namespace
