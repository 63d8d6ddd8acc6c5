#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"
#include "umbracore/strings/string.h"

using namespace umbra;

TEST(string_assign, local_string_keeps_255_bytes_and_reports_the_cut) {
  std::string text(300, 'x');
  string_local_t<256> local;
  EXPECT_FALSE(local.assign(text.c_str()));
  EXPECT_EQ(local.length(), 255u);
  mstring_t heap;
  EXPECT_TRUE(heap.assign(text.c_str()));
  EXPECT_EQ(heap.length(), 300u);
  EXPECT_EQ(heap.capacity(), 304u);
}

TEST(string_assign, self_assignment_and_null_are_harmless) {
  mstring_t s("abc");
  EXPECT_TRUE(s.assign(s.c_str()));
  EXPECT_TRUE(s.assign(s));
  EXPECT_STREQ(s.c_str(), "abc");
  EXPECT_TRUE(s.assign(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(s.empty());
}

TEST(string_format, grows_heap_strings_and_truncates_local_ones) {
  std::string text(1000, 'y');
  mstring_t heap;
  EXPECT_TRUE(heap.format("%s", text.c_str()));
  EXPECT_EQ(heap.capacity(), 1008u);
  EXPECT_EQ(heap.length(), 1000u);
  string_local_t<256> local;
  EXPECT_FALSE(local.format("%s", text.c_str()));
  EXPECT_EQ(local.length(), 255u);
  EXPECT_EQ(local.c_str()[255], 0);
}

TEST(mstring_t, empty_strings_share_one_buffer_that_is_never_written) {
  mstring_t a, b;
  EXPECT_TRUE(a.uses_shared_empty_buffer());
  EXPECT_EQ(a.c_str(), b.c_str());
  EXPECT_TRUE(a.format("%s", ""));
  a.clear();
  a.truncate(0);
  EXPECT_EQ(*b.c_str(), 0);
  EXPECT_EQ(a.get_character_byte(0), 0);
}

TEST(string_set_from, appends_until_full_and_refuses_when_nothing_fits) {
  string_local_t<8> s("abcde");
  EXPECT_FALSE(s.append("xyz1"));
  EXPECT_STREQ(s.c_str(), "abcdexy");
  EXPECT_FALSE(s.append("q"));
  EXPECT_STREQ(s.c_str(), "abcdexy");
  EXPECT_TRUE(s.set_from(2, "Zq\0ignored", 0, 10));
  EXPECT_STREQ(s.c_str(), "abZq");
}

TEST(compare_bytes, orders_unsigned_bytes_and_prefixes_first) {
  EXPECT_LT(compare_bytes("/c", 2, "A.txt", 5), 0);
  EXPECT_LT(compare_bytes("A.txt", 5, "b.txt", 5), 0);
  EXPECT_LT(compare_bytes("ab", 2, "abc", 3), 0);
  EXPECT_GT(compare_bytes("\xc3", 1, "z", 1), 0);
  EXPECT_EQ(compare_bytes("", 0, "", 0), 0);
}

using mstring_death_test = ::testing::Test;
TEST(mstring_death_test, get_character_byte_past_the_terminator_stops) {
  mstring_t s("ab");
  EXPECT_DEATH(s.get_character_byte(3), "mstring_t bounds check failed.");
}

struct utf8_case_t {
  const char* bytes;
  bool valid;
};

TEST(is_valid_utf8, is_strict_about_overlong_surrogates_and_range) {
  const utf8_case_t cases[] = {
      {"plain", true},
      {"\xc3\xa9", true},              // é
      {"\xe2\x82\xac", true},          // €
      {"\xf0\x9f\x98\x80", true},      // U+1F600
      {"\xf4\x8f\xbf\xbf", true},      // U+10FFFF
      {"\xc0\xaf", false},             // overlong '/'
      {"\xc1\xbf", false},             // overlong
      {"\xe0\x80\xaf", false},         // overlong 3-byte
      {"\xf0\x80\x80\xaf", false},     // overlong 4-byte
      {"\xed\xa0\x80", false},         // surrogate D800
      {"\xf4\x90\x80\x80", false},     // above U+10FFFF
      {"\xf5\x80\x80\x80", false},     // invalid lead
      {"\x80", false},                 // lone continuation
      {"\xe2\x82", false},             // cut short before the terminator
      {"a\xc3", false},                // cut short at the end
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(utf8_to_utf16, reports_an_invalid_sequence_once_and_keeps_the_rest) {
  umbra_test::log_capture_t log;
  array_dyn_t<u16> units;
  EXPECT_FALSE(utf8_to_utf16(units, "\xc0\x80\x41"));
  ASSERT_EQ(units.count(), 2u);
  EXPECT_EQ(units[0], 0x41);
  EXPECT_EQ(units[1], 0);
  EXPECT_EQ(log.errors(), std::vector<std::string>{"Encountered invalid code point."});
}

TEST(utf8_to_utf16, encodes_surrogate_pairs) {
  array_dyn_t<u16> units;
  EXPECT_TRUE(utf8_to_utf16(units, "\xf0\x9f\x98\x80"));
  ASSERT_EQ(units.count(), 3u);
  EXPECT_EQ(units[0], 0xD83D);
  EXPECT_EQ(units[1], 0xDE00);
}

TEST(utf16_to_utf8, converts_pairs_and_reports_broken_surrogates) {
  umbra_test::log_capture_t log;
  const u16 good[] = {0x61, 0xD83D, 0xDE00, 0xE9, 0};
  string_local_t<256> out;
  EXPECT_TRUE(utf16_to_utf8(out, good));
  EXPECT_STREQ(out.c_str(), "a\xf0\x9f\x98\x80\xc3\xa9");

  const u16 lone_trail[] = {0xDC00, 0x62, 0};
  string_local_t<256> out2;
  EXPECT_FALSE(utf16_to_utf8(out2, lone_trail));
  EXPECT_STREQ(out2.c_str(), "b");
  const u16 lone_lead[] = {0xD800, 0x63, 0};
  string_local_t<256> out3;
  EXPECT_FALSE(utf16_to_utf8(out3, lone_lead));
  EXPECT_STREQ(out3.c_str(), "c");
  EXPECT_EQ(log.errors(), (std::vector<std::string>{"Standalone tailing surrogate found.",
                                                     "Leading surrogate without trailing one found."}));
}

TEST(append_code_point, writes_one_to_four_bytes_and_refuses_beyond_21_bits) {
  mstring_t s;
  EXPECT_TRUE(append_code_point(s, 0));
  EXPECT_TRUE(append_code_point(s, 0x41));
  EXPECT_TRUE(append_code_point(s, 0xE9));
  EXPECT_TRUE(append_code_point(s, 0x20AC));
  EXPECT_TRUE(append_code_point(s, 0x1F600));
  EXPECT_FALSE(append_code_point(s, 0x200000));
  EXPECT_STREQ(s.c_str(), "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  string_local_t<3> tiny("a");
  EXPECT_FALSE(append_code_point(tiny, 0x20AC));
  EXPECT_STREQ(tiny.c_str(), "a");
}
