// End-to-end checks of the command line on the real binary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_tool.h"

using umbra_test::crlf_lines;
using umbra_test::run_packer;

namespace {

const std::vector<std::string> usage_lines = {
    "packer: usage: qar_packer <command>",
    "commands:",
    "\textract archive.qar [options]\t\t\tExtracts content of Cairn archive",
    "\t\t-root <path>\t\t\t\tSet packer root for file operations",
    "\t\t-io-buffers-size <mb>\t\t\tLimit on size of IO buffers used during the operation (v2).",
    "\tcreate archive.qar [options]\t\t\tCreate a Cairn archive",
    "\t\t-root <path>\t\t\t\tSet packer root for file operations",
    "\t\t-nocompress\t\t\t\tDisable compression (v2)",
};

struct command_case_t {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  std::string err;
};

}  // namespace

TEST(command_line, failure_rows_print_exactly_their_lines) {
  umbra_test::temp_dir_t dir;
  const std::string usage = crlf_lines(usage_lines);
  const command_case_t cases[] = {
      {"no command", {}, usage, ""},
      {"create without archive", {"create"}, usage, "*** ERROR *** : Invalid number of command parameters.\r\n"},
      {"extract without archive", {"extract"}, usage, "*** ERROR *** : Invalid number of command parameters.\r\n"},
      {"unknown command", {"pack", "x.qar"}, usage, "*** ERROR *** : Unknown command.\r\n"},
      {"command is case-sensitive", {"Create", "x.qar"}, usage, "*** ERROR *** : Unknown command.\r\n"},
      {"root without value", {"create", "x.qar", "-root"}, "", ""},
      {"root with two values", {"create", "x.qar", "-root", "a", "b"}, "", ""},
      {"root value starting with minus", {"create", "x.qar", "-root", "-x"}, "", ""},
      {"root value starting with plus", {"create", "x.qar", "-root", "+x"}, "", ""},
      {"nocompress with a value", {"create", "x.qar", "-nocompress", "yes"}, "", ""},
      {"bad root before unknown command", {"pack", "-root"}, "", ""},
      {"bad nocompress before missing archive", {"extract", "-nocompress", "v"}, "", ""},
  };
  for (const auto& c : cases) {
    auto result = run_packer(c.args, dir.path());
    EXPECT_EQ(result.exit_code, 1) << c.name;
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
  }
}

TEST(command_line, options_are_matched_byte_exactly) {
  umbra_test::temp_dir_t dir;
  // -ROOT is not -root, so its two values do not trip the one-value check; the archive is
  // then missing, which extract reports.
  auto result = run_packer({"extract", "missing.qar", "-ROOT", "a", "b"}, dir.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "*** ERROR *** : 'missing.qar' not found\r\n");
}

TEST(command_line, only_the_first_128_words_are_seen) {
  umbra_test::temp_dir_t dir;
  // Word 128 onwards would make -root invalid; they are never seen.
  std::vector<std::string> args = {"extract", "missing.qar"};
  while (args.size() < 125) args.push_back("filler");
  args.push_back("-root");
  args.push_back("out");  // word 127, the last one seen
  args.push_back("extra-value-not-seen");
  args.push_back("-root");
  auto result = run_packer(args, dir.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "*** ERROR *** : 'missing.qar' not found\r\n");
}

TEST(command_line, oversized_and_invalid_arguments_do_not_crash) {
  umbra_test::temp_dir_t dir;
  auto result = run_packer({"extract", std::string(3000, 'a') + ".qar"}, dir.path());
  // The 3000-byte word does not fit the 2048-byte text area, so it is dropped.
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, crlf_lines(usage_lines));
  EXPECT_EQ(result.err, "*** ERROR *** : Invalid number of command parameters.\r\n");
  auto invalid = run_packer({"extract", "bad\xff.qar"}, dir.path());
  EXPECT_EQ(invalid.exit_code, 1);
  EXPECT_EQ(invalid.err, "*** ERROR *** : 'bad\xef\xbf\xbd.qar' not found\r\n");
}
