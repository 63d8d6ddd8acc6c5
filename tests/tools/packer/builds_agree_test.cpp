// The tool under test against this build's own qar_packer: an archive does not depend
// on the system that made it. When the environment puts another build in place (the
// Windows executables under Wine), both builds must write the same bytes from the same
// tree; with this build alone, two runs must.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/packer_fixture.h"
#include "support/run_tool.h"

using namespace umbra_test;

namespace {

class builds_agree_test : public packer_tree_test_t {
 protected:
  // Creates an archive of root with the tool under test and with this build's binary,
  // from the same working directory and with the same arguments, and compares them.
  void expect_same_archive(const std::string& root, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"create", "tested.qar", "-root", root};
    args.insert(args.end(), options.begin(), options.end());
    const tool_result_t tested = run_packer(args, dir.path());
    ASSERT_EQ(tested.exit_code, 0) << tested.err;
    args[1] = "native.qar";
    const tool_result_t native = run_program(QAR_PACKER_BINARY, args, dir.path());
    ASSERT_EQ(native.exit_code, 0) << native.err;
    EXPECT_EQ(tested.out, native.out);
    EXPECT_EQ(tested.err, native.err);
    const std::string made = read_file(dir / "tested.qar");
    ASSERT_FALSE(made.empty());
    EXPECT_TRUE(made == read_file(dir / "native.qar")) << "the archives differ";
  }
};

}  // namespace

TEST_F(builds_agree_test, the_bundled_sample_gives_the_same_archive) {
  const std::string sample = std::string(UMBRA_SOURCE_DIR) + "/sample/tree";
  for (const auto& options : std::vector<std::vector<std::string>>{{}, {"-nocompress"}, {"-dedupe"}}) {
    SCOPED_TRACE(options.empty() ? "defaults" : options[0]);
    expect_same_archive(sample, options);
  }
}

TEST_F(builds_agree_test, names_beyond_ascii_and_long_paths_give_the_same_archive) {
  add("a.txt", "alpha");
  add("empty.bin", "");
  add("utf8/\xc3\xa9t\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac.txt", "unicode names");
  add("\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0/\xce\xb1\xce\xb2\xce\xb3.txt", "cyrillic and greek");
  add("emoji/\xf0\x9f\x98\x80.txt", "outside the basic plane: a surrogate pair in UTF-16");
  add("big/repeat.bin", std::string(300000, 'r'));
  add("big/copy_of_repeat.bin", std::string(300000, 'r'));
  add(std::string(200, 'n') + "/" + std::string(54, 'm'), "a 255-byte relative path");
  make_dirs(src() + "/empty_dir");
  for (const auto& options : std::vector<std::vector<std::string>>{{}, {"-dedupe"}}) {
    SCOPED_TRACE(options.empty() ? "defaults" : options[0]);
    expect_same_archive("src", options);
  }
}
