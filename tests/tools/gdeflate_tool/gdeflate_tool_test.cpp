// The gdeflate_tool binary end to end: real files in a temporary directory, the exact
// lines it prints, its exit code and the bytes it writes.
#include <gtest/gtest.h>

#include <string>

#include "support/run_tool.h"

namespace {

using umbra_test::crlf_lines;
using umbra_test::file_exists;
using umbra_test::read_file;
using umbra_test::run_tool;
using umbra_test::tool_t;
using umbra_test::temp_dir_t;
using umbra_test::write_file;

const std::string usage = "*** ERROR *** : Usage: gdeflate_tool compress IN OUT | gdeflate_tool decompress IN OUT";

std::string sample_text(size_t n) {
  std::string s;
  while (s.size() < n) s += "Every page of sixty-four kibibytes is packed on its own. " + std::to_string(s.size());
  s.resize(n);
  return s;
}

TEST(gdeflate_tool, compress_then_decompress_restores_the_file) {
  temp_dir_t dir;
  const std::string original = sample_text(150000);
  write_file(dir / "in.bin", original);

  auto c = run_tool(tool_t::gdeflate, {"compress", dir / "in.bin", dir / "in.gd"});
  EXPECT_EQ(c.exit_code, 0);
  const std::string stream = read_file(dir / "in.gd");
  ASSERT_GT(stream.size(), 8u);
  EXPECT_LT(stream.size(), original.size());
  EXPECT_EQ(c.out, crlf_lines({"Compressed 150000 bytes into " + std::to_string(stream.size()) + " bytes."}));
  EXPECT_EQ(c.err, "");
  EXPECT_EQ(stream.substr(0, 4), std::string("\x04\xFB\x03\x00", 4));

  auto d = run_tool(tool_t::gdeflate, {"decompress", dir / "in.gd", dir / "out.bin"});
  EXPECT_EQ(d.exit_code, 0);
  EXPECT_EQ(d.out, crlf_lines({"Decompressed " + std::to_string(stream.size()) + " bytes into 150000 bytes."}));
  EXPECT_EQ(read_file(dir / "out.bin"), original);
}

TEST(gdeflate_tool, decompresses_a_reference_stream) {
  temp_dir_t dir;
  const std::string vectors = std::string(UMBRA_TEST_DATA_DIR) + "/gdeflate/";
  auto d = run_tool(tool_t::gdeflate, {"decompress", vectors + "v08_mixed160k.L12.gd", dir / "out.bin"});
  EXPECT_EQ(d.exit_code, 0);
  EXPECT_EQ(read_file(dir / "out.bin"), read_file(vectors + "v08_mixed160k.bin"));
}

TEST(gdeflate_tool, bad_input_gives_an_error_line_and_no_output) {
  temp_dir_t dir;
  write_file(dir / "empty.bin", "");
  write_file(dir / "text.bin", sample_text(1000));
  run_tool(tool_t::gdeflate, {"compress", dir / "text.bin", dir / "good.gd"});
  std::string damaged = read_file(dir / "good.gd");
  damaged.resize(damaged.size() - 4);
  write_file(dir / "cut.gd", damaged);

  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, usage},
      {{"compress", dir / "text.bin"}, usage},
      {{"inflate", dir / "text.bin", dir / "out"}, usage},
      {{"compress", dir / "missing.bin", dir / "out"}, "*** ERROR *** : Can not read \"" + dir / "missing.bin" + "\"."},
      {{"compress", dir / "empty.bin", dir / "out"},
       "*** ERROR *** : \"" + dir / "empty.bin" + "\" is empty: there is nothing to compress."},
      {{"decompress", dir / "text.bin", dir / "out"},
       "*** ERROR *** : \"" + dir / "text.bin" + "\" is not a valid GDeflate tile stream."},
      {{"decompress", dir / "cut.gd", dir / "out"},
       "*** ERROR *** : \"" + dir / "cut.gd" + "\" is not a valid GDeflate tile stream."},
      {{"decompress", dir / "empty.bin", dir / "out"},
       "*** ERROR *** : \"" + dir / "empty.bin" + "\" is not a valid GDeflate tile stream."},
      {{"compress", dir / "text.bin", dir / "no_such_dir/out"},
       "*** ERROR *** : Can not write \"" + dir / "no_such_dir/out" + "\"."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    auto r = run_tool(tool_t::gdeflate, c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, crlf_lines({c.err}));
    EXPECT_FALSE(file_exists(dir / "out"));
  }
}

}  // namespace
