// End-to-end checks of the command line on the real binary.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "tools/packer/option_table.h"

using umbra_test::crlf_lines;
using umbra_test::run_packer;

namespace {

const std::vector<std::string> USAGE_LINES = {
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
  const std::string usage = crlf_lines(USAGE_LINES);
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
  // then missing, which extract reports after the warning about the unknown word.
  auto result = run_packer({"extract", "missing.qar", "-ROOT", "a", "b"}, dir.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "*** WARNING *** : Unknown option '-ROOT' for extract is ignored\r\n"
            "*** ERROR *** : 'missing.qar' not found\r\n");
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
  EXPECT_EQ(result.out, crlf_lines(USAGE_LINES));
  EXPECT_EQ(result.err, "*** ERROR *** : Invalid number of command parameters.\r\n");
  auto invalid = run_packer({"extract", "bad\xff.qar"}, dir.path());
  EXPECT_EQ(invalid.exit_code, 1);
  EXPECT_EQ(invalid.err, "*** ERROR *** : 'bad\xef\xbf\xbd.qar' not found\r\n");
}

TEST(command_line, help_names_every_command_and_option_and_succeeds) {
  umbra_test::temp_dir_t dir;
  for (const char* word : {"--help", "-h", "help"}) {
    SCOPED_TRACE(word);
    // Help works even where the rest of the line would fail.
    auto result = run_packer({word, "-root"}, dir.path());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("packer: usage: qar_packer <command> archive.qar [options]\r\n", 0), 0u);
    umbra::u32 count = 0;
    const umbra::packer_command_row_t* commands = umbra::packer_command_rows(&count);
    for (umbra::u32 i = 0; i < count; ++i)
      EXPECT_NE(result.out.find("\r\n  " + std::string(commands[i].name) + " "), std::string::npos) << commands[i].name;
    const umbra::packer_option_row_t* options = umbra::packer_option_rows(&count);
    for (umbra::u32 i = 0; i < count; ++i) {
      std::string shown = "      " + std::string(options[i].name) + (*options[i].value ? " " : "") + options[i].value;
      EXPECT_NE(result.out.find("\r\n" + shown + " "), std::string::npos) << shown;
    }
  }
}

TEST(command_line, version_prints_one_line_and_succeeds) {
  umbra_test::temp_dir_t dir;
  auto result = run_packer({"--version"}, dir.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(std::regex_match(result.out, std::regex("qar_packer [0-9]+\\.[0-9]+\\.[0-9]+\r\n"))) << result.out;
}

TEST(command_line, words_that_are_no_option_of_the_command_are_warned_about_and_ignored) {
  umbra_test::temp_dir_t dir;
  umbra_test::make_dirs(dir / "src/d");
  umbra_test::write_file(dir / "src/d/a.txt", "alpha");
  auto plain = run_packer({"create", "plain.qar", "-root", "src"}, dir.path());
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  // The typo and an option of the other command are named; -root still works.
  auto typo = run_packer({"create", "typo.qar", "-root", "src", "-nocompres", "-io-buffers-size", "4"}, dir.path());
  EXPECT_EQ(typo.exit_code, 0);
  EXPECT_EQ(typo.out, plain.out);
  EXPECT_EQ(typo.err,
            "*** WARNING *** : Unknown option '-nocompres' for create is ignored\r\n"
            "*** WARNING *** : Unknown option '-io-buffers-size' for create is ignored\r\n");
  EXPECT_EQ(umbra_test::read_file(dir / "typo.qar"), umbra_test::read_file(dir / "plain.qar"));

  // extract a.qar -roo out: the value of the typo is not a path to extract, and the
  // archive is extracted where it was before, into the working directory.
  auto extracted = run_packer({"extract", "plain.qar", "-roo", "out"}, dir.path());
  EXPECT_EQ(extracted.exit_code, 0);
  EXPECT_EQ(extracted.err, "*** WARNING *** : Unknown option '-roo' for extract is ignored\r\n");
  EXPECT_EQ(umbra_test::read_file(dir / "d/a.txt"), "alpha");
  EXPECT_FALSE(umbra_test::file_exists(dir / "out"));

  // A word that would drive the terminal is shown escaped; the exit code is extract's.
  auto hostile = run_packer({"extract", "missing.qar", "-\x1b[2J\x07", "-"}, dir.path());
  EXPECT_EQ(hostile.exit_code, 1);
  EXPECT_EQ(hostile.err,
            "*** WARNING *** : Unknown option '-\\x1B[2J\\x07' for extract is ignored\r\n"
            "*** WARNING *** : Unknown option '-' for extract is ignored\r\n"
            "*** ERROR *** : 'missing.qar' not found\r\n");
}
