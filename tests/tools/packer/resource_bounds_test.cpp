// Hostile archives of a few kilobytes that claim huge counts and sizes: extract,
// list and verify refuse them at a cost that follows what the archive truly stores, not
// what it claims. Memory is the child's peak resident set beside that of the same
// command on a small sound archive; time is its processor time (not the wall clock,
// which a loaded machine stretches), bounded generously.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "support/run_tool.h"
#include "umbracore/ufs/fs_meta.h"

namespace {

using namespace umbra_test;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double CPU_SECONDS_LIMIT = 5.0;  // the sanitizers' start-up and checks
#else
constexpr double CPU_SECONDS_LIMIT = 1.0;
#endif
// Beyond the sound archive's peak: room for one plausible entry and the decoders.
constexpr long EXTRA_RSS_LIMIT_KB = 8 << 10;

std::string zlib_of(size_t n) { return zlib_deflate(std::string(n, 'z')); }

std::vector<uint32_t> huge_image_words() {
  umbra::fs_meta_image_t image{umbra::format_t::BC1_UNORM, 0, 65536, 65536, 1, 16, 256, 512};
  uint32_t words[umbra::FS_META_IMAGE_WORDS] = {};
  umbra::fs_meta_pack_image(image, words);
  return {words[0], words[1]};
}

struct hostile_case_t {
  const char* name;
  std::string archive;
};

std::vector<hostile_case_t> hostile_archives() {
  std::vector<hostile_case_t> cases;
  auto tree = [] {
    cairn_v2_builder_t b;
    b.add_directory("", b.add_plain(v2_listing({"a.txt"})));
    b.add_file("a.txt", b.add_zlib(std::string(100, 'a')));
    return b;
  };
  cairn_v2_builder_t b = tree();
  b.entry_count = 0x0fffffff;
  cases.push_back({"v2 entry count of 268 million", b.build()});
  b = tree();
  b.metadata_count = 0x0fffffff;
  cases.push_back({"v2 metadata count of 268 million", b.build()});

  cairn_v2_builder_t c;
  const std::string stored = zlib_of(3000);
  c.add_directory("", c.add_plain(v2_listing({"big", "ratio", "t.tobj"})));
  const int block = c.add_block(stored, 0xfffffff, 1);
  c.add_entry(v2_entry_spec_t("big", false, {v2_record_t(128, {}, block)}));
  // As much as the stored bytes could at most make, but the stream ends long before.
  c.add_entry(v2_entry_spec_t(
      "ratio", false, {v2_record_t(128, v2_chunk_words(stored.size(), stored.size() * 1032, c.block_offset(block), 1))}));
  c.add_image("t.tobj", huge_image_words(), std::nullopt, c.add_plain(std::string(64, 'p')));
  cases.push_back({"v2 chunks and an image claiming gigabytes", c.build()});

  cairn_v2_builder_t l;
  l.add_directory("", l.add_plain(v2_listing({"a"}, 0x40000)));
  cases.push_back({"v2 listing of 262144 children in a few bytes", l.build()});

  cairn_v1_builder_t v1;
  v1.add_directory("", "big\r\n");
  v1_entry_spec_t big;
  big.path = "big";
  big.content = std::string(100, 'b');
  big.compressed = true;
  big.size = 0xfffffff0u;
  v1.add(big);
  cases.push_back({"v1 file claiming 4 GiB", v1.build()});
  v1.entry_count = 0x10000000;
  cases.push_back({"v1 entry count of 268 million", v1.build()});
  return cases;
}

class resource_bounds_test : public ::testing::Test {
 protected:
  tool_result_t run(const std::string& command) {
    std::vector<std::string> args = {command, dir / "a.qar"};
    if (command == "extract") args.insert(args.end(), {"-root", dir / "out"});
    return run_packer(args, dir.path());
  }
  temp_dir_t dir;
};

TEST_F(resource_bounds_test, hostile_claims_cost_what_the_archive_stores) {
  cairn_v2_builder_t sound;
  sound.add_directory("", sound.add_plain(v2_listing({"a.txt"})));
  sound.add_file("a.txt", sound.add_zlib(std::string(100, 'a')));
  for (const char* command : {"extract", "list", "verify"}) {
    write_file(dir / "a.qar", sound.build());
    const tool_result_t baseline = run(command);
    ASSERT_EQ(baseline.exit_code, 0) << command << baseline.err;
    for (const hostile_case_t& c : hostile_archives()) {
      SCOPED_TRACE(std::string(command) + " of " + c.name);
      EXPECT_LT(c.archive.size(), 8192u);
      write_file(dir / "a.qar", c.archive);
      const tool_result_t r = run(command);
      EXPECT_EQ(r.signal, 0);
      EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.exit_code;
      if (r.exit_code == 1) {
        EXPECT_NE(r.err.find("*** ERROR ***"), std::string::npos) << r.err;
      }
      EXPECT_LT(r.cpu_seconds, CPU_SECONDS_LIMIT);
      EXPECT_LT(r.max_rss_kb, baseline.max_rss_kb + EXTRA_RSS_LIMIT_KB) << "baseline " << baseline.max_rss_kb;
    }
  }
}

}  // namespace
