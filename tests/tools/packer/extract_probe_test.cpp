// End-to-end: what extract says about files that are not archives it can read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "support/run_tool.h"

using umbra_test::run_packer;
using umbra_test::write_file;

namespace {

std::string header(const char* magic, unsigned version) {
  std::string bytes(magic, 4);
  bytes += (char)(version & 0xFF);
  bytes += (char)(version >> 8);
  bytes += std::string(6, '\0');  // salt, hash method
  bytes += std::string(64, 'x');
  return bytes;
}

}  // namespace

TEST(extract_probe, files_that_are_no_readable_archive) {
  umbra_test::temp_dir_t dir;
  write_file(dir / "text.qar", "this is plain text, not an archive");
  write_file(dir / "tiny.qar", "QAR");
  write_file(dir / "v3.qar", header("QAR#", 3));
  write_file(dir / "v0.qar", header("QAR#", 0));
  write_file(dir / "lower.qar", header("qar#", 2));
  umbra_test::make_dirs(dir / "folder.qar");
  ASSERT_EQ(mkfifo((dir / "pipe.qar").c_str(), 0600), 0);
  struct case_t {
    std::string archive;
    std::string err;
  } cases[] = {
      {"missing.qar", "'missing.qar' not found"},
      {"folder.qar", "'folder.qar' not found"},
      {"pipe.qar", "'pipe.qar' not found"},
      {"text.qar", "Unsupported file format!"},
      {"tiny.qar", "Unsupported file format!"},
      {"lower.qar", "Unsupported file format!"},
      {"v3.qar", "Unsupported version of cairn format!"},
      {"v0.qar", "Unsupported version of cairn format!"},
      {dir / "v3.qar", "Unsupported version of cairn format!"},
  };
  for (const case_t& c : cases) {
    auto result = run_packer({"extract", c.archive}, dir.path());
    EXPECT_EQ(result.exit_code, 1) << c.archive;
    EXPECT_EQ(result.out, "") << c.archive;
    EXPECT_EQ(result.err, "*** ERROR *** : " + c.err + "\r\n") << c.archive;
  }
  // Nothing was written below the destination.
  EXPECT_EQ(umbra_test::run_program("/bin/sh", {"-c", "ls -A | wc -l"}, dir.path()).out, "7\n");
}

TEST(extract_probe, the_fallback_pump_gives_the_same_answers) {
  UMBRA_SKIP_FOR_WINDOWS_TOOLS("the pread fallback stands in for io_uring, which only Linux has");
  umbra_test::temp_dir_t dir;
  write_file(dir / "v3.qar", header("QAR#", 3));
  auto result = umbra_test::run_program("/usr/bin/env", {"UMBRA_IO_BACKEND=pread", QAR_PACKER_BINARY, "extract", "v3.qar"},
                                        dir.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "*** ERROR *** : Unsupported version of cairn format!\r\n");
}
