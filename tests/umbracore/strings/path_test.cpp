#include <gtest/gtest.h>

#include <string>

#include "umbracore/strings/path.h"

using namespace umbra;

TEST(path, join_puts_one_separator_between_unless_the_directory_ends_in_one) {
  const struct {
    const char* directory;
    const char* name;
    const char* joined;
  } cases[] = {
      {"", "x", "/x"},      {"/", "x", "/x"},         {"out", "a/b", "out/a/b"},
      {"out/", "x", "out/x"}, {"C:\\out\\", "x", "C:\\out\\x"}, {"./", "/a", ".//a"},
  };
  for (const auto& c : cases) {
    mstring_t out("stale");
    EXPECT_TRUE(path_join(out, c.directory, c.name));
    EXPECT_STREQ(out.c_str(), c.joined) << c.directory << " + " << c.name;
  }
}

TEST(path, join_that_does_not_fit_leaves_nothing) {
  string_local_t<8> out;
  EXPECT_FALSE(path_join(out, "root", "long-name"));
  EXPECT_TRUE(out.empty());
}

TEST(path, extension_and_last_component_stop_at_either_separator) {
  const struct {
    const char* path;
    const char* last_component;
    const char* extension;
  } cases[] = {
      {"a/b.c/d.tobj", "d.tobj", ".tobj"}, {"a.dir\\file", "file", ""}, {"a.dir/file", "file", ""},
      {"name.tar.gz", "name.tar.gz", ".gz"}, {"dir/", "", ""},          {".hidden", ".hidden", ".hidden"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    const std::string path = c.path;
    EXPECT_STREQ(path_last_component(c.path), c.last_component) << path;
    EXPECT_STREQ(path_extension(c.path, path.size()), c.extension) << path;
  }
  // Only the first length bytes count.
  const char* cut = "a.txt/b.bin";
  EXPECT_EQ(path_extension(cut, 5), cut + 1);
  EXPECT_EQ(path_last_component_offset(cut, 5), 0u);
}
