// End-to-end checks of `extract` for version 1 archives on the real binary.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "support/run_tool.h"

using namespace umbra_test;

namespace {

class extract_v1_test : public ::testing::Test {
 protected:
  std::string out() const { return dir / "out"; }
  std::string archive() const { return dir / "old.qar"; }
  tool_result_t extract() { return run_packer({"extract", archive(), "-root", out()}, dir.path()); }
  std::vector<std::string> written() const {
    std::vector<std::string> paths;
    if (!file_exists(out())) return paths;
    for (auto& item : std::filesystem::recursive_directory_iterator(out()))
      paths.push_back(item.path().string().substr(out().size()));
    std::sort(paths.begin(), paths.end());
    return paths;
  }
  std::vector<std::string> top_level() const {
    std::vector<std::string> names;
    for (auto& item : std::filesystem::directory_iterator(dir.path())) names.push_back(item.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  temp_dir_t dir;
};

}  // namespace

TEST_F(extract_v1_test, extracts_a_nested_tree_with_every_listing_style) {
  cairn_v1_builder_t b;
  b.add_directory("", "*tex\r\na.txt\r\n\r\n*empty\r\nzero.bin");  // CR LF, no final break
  b.add_directory("tex", "*deep\nraw.dds\ncomp.tobj\n");          // LF only
  b.add_directory("tex/deep", "x.bin\ry.bin");                      // CR only
  b.add_directory("empty", "");
  b.add_file("a.txt", "alpha");
  b.add_file("zero.bin", "");
  b.add_file("tex/raw.dds", std::string(3000, 'r'));
  b.add_file("tex/comp.tobj", std::string(9000, 'c'), true);
  b.add_file("tex/deep/x.bin", "x", true);
  b.add_file("tex/deep/y.bin", "y");
  write_file(archive(), b.build());
  auto result = extract();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "[cairn] old.qar: Created, 10 entries\r\n[cairn] old.qar: Unmounted.\r\n");
  EXPECT_EQ(written(), (std::vector<std::string>{"/a.txt", "/empty", "/tex", "/tex/comp.tobj", "/tex/deep",
                                                  "/tex/deep/x.bin", "/tex/deep/y.bin", "/tex/raw.dds",
                                                  "/zero.bin"}));
  EXPECT_EQ(read_file(out() + "/a.txt"), "alpha");
  EXPECT_EQ(read_file(out() + "/zero.bin"), "");
  EXPECT_EQ(read_file(out() + "/tex/comp.tobj"), std::string(9000, 'c'));  // copied as stored, no .dds made
  EXPECT_EQ(read_file(out() + "/tex/deep/x.bin"), "x");
}

TEST_F(extract_v1_test, stops_at_the_first_failure_keeping_what_was_written) {
  cairn_v1_builder_t b;
  b.add_directory("", "a.txt\r\nghost.txt\r\nz.txt\r\n");
  b.add_file("a.txt", "a");
  b.add_file("z.txt", "z");
  write_file(archive(), b.build());
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "*** ERROR *** : Unable to open '/ghost.txt'!\r\n");
  EXPECT_EQ(written(), std::vector<std::string>{"/a.txt"});
}

TEST_F(extract_v1_test, a_reserved_name_stops_at_once) {
  cairn_v1_builder_t b;
  b.add_directory("", "*AUX\r\nb.txt\r\n");
  b.add_directory("AUX", "inner.txt\r\n");
  b.add_file("AUX/inner.txt", "x");
  b.add_file("b.txt", "b");
  write_file(archive(), b.build());
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "*** ERROR *** : Path '/AUX' is not supported: special windows path\r\n");
  EXPECT_EQ(written(), std::vector<std::string>{});

  cairn_v1_builder_t f;
  f.add_directory("", "a.txt\r\naux.log\r\nz.txt\r\n");
  f.add_file("a.txt", "a");
  f.add_file("aux.log", "x");
  f.add_file("z.txt", "z");
  write_file(archive(), f.build());
  result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "*** ERROR *** : Path '/aux.log' is not supported: special windows path\r\n");
  EXPECT_EQ(written(), std::vector<std::string>{"/a.txt"});  // z.txt is never reached
}

TEST_F(extract_v1_test, hostile_listings_write_nothing_outside_the_destination) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"..\r\n", "Path '/..' is not supported: special component name"},
      {"*..\r\n", "Path '/..' is not supported: special component name"},
      {"*\r\n", "Directory '/' lists an entry with an empty name!"},
      {"con.txt\r\n", "Path '/con.txt' is not supported: special windows path"},
      {"a:b\r\n", "Path '/a:b' is not supported: unsupported character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::filesystem::remove_all(out());
    cairn_v1_builder_t b;
    b.add_directory("", c.first);
    b.add_file("..", "escape");
    b.add_file("con.txt", "device");
    b.add_file("a:b", "colon");
    write_file(archive(), b.build());
    auto result = extract();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err.substr(0, result.err.find("\r\n")), "*** ERROR *** : " + c.second);
    EXPECT_EQ(written(), std::vector<std::string>{});
    EXPECT_EQ(top_level(), (std::vector<std::string>{"old.qar", "out"}));
  }
}

TEST_F(extract_v1_test, compressed_entries_must_inflate_to_their_size) {
  cairn_v1_builder_t b;
  b.add_directory("", "x.bin\r\n");
  v1_entry_spec_t entry;
  entry.path = "x.bin";
  entry.content = std::string(1000, 'x');
  entry.compressed = true;
  entry.size = 2000;  // claims more than the stream holds
  b.add(entry);
  write_file(archive(), b.build());
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("Copy of file '/x.bin' to '" + out() + "/x.bin' failed!"), std::string::npos)
      << result.err;
}

TEST_F(extract_v1_test, entry_table_limit) {
  write_sparse_v1_archive(archive(), 250001);
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "*** ERROR *** : [cairn] old.qar: Entry table size exceeds internal limits!\r\n"
            "*** ERROR *** : Failed to mount the archive!\r\n");
}
