// The paths where create and extract run many tasks and reads at once, end to end, for
// the ThreadSanitizer run (scripts/tsan.sh runs these beside the "concurrency" label):
// an entry task that fails first or last among two hundred, and extraction of many
// files, some larger than the budget, through an IO budget of 1 MiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"
#include "umbracore/ufs/cairn_path_hash.h"

namespace {

using namespace umbra_test;

constexpr int FILE_COUNT = 200;

std::string file_name(int i) { return "d" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".bin"; }

std::string file_content(int i) {
  // Compressible, incompressible and empty files; every 50th is larger than 1 MiB.
  if (i % 50 == 7) return std::string((1 << 20) + 4096 * i, (char)('a' + i % 26));
  if (i % 3 == 0) return random_bytes(1000 + 37 * i, (uint32_t)i);
  if (i % 17 == 0) return "";
  return std::string(500 + 11 * i, (char)('a' + i % 26));
}

class parallel_paths_test : public packer_tree_test_t {
 protected:
  void add_files() {
    for (int i = 0; i < FILE_COUNT; ++i) add(file_name(i), file_content(i));
  }
};

TEST_F(parallel_paths_test, a_task_failing_first_or_last_fails_the_run_cleanly) {
  // The entries are ordered by hash in the table: the failing model file is the first
  // and then the last entry there.
  add_files();
  ASSERT_EQ(create().exit_code, 0);
  const std::string old_archive = read_file(archive());
  uint64_t lowest = ~0ull, highest = 0;
  for (const auto& [path, bytes] : tree_snapshot(src())) {
    const std::string relative = path.back() == '/' ? path.substr(0, path.size() - 1) : path;
    const uint64_t hash = umbra::cairn_hash_relative_path(relative.c_str());
    lowest = std::min(lowest, hash);
    highest = std::max(highest, hash);
  }
  std::string first, last;
  for (int i = 0; i < 1000000 && (first.empty() || last.empty()); ++i) {
    const std::string name = std::to_string(i) + ".umg";
    const uint64_t hash = umbra::cairn_hash_relative_path(name.c_str());
    if (first.empty() && hash < lowest) first = name;
    if (last.empty() && hash > highest) last = name;
  }
  ASSERT_FALSE(first.empty() || last.empty());
  for (const std::string& bad : {first, last}) {
    SCOPED_TRACE(bad);
    add(bad, std::string(112, 'x'));  // no model header
    const tool_result_t r = create();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("*** ERROR *** : Failed to extract meta data from (" + bad + ")\r\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(archive()), old_archive);
    const auto top = tree_snapshot(dir.path());
    for (const auto& [path, bytes] : top) {
      EXPECT_TRUE(path == "a.qar" || path.rfind("src/", 0) == 0) << "left behind: " << path;
    }
    std::remove((src() + "/" + bad).c_str());
  }
}

TEST_F(parallel_paths_test, many_files_come_back_whole_through_a_budget_of_one_mebibyte) {
  add_files();
  ASSERT_EQ(create().exit_code, 0);
  const tool_result_t r = extract({"-io-buffers-size", "1"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_snapshot(out()), tree_snapshot(src()));
}

}  // namespace
