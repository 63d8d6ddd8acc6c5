#include <gtest/gtest.h>

#include <vector>

#include "umbracore/collections/intrusive_fifo.h"

using namespace umbra;

namespace {

struct item_t {
  int value = 0;
  item_t* next = nullptr;
  item_t* other_next = nullptr;
};

template <class Fifo>
std::vector<int> drain(Fifo& fifo) {
  std::vector<int> values;
  while (item_t* item = fifo.pop()) {
    EXPECT_EQ(item->next, nullptr);
    values.push_back(item->value);
  }
  EXPECT_EQ(fifo.count, 0u);
  EXPECT_EQ(fifo.tail, nullptr);
  return values;
}

}  // namespace

TEST(intrusive_fifo, pops_in_push_order_and_appends_whole_lists) {
  item_t items[6];
  for (int i = 0; i < 6; ++i) items[i].value = i;
  intrusive_fifo_t<item_t> a, b, empty;
  a.push(&items[0]);
  a.push(&items[1]);
  a.append(empty);  // nothing to move
  EXPECT_EQ(a.count, 2u);
  b.push(&items[2]);
  b.push(&items[3]);
  a.append(b);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.count, 0u);
  a.push(&items[4]);  // after an append the tail is the appended list's tail
  empty.append(a);    // into an empty list
  EXPECT_EQ(empty.count, 5u);
  EXPECT_EQ(drain(empty), (std::vector<int>{0, 1, 2, 3, 4}));
  // A drained list starts again from nothing.
  empty.push(&items[5]);
  EXPECT_EQ(drain(empty), (std::vector<int>{5}));
}

TEST(intrusive_fifo, links_through_the_member_it_is_given) {
  item_t items[2];
  items[0].value = 7;
  items[1].value = 8;
  intrusive_fifo_t<item_t> by_next;
  intrusive_fifo_t<item_t, &item_t::other_next> by_other;
  by_next.push(&items[1]);
  by_next.push(&items[0]);
  by_other.push(&items[0]);
  by_other.push(&items[1]);
  EXPECT_EQ(by_other.pop()->value, 7);
  EXPECT_EQ(by_other.pop()->value, 8);
  EXPECT_EQ(drain(by_next), (std::vector<int>{8, 7}));
}
