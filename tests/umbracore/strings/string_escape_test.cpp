#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "umbracore/strings/string_escape.h"

using namespace umbra;

namespace {

struct escape_case_t {
  std::string bytes;
  std::string display;
  std::string json;
  bool utf8;
};

}  // namespace

TEST(string_escape, names_become_safe_display_text_and_valid_json) {
  const escape_case_t cases[] = {
      {"plain/a.txt", "plain/a.txt", "\"plain/a.txt\"", true},
      {"\xc3\xa9t\xc3\xa9/\xe6\x97\xa5", "\xc3\xa9t\xc3\xa9/\xe6\x97\xa5", "\"\xc3\xa9t\xc3\xa9/\xe6\x97\xa5\"", true},
      {"a\x1b[2Jb", "a\\x1B[2Jb", "\"a\\u001B[2Jb\"", true},
      {"tab\tnl\ncr\rdel\x7f", "tab\\x09nl\\x0Acr\\x0Ddel\\x7F", "\"tab\\u0009nl\\u000Acr\\u000Ddel\\u007F\"", true},
      {"back\\slash \"q\"", "back\\\\slash \"q\"", "\"back\\\\slash \\\"q\\\"\"", true},
      // Not UTF-8: an overlong slash, a lone continuation, a cut sequence.
      {"\xc0\xaf-\x80-\xe6\x97", "\\xC0\\xAF-\\x80-\\xE6\\x97", "\"\\uFFFD\\uFFFD-\\uFFFD-\\uFFFD\\uFFFD\"", false},
      // C1 CSI, a right-to-left override, a line separator.
      {"\xc2\x9b" "1m\xe2\x80\xae" "txt\xe2\x80\xa8", "\\u009B1m\\u202Etxt\\u2028", "\"\\u009B1m\\u202Etxt\\u2028\"", true},
      {std::string("nul\0in", 6), "nul\\x00in", "\"nul\\u0000in\"", true},
      {"", "", "\"\"", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.display);
    mstring_t display;
    ASSERT_TRUE(append_escaped_for_display(display, c.bytes.data(), c.bytes.size()));
    EXPECT_EQ(std::string(display.c_str()), c.display);
    mstring_t json;
    bool utf8 = !c.utf8;
    ASSERT_TRUE(append_json_string(json, c.bytes.data(), c.bytes.size(), &utf8));
    EXPECT_EQ(std::string(json.c_str()), c.json);
    EXPECT_EQ(utf8, c.utf8);
  }
}

TEST(string_escape, hex_bytes_give_the_exact_bytes_back) {
  mstring_t hex;
  ASSERT_TRUE(append_hex_bytes(hex, "\x00\xff\x10z", 4));
  EXPECT_STREQ(hex.c_str(), "00ff107a");
}

TEST(string_escape, shown_names_stay_as_they_are_unless_a_terminal_would_act_on_them) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain/a\\b \"q\".txt", "plain/a\\b \"q\".txt"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
      {"a\\b\x1b[2J", "a\\\\b\\x1B[2J"},
      {"bad\xff", "bad\\xFF"},
      {"\xc2\x9b" "1m", "\\u009B1m"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(std::string(shown_name_t(c.first.c_str()).c_str()), c.second) << c.second;
}
