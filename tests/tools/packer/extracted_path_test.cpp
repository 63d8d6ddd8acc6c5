// Vetting of archive paths before extraction creates files: every rule, in its order,
// with its exact message; and the creation itself on the system file device.
#include "tools/packer/extracted_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_file.h"

using umbra::mstring_t;

namespace {

mstring_t make_path(const std::string& bytes) {
  mstring_t path;
  path.assign(bytes.data(), bytes.size());  // keeps embedded zeros
  return path;
}

std::string refusal(const std::string& path, const char* reason) {
  return "Path '" + path + "' is not supported: " + reason;
}

std::string empty_path(const std::string& path) { return "Empty path '" + path + "' encountered in the archive."; }

// Fullwidth letters, upper and lower case.
const std::string FULLWIDTH_CON_UPPER = "\xEF\xBC\xA3\xEF\xBC\xAF\xEF\xBC\xAE";
const std::string FULLWIDTH_CON_LOWER = "\xEF\xBD\x83\xEF\xBD\x8F\xEF\xBD\x8E";
const std::string FULLWIDTH_LPT_MIXED = "\xEF\xBC\xAC\xEF\xBD\x90\xEF\xBD\x94";
const std::string FULLWIDTH_DIGIT_1 = "\xEF\xBC\x91";

struct accepted_case_t {
  std::string path;
  std::string relative;
};

struct refused_case_t {
  std::string path;
  std::string message;
};

}  // namespace

TEST(extracted_path, accepted_paths_give_their_components_joined_by_slashes) {
  const accepted_case_t cases[] = {
      {"/a/b.txt", "a/b.txt"},
      {"a/b.txt", "a/b.txt"},
      {"a\\b.txt", "a/b.txt"},
      {"//a///b/", "a/b"},
      {"\\\\a\\/b\\", "a/b"},
      {"a/.hidden", "a/.hidden"},
      {"a/..x", "a/..x"},
      {"a/...x", "a/...x"},
      {"a/console", "a/console"},
      {"a/com10", "a/com10"},
      {"a/com0", "a/com0"},
      {"a/con .txt", "a/con .txt"},
      {"a/.con", "a/.con"},
      {"a/C\xC3\x93N", "a/C\xC3\x93N"},                            // CÓN
      {"a/com" + FULLWIDTH_DIGIT_1, "a/com" + FULLWIDTH_DIGIT_1},  // digits must match exactly
      {"a/b.c d", "a/b.c d"},
      {"a/ b", "a/ b"},
      {"a/\xE2\x82\xAC.txt", "a/\xE2\x82\xAC.txt"},  // €
      {"a/\xF0\x9F\x98\x80", "a/\xF0\x9F\x98\x80"},  // four-byte sequence
  };
  for (const auto& c : cases) {
    umbra_test::log_capture_t log;
    umbra::path_string_t relative;
    EXPECT_TRUE(umbra::vet_extracted_path(make_path(c.path), relative)) << c.path;
    EXPECT_EQ(relative.c_str(), c.relative) << c.path;
    EXPECT_TRUE(log.messages().empty()) << c.path;
  }
}

TEST(extracted_path, refused_paths_print_one_error_naming_the_first_broken_rule) {
  const refused_case_t cases[] = {
      // No component at all.
      {"/", empty_path("/")},
      {"", empty_path("")},
      {"///", empty_path("///")},
      {"\\", empty_path("\\")},
      // Special components, even where they would stay inside the root.
      {"a/../b", refusal("a/../b", "special component name")},
      {"a\\..\\b", refusal("a\\..\\b", "special component name")},
      {"../x", refusal("../x", "special component name")},
      {"./x", refusal("./x", "special component name")},
      {"a/.", refusal("a/.", "special component name")},
      // Reserved device names, whatever the case, extension or position.
      {"a/con", refusal("a/con", "special windows path")},
      {"a/CON.txt", refusal("a/CON.txt", "special windows path")},
      {"a/Con.tar.gz", refusal("a/Con.tar.gz", "special windows path")},
      {"a/com1", refusal("a/com1", "special windows path")},
      {"a/lpt9.log", refusal("a/lpt9.log", "special windows path")},
      {"a/COM\xC2\xB9", refusal("a/COM\xC2\xB9", "special windows path")},
      {"a/lPt\xC2\xB3.x", refusal("a/lPt\xC2\xB3.x", "special windows path")},
      {"a/prn", refusal("a/prn", "special windows path")},
      {"a/AuX", refusal("a/AuX", "special windows path")},
      {"a/nUl.x", refusal("a/nUl.x", "special windows path")},
      {"con/a", refusal("con/a", "special windows path")},
      {"a/" + FULLWIDTH_CON_UPPER, refusal("a/" + FULLWIDTH_CON_UPPER, "special windows path")},
      {"a/" + FULLWIDTH_CON_LOWER + ".txt", refusal("a/" + FULLWIDTH_CON_LOWER + ".txt", "special windows path")},
      {"a/" + FULLWIDTH_LPT_MIXED + "1", refusal("a/" + FULLWIDTH_LPT_MIXED + "1", "special windows path")},
      // Last character.
      {"a/b.", refusal("a/b.", "unsupported last character")},
      {"a/b ", refusal("a/b ", "unsupported last character")},
      {"a./b", refusal("a./b", "unsupported last character")},
      {"a/con.", refusal("a/con.", "unsupported last character")},  // before the device rule
      // Characters Windows does not accept in names; the line shows control bytes and
      // bytes that are not UTF-8 escaped.
      {"a/b:c", refusal("a/b:c", "unsupported character")},
      {"a/b?c", refusal("a/b?c", "unsupported character")},
      {"a/b*c", refusal("a/b*c", "unsupported character")},
      {"a/b|c", refusal("a/b|c", "unsupported character")},
      {"a/b<c", refusal("a/b<c", "unsupported character")},
      {"a/b>c", refusal("a/b>c", "unsupported character")},
      {"a/b\"c", refusal("a/b\"c", "unsupported character")},
      {"a/b\tc", refusal("a/b\\x09c", "unsupported character")},
      {"a/\x01", refusal("a/\\x01", "unsupported character")},
      {"a/b\x1F", refusal("a/b\\x1F", "unsupported character")},
      {"a/b:.", refusal("a/b:.", "unsupported character")},  // before the last-character rule
      // Not UTF-8, checked before the character rules.
      {"a/\xC0\xAF", refusal("a/\\xC0\\xAF", "not utf-8")},
      {"a/\x80", refusal("a/\\x80", "not utf-8")},
      {"a/\x80:", refusal("a/\\x80:", "not utf-8")},
      {"a/\xED\xA0\x80", refusal("a/\\xED\\xA0\\x80", "not utf-8")},           // surrogate
      {"a/\xF4\x90\x80\x80", refusal("a/\\xF4\\x90\\x80\\x80", "not utf-8")},  // above U+10FFFF
      {"a/\xE2\x82", refusal("a/\\xE2\\x82", "not utf-8")},                    // cut sequence
      // Components are judged first to last.
      {"a:/../b", refusal("a:/../b", "unsupported character")},
      {"con/b:", refusal("con/b:", "special windows path")},
  };
  for (const auto& c : cases) {
    umbra_test::log_capture_t log;
    umbra::path_string_t relative;
    relative.assign("stale");
    EXPECT_FALSE(umbra::vet_extracted_path(make_path(c.path), relative)) << c.path;
    EXPECT_TRUE(relative.empty()) << c.path;
    EXPECT_EQ(log.errors(), std::vector<std::string>{c.message}) << c.path;
    EXPECT_EQ(log.messages().size(), 1u) << c.path;
  }
}

TEST(extracted_path, embedded_zero_is_refused_before_any_other_rule) {
  umbra_test::log_capture_t log;
  umbra::path_string_t relative;
  EXPECT_FALSE(umbra::vet_extracted_path(make_path(std::string("a/b\0/../con", 11)), relative));
  EXPECT_EQ(log.errors(), std::vector<std::string>{"Path 'a/b' is not supported: embedded zero"});
}

TEST(extracted_path, a_relative_path_that_does_not_fit_the_output_is_refused) {
  umbra_test::log_capture_t log;
  umbra::string_local_t<8> relative;
  EXPECT_FALSE(umbra::vet_extracted_path(make_path("abcd/efgh"), relative));
  EXPECT_TRUE(relative.empty());
  EXPECT_EQ(log.errors(), std::vector<std::string>{"Path operation failed"});
}

TEST(extracted_path, directories_follow_the_file_rules_but_accept_the_root) {
  const accepted_case_t accepted[] = {{"/", ""}, {"/a/b", "a/b"}, {"/a/.b", "a/.b"}};
  for (const auto& c : accepted) {
    umbra_test::log_capture_t log;
    umbra::path_string_t relative;
    relative.assign("stale");
    EXPECT_TRUE(umbra::vet_extracted_directory(make_path(c.path), relative)) << c.path;
    EXPECT_EQ(relative.c_str(), c.relative) << c.path;
    EXPECT_TRUE(log.messages().empty()) << c.path;
  }
  const refused_case_t refused[] = {
      {"", empty_path("")},
      {"///", empty_path("///")},
      {"/a/..", refusal("/a/..", "special component name")},
      {"/..", refusal("/..", "special component name")},
      {"/Con", refusal("/Con", "special windows path")},
      {"/a/b.", refusal("/a/b.", "unsupported last character")},
      {"/a\x80", refusal("/a\\x80", "not utf-8")},  // shown escaped
  };
  for (const auto& c : refused) {
    umbra_test::log_capture_t log;
    umbra::path_string_t relative;
    EXPECT_FALSE(umbra::vet_extracted_directory(make_path(c.path), relative)) << c.path;
    EXPECT_EQ(log.errors(), std::vector<std::string>{c.message}) << c.path;
  }
}

TEST(extracted_path, target_path_joins_root_and_relative_path_with_one_separator) {
  const struct {
    const char* root;
    const char* expected;
  } cases[] = {
      {".", "./x/y"}, {"out/", "out/x/y"}, {"out\\", "out\\x/y"}, {"out", "out/x/y"}, {"", "/x/y"},
  };
  for (const auto& c : cases) {
    mstring_t target;
    EXPECT_TRUE(umbra::make_extracted_target_path(c.root, mstring_t("x/y"), target)) << c.root;
    EXPECT_EQ(target.c_str(), std::string(c.expected)) << c.root;
  }
}

TEST(compare_folded, folds_ascii_fullwidth_and_accented_letters) {
  using umbra::compare_folded;
  EXPECT_EQ(compare_folded("con", "CON"), 0);
  EXPECT_EQ(compare_folded(FULLWIDTH_CON_UPPER.c_str(), "con"), 0);
  EXPECT_EQ(compare_folded(FULLWIDTH_CON_LOWER.c_str(), "CON"), 0);
  EXPECT_EQ(compare_folded("STRASSE",
                           "stra\xC3\x9F"
                           "e"),
            0);                                                            // ß is "ss"
  EXPECT_EQ(compare_folded("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"), 0);  // Été
  EXPECT_EQ(compare_folded("\xD0\x90", "\xD0\xB0"), 0);                    // Cyrillic А / а
  EXPECT_EQ(compare_folded("\xCE\xA3", "\xCF\x83"), 0);                    // Greek Σ / σ
  EXPECT_EQ(compare_folded("COM\xC2\xB9", "com\xC2\xB9"), 0);
  EXPECT_NE(compare_folded("COM1", "COM\xC2\xB9"), 0);
  EXPECT_NE(compare_folded("COM1", ("COM" + FULLWIDTH_DIGIT_1).c_str()), 0);
  EXPECT_LT(compare_folded("a", "B"), 0);
  EXPECT_GT(compare_folded("ab", "A"), 0);
  EXPECT_LT(compare_folded("a", "ab"), 0);
  // A byte that starts no sequence stands for itself as a signed byte.
  EXPECT_EQ(compare_folded("\x80x", "\x80X"), 0);
  EXPECT_EQ(compare_folded("\x80", "a"), -128 - 'a');
  EXPECT_EQ(compare_folded("", ""), 0);
}

// Creation on the system file device.
class extracted_file_test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(umbra::fs_startup()); }
  void TearDown() override { umbra::fs_shutdown(); }

  umbra_test::temp_dir_t dir;
};

TEST_F(extracted_file_test, creates_or_empties_the_target_and_reports_its_path) {
  umbra_test::make_dirs(dir / "out/a");
  umbra_test::write_file(dir / "out/a/b.txt", "old content");
  const std::string root = dir / "out";
  for (const char* archive_path : {"/a/b.txt", "a/b.txt", "a\\b.txt"}) {
    umbra_test::log_capture_t log;
    mstring_t target("stale");
    umbra::auto_ptr_t<umbra::file_t> file =
        umbra::create_extracted_file(mstring_t(archive_path), root.c_str(), &target);
    ASSERT_TRUE(file) << archive_path;
    EXPECT_EQ(target.c_str(), root + "/a/b.txt");
    EXPECT_TRUE(file->write("xy", 2));
    file.reset();
    EXPECT_EQ(umbra_test::read_file(root + "/a/b.txt"), "xy");
    EXPECT_TRUE(log.messages().empty());
  }
}

TEST_F(extracted_file_test, root_ending_in_a_separator_gets_no_second_one) {
  umbra_test::make_dirs(dir / "out/x");
  const std::string root = dir / "out/";
  mstring_t target;
  auto file = umbra::create_extracted_file(mstring_t("x/y"), root.c_str(), &target);
  ASSERT_TRUE(file);
  EXPECT_EQ(target.c_str(), dir / "out/x/y");
  EXPECT_TRUE(umbra_test::file_exists(dir / "out/x/y"));
}

TEST_F(extracted_file_test, refused_path_touches_nothing_on_disk) {
  umbra_test::make_dirs(dir / "out/a");
  const std::string root = dir / "out/a";
  for (const char* archive_path : {"../escaped", "..\\escaped", "x/../../escaped", "con", "b:c"}) {
    umbra_test::log_capture_t log;
    mstring_t target("stale");
    EXPECT_FALSE(umbra::create_extracted_file(mstring_t(archive_path), root.c_str(), &target)) << archive_path;
    EXPECT_TRUE(target.empty());
    EXPECT_EQ(log.errors().size(), 1u) << archive_path;
  }
  EXPECT_FALSE(umbra_test::file_exists(dir / "out/escaped"));
  EXPECT_FALSE(umbra_test::file_exists(dir / "escaped"));
  EXPECT_FALSE(umbra_test::file_exists(dir / "out/a/con"));
  EXPECT_FALSE(umbra_test::file_exists(dir / "out/a/b:c"));
}

TEST_F(extracted_file_test, failing_open_prints_its_line_then_the_target) {
  // A file stands where the destination directory should be created.
  umbra_test::write_file(dir / "blocker", "x");
  umbra_test::log_capture_t log;
  const std::string root = dir / "blocker";
  mstring_t target("stale");
  EXPECT_FALSE(umbra::create_extracted_file(mstring_t("a/b.txt"), root.c_str(), &target));
  EXPECT_TRUE(target.empty());
  const std::string full = root + "/a/b.txt";
  const std::vector<std::string> errors = log.errors();
  ASSERT_GE(errors.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(errors.end() - 2, errors.end()),
            (std::vector<std::string>{"[fs] Failed to open file '" + full + "' in the create_truncate mode.",
                                      "Failed to create file '" + full + "'!"}));
}
