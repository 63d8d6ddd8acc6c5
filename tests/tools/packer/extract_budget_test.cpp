// The IO budget of version 2 extraction, observed inside the process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "support/run_tool.h"
#include "tools/packer/extract.h"
#include "tools/packer/runtime.h"
#include "umbracore/cdl/cdl.h"
#include "umbracore/ufs/fs_device.h"

using namespace umbra;

namespace {

class extract_budget_test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { runtime_startup(); }
  static void TearDownTestSuite() { runtime_shutdown(); }

  // Runs extract_v2 as the tool would with the given option words.
  bool extract(const std::vector<std::string>& options) {
    words = {"qar_packer", "extract", archive()};
    words.insert(words.end(), options.begin(), options.end());
    std::vector<const char*> argv;
    for (auto& w : words) argv.push_back(w.c_str());
    cdl = &store;
    cdl_init((int)argv.size(), argv.data());
    auto_ptr_t<file_t> file;
    if (!fs_open(file, archive().c_str(), FS_MODE_READ_ONLY, FS_DEVICE_SYSFS)) return false;
    return extract_v2((dir / "out").c_str(), file, nullptr, &stats);
  }
  std::string archive() const { return dir / "a.qar"; }

  umbra_test::temp_dir_t dir;
  std::vector<std::string> words;
  cdl_t store{};
  extract_v2_stats_t stats;
};

}  // namespace

TEST_F(extract_budget_test, files_larger_than_the_budget_are_read_one_at_a_time) {
  umbra_test::cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(umbra_test::v2_listing({"1.bin", "2.bin", "3.bin"})));
  for (char c : {'1', '2', '3'}) b.add_file(std::string(1, c) + ".bin", b.add_plain(std::string(4 << 20, c)));
  umbra_test::write_file(archive(), b.build());

  ASSERT_TRUE(extract({"-io-buffers-size", "1"}));
  EXPECT_EQ(stats.max_jobs_in_flight, 1u);
  EXPECT_EQ(umbra_test::read_file(dir / "out/3.bin"), std::string(4 << 20, '3'));

  ASSERT_TRUE(extract({"-io-buffers-size", "9"}));
  EXPECT_EQ(stats.max_jobs_in_flight, 3u);  // 8 MiB in flight is below 9 MiB
  ASSERT_TRUE(extract({}));
  EXPECT_EQ(stats.max_jobs_in_flight, 3u);
}
