// create -dedupe on the real binary: entries with equal blocks share one, everything
// else is what create writes without it, and the archive extracts and verifies as the
// unshared one does.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/archive_reader.h"
#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"

using namespace umbra_test;

namespace {

template <class T>
T field(T value) {
  return value;
}

class create_dedupe_test : public packer_tree_test_t {
 protected:
  std::string plain_archive() const { return dir / "plain.qar"; }

  // Packs the tree with and without -dedupe (same output lines) and loads both.
  void create_both(inspected_archive_t& plain, inspected_archive_t& shared) {
    auto without = run_packer({"create", plain_archive(), "-root", src()}, dir.path());
    ASSERT_EQ(without.exit_code, 0) << without.err;
    auto with = create({"-dedupe"});
    ASSERT_EQ(with.exit_code, 0) << with.err;
    EXPECT_EQ(with.out, without.out);
    EXPECT_EQ(with.err, without.err);
    ASSERT_TRUE(plain.load(plain_archive()));
    ASSERT_TRUE(shared.load(archive()));
  }

  // The first chunk record of an entry: its listing, plain data or mip tail.
  umbra::cairn_chunk_record_t chunk(const inspected_archive_t& a, const std::string& path) {
    const umbra::cairn_v2_entry_t* entry = a.find(path);
    inspected_chunk_t c;
    if (!entry) {
      ADD_FAILURE() << "no entry " << path;
      return c.record;
    }
    const uint32_t kind = path.size() > 5 && path.substr(path.size() - 5) == ".tobj" ? 132 : 128;
    EXPECT_TRUE(a.chunk(*entry, kind, &c)) << path;
    return c.record;
  }

  std::map<std::string, std::string> tree(const std::string& root) const {
    std::map<std::string, std::string> files;
    for (auto& item : std::filesystem::recursive_directory_iterator(root)) {
      const std::string relative = std::filesystem::relative(item.path(), root).generic_string();
      files[relative] = item.is_directory() ? "<dir>" : read_file(item.path().string());
    }
    return files;
  }
};

}  // namespace

TEST_F(create_dedupe_test, equal_contents_are_stored_once_and_extract_byte_for_byte) {
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i % 97) + "\n";
  const std::string noise = random_bytes(3000, 7);
  // Bigger than the writer's 4 MiB staging buffer: the copy is compared with bytes read
  // back from the archive.
  const std::string large = random_bytes(5u << 20, 8);
  std::string near = noise;
  near.back() ^= 1;
  add("a/text.txt", text);
  add("b/text.txt", text);
  add("b/deeper/copy.cfg", text);
  add("noise.bin", noise);
  add("noise.bank", noise);  // stored, as the incompressible .bin is: the same block
  add("near.bin", near);
  add("large.bin", large);
  add("z/large.bin", large);
  add("empty1.txt", "");
  add("empty2.txt", "");
  // Two images of equal pixels behind descriptors that name different files.
  const std::string dds = read_file(texture_fixture("dds/nvtt_bc1_256x256_mips.dds"));
  tobj_desc_t descriptor;
  descriptor.names = {"/a/wall.dds"};
  add("a/wall.dds", dds);
  add("a/wall.tobj", tobj_file(descriptor));
  descriptor.names = {"/b/wall.dds"};
  add("b/wall.dds", dds);
  add("b/wall.tobj", tobj_file(descriptor));

  inspected_archive_t plain, shared;
  create_both(plain, shared);
  const std::vector<std::vector<std::string>> groups = {
      {"a/text.txt", "b/text.txt", "b/deeper/copy.cfg"},
      {"noise.bin", "noise.bank"},
      {"near.bin"},
      {"large.bin", "z/large.bin"},
      {"a/wall.tobj", "b/wall.tobj"},
  };
  // One block per group, each group's own; records otherwise as without -dedupe.
  uint64_t saved = 0;
  std::set<uint64_t> offsets;
  for (const auto& group : groups) {
    const umbra::cairn_chunk_record_t first = chunk(shared, group[0]);
    EXPECT_TRUE(offsets.insert(field(first.offset)).second) << group[0];
    for (const std::string& path : group) {
      SCOPED_TRACE(path);
      const umbra::cairn_chunk_record_t mine = chunk(shared, path), alone = chunk(plain, path);
      EXPECT_EQ(field(mine.offset), field(first.offset));
      EXPECT_EQ(field(mine.stored_size), field(alone.stored_size));
      EXPECT_EQ(field(mine.size), field(alone.size));
      EXPECT_EQ(field(mine.compression), field(alone.compression));
      EXPECT_EQ(shared.bytes.substr(mine.offset, mine.stored_size), plain.bytes.substr(alone.offset, alone.stored_size));
      if (path != group[0]) saved += (field(alone.stored_size) + 15) / 16 * 16;
    }
  }
  EXPECT_EQ(chunk(shared, "empty1.txt").stored_size, 0u);
  EXPECT_EQ(field(plain.header.entry_table_offset) - field(shared.header.entry_table_offset), saved);
  EXPECT_EQ(field(shared.header.entry_count), field(plain.header.entry_count));
  EXPECT_EQ(shared.listing(""), plain.listing(""));

  auto verified = run_packer({"verify", archive()}, dir.path());
  EXPECT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_EQ(verified.err, "");
  EXPECT_EQ(verified.out, run_packer({"verify", plain_archive()}, dir.path()).out);
  EXPECT_NE(verified.out.find(": no problems found\r\n"), std::string::npos) << verified.out;

  auto extracted = extract();
  ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
  auto unshared = run_packer({"extract", plain_archive(), "-root", dir / "plain_out"}, dir.path());
  ASSERT_EQ(unshared.exit_code, 0) << unshared.err;
  const auto files = tree(out());
  EXPECT_EQ(files, tree(dir / "plain_out"));
  EXPECT_EQ(files.at("b/deeper/copy.cfg"), text);
  EXPECT_EQ(files.at("noise.bank"), noise);
  EXPECT_EQ(files.at("near.bin"), near);
  EXPECT_EQ(files.at("z/large.bin"), large);
  EXPECT_EQ(files.at("b/wall.dds"), files.at("a/wall.dds"));
}

// Nothing to share, nothing changed: the archive is the one create writes without it.
TEST_F(create_dedupe_test, a_tree_without_equal_files_gives_the_same_bytes) {
  add("a.txt", "alpha");
  add("d/b.txt", "beta");
  add("d/e/c.bin", random_bytes(70000, 3));
  add("x.cfg", "");
  inspected_archive_t plain, shared;
  create_both(plain, shared);
  EXPECT_TRUE(plain.bytes == shared.bytes);
}
