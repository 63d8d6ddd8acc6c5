#include <gtest/gtest.h>

#include "tools/packer/glob.h"

using umbra::glob_match;

namespace {

struct glob_case_t {
  const char* pattern;
  const char* path;
  bool matches;
};

}  // namespace

TEST(glob, stars_stay_within_names_and_double_stars_cross_them) {
  const glob_case_t cases[] = {
      {"*.txt", "/a.txt", true},
      {"*.txt", "/d/a.txt", false},
      {"d/*.txt", "/d/a.txt", true},
      {"d/*", "/d/e/a.txt", false},
      {"**.txt", "/d/e/a.txt", true},
      {"**/*.txt", "/a.txt", true},
      {"**/*.txt", "/d/e/a.txt", true},
      {"a/**/b", "/a/b", true},
      {"a/**/b", "/a/x/y/b", true},
      {"a/**/b", "/a/xb", false},
      {"a/**", "/a/x/y", true},
      {"a/**", "/a", false},
      {"?.txt", "/a.txt", true},
      {"?.txt", "/ab.txt", false},
      {"?", "/\xc3\xa9", true},  // one character of two bytes
      {"a?b", "/a/b", false},    // never a separator
      {"*", "/", true},          // the root's empty path
      {"", "/", true},
      {"", "/a", false},
      {"/d/*.TXT", "/d/a.txt", false},  // byte for byte
      {"d\\*.txt", "/d/a.txt", true},   // a backslash separates
      {"d/*.txt", "/d\\a.txt", true},
      {"***", "/a/b", true},
      {"*a*a*a*a*a*a*a*a*a*b", "/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const auto& c : cases) EXPECT_EQ(glob_match(c.pattern, c.path), c.matches) << c.pattern << " " << c.path;
}
