#include <gtest/gtest.h>

#include <string>

#include "umbracore/collections/arrays/array.h"
#include "support/death_pattern.h"

using namespace umbra;

namespace {

template <class T>
std::string joined(const array_t<T>& a) {
  std::string s;
  for (const T& v : a) s += v;
  return s;
}

}  // namespace

TEST(array_dyn_t, grows_to_the_request_then_doubles) {
  struct step_t {
    u64 reserve_first;
    u64 request;
    u64 expected_capacity;
  };
  const step_t steps[] = {{0, 5, 5}, {5, 6, 10}, {4, 17, 32}, {1, 1, 1}};
  for (const step_t& s : steps) {
    array_dyn_t<int> a;
    if (s.reserve_first) {
      ASSERT_TRUE(a.request_capacity(s.reserve_first));
    }
    ASSERT_TRUE(a.request_capacity(s.request));
    EXPECT_EQ(a.capacity(), s.expected_capacity) << s.reserve_first << " -> " << s.request;
  }
}

TEST(array_dyn_t, refuses_capacity_that_overflows_and_stays_unchanged) {
  array_dyn_t<u64> a;
  a.append(7);
  EXPECT_FALSE(a.request_capacity(~0ull / 4));
  EXPECT_FALSE(a.resize(~0ull / 2));
  ASSERT_EQ(a.count(), 1u);
  EXPECT_EQ(a[0], 7u);
}

TEST(array_dyn_t, keeps_non_trivial_elements_across_growth) {
  array_dyn_t<std::string> a;
  for (int i = 0; i < 100; ++i) a.append(std::string(40, (char)('a' + i % 26)));
  EXPECT_EQ(a[99], std::string(40, 'a' + 99 % 26));
  a.compact();
  EXPECT_EQ(a.capacity(), 100u);
  EXPECT_EQ(a[0], std::string(40, 'a'));
}

TEST(array_local_t, refuses_the_append_past_its_capacity) {
  array_local_t<int, 8> a;
  for (int i = 0; i < 8; ++i) ASSERT_NE(a.append(i), nullptr);
  EXPECT_EQ(a.append(8), nullptr);
  EXPECT_EQ(a.count(), 8u);
}

TEST(array_t, remove_keeps_order_and_remove_fast_moves_the_last) {
  array_dyn_t<std::string> a;
  for (const char* s : {"a", "b", "c"}) a.append(s);
  array_dyn_t<std::string> b;
  for (const char* s : {"a", "b", "c"}) b.append(s);
  a.remove(0);
  b.remove_fast(0);
  EXPECT_EQ(joined(a), "bc");
  EXPECT_EQ(joined(b), "cb");
  a.remove(1);
  b.remove_fast(1);
  EXPECT_EQ(joined(a), "b");
  EXPECT_EQ(joined(b), "c");
}

TEST(array_t, element_at_or_end_allows_the_end) {
  array_dyn_t<int> a;
  a.append(1);
  a.append(2);
  EXPECT_EQ(a.element_at_or_end(2), a.data() + 2);
}

using array_death_test = ::testing::Test;

TEST(array_death_test, out_of_bounds_access_stops_with_the_index_message) {
  array_dyn_t<int> a;
  for (int i = 0; i < 7; ++i) a.append(i);
  EXPECT_DEATH(a[7], "\\*\\*\\* ERROR \\*\\*\\* : .*array\\.h\\(" UMBRA_RE_DIGITS "\\): .*: Index outside array boundaries: 7 >= 7");
  EXPECT_DEATH(a.element_at(7), "Index outside array boundaries: 7 >= 7");
  EXPECT_DEATH(a.element_at_or_end(8), "Index outside array boundaries: 8 > 7");
  EXPECT_DEATH(a.remove_fast(9), "Index outside array boundaries: 9 >= 7");
  int outside = 0;
  EXPECT_DEATH(a.index_of(&outside), "Iterator outside array boundaries: 0x.* <> \\[0x.*, 0x.*\\)");
}
