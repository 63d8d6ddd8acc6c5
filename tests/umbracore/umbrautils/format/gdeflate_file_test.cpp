// The file-based compress over memory files: the whole input from its start, the stream
// at the output's position, and failures reported instead of lost.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_file.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace {

using umbra::u64;
using umbra::u8;

std::string sample(size_t n) {
  std::string s;
  while (s.size() < n) s += "tile streams hold pages of sixty-four kibibytes " + std::to_string(s.size() % 977);
  s.resize(n);
  return s;
}

TEST(gdeflate_file, compresses_the_whole_input_at_the_output_position) {
  const std::string text = sample(70000);
  auto in = umbra::mem_file_create_read_only(text.data(), text.size(), "in");
  in->set_position(500);  // ignored: the whole input is read from its start
  auto out = umbra::mem_file_create();
  ASSERT_TRUE(out->write("HEAD", 4));
  ASSERT_TRUE(umbra::gdeflate_compress_file(*out, *in));

  const u64 stream_size = out->get_size() - 4;
  EXPECT_EQ(out->get_position(), out->get_size());
  std::vector<u8> stream(stream_size);
  ASSERT_TRUE(out->read_at(stream.data(), stream_size, 4));
  std::vector<u8> back(text.size());
  ASSERT_TRUE(umbra::gdeflate_decompress(back.data(), back.size(), stream.data(), stream.size()));
  EXPECT_EQ(std::string(back.begin(), back.end()), text);
}

TEST(gdeflate_file, failures_are_reported) {
  auto empty = umbra::mem_file_create();
  auto out = umbra::mem_file_create();
  EXPECT_FALSE(umbra::gdeflate_compress_file(*out, *empty));
  EXPECT_EQ(out->get_size(), 0u);

  const std::string text = sample(1000);
  auto in = umbra::mem_file_create_read_only(text.data(), text.size(), "in");
  auto read_only_out = umbra::mem_file_create_read_only(text.data(), 0, "out");
  EXPECT_FALSE(umbra::gdeflate_compress_file(*read_only_out, *in));
}

}  // namespace
