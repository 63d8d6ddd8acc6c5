// End-to-end checks of `create` on the real binary: layout, order and failure handling.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/archive_reader.h"
#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"

using namespace umbra_test;

namespace {

// The stored header is packed; comparisons must see copies, not references into it.
template <class T>
T field(T value) {
  return value;
}

class create_test : public packer_tree_test_t {
 protected:
  // Data blocks in file order: (offset, path) of every entry's first chunk.
  std::vector<std::string> data_order(const inspected_archive_t& a, const std::vector<std::string>& paths) {
    std::vector<std::pair<uint64_t, std::string>> placed;
    for (const auto& p : paths) {
      const auto* entry = a.find(p);
      if (!entry) {
        ADD_FAILURE() << "missing entry " << p;
        continue;
      }
      inspected_chunk_t c;
      uint32_t kind = (entry->flags & 1) ? 129 : 128;
      EXPECT_TRUE(a.chunk(*entry, kind, &c)) << p;
      placed.push_back({c.record.offset, p});
    }
    std::sort(placed.begin(), placed.end());
    std::vector<std::string> order;
    for (auto& p : placed) order.push_back(p.second);
    return order;
  }
};

}  // namespace

TEST_F(create_test, single_small_file_gives_the_documented_layout) {
  add("a.txt", "abc");
  auto result = create();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  const std::string& bytes = a.bytes;
  EXPECT_EQ(bytes.substr(0, 4), "QAR#");
  EXPECT_EQ(field(a.header.version), 2);
  EXPECT_EQ(field(a.header.salt), 0);
  EXPECT_EQ(std::string(a.header.hash_method, 4), "CITY");
  EXPECT_EQ(field(a.header.entry_count), 2u);
  EXPECT_EQ(field(a.header.metadata_count), 10u);
  EXPECT_EQ(field(a.header.entry_table_offset), 4128u);
  EXPECT_EQ(field(a.header.metadata_table_offset) % 16, 0u);
  EXPECT_EQ(field(a.header.metadata_table_offset), (4128 + a.header.entry_table_size + 15) / 16 * 16);
  EXPECT_EQ(field(a.header.security_descriptor_offset), 0u);
  EXPECT_EQ(field(a.header.platform), 0);
  EXPECT_EQ(bytes.substr(53, 4096 - 53), std::string(4096 - 53, '\0'));
  EXPECT_EQ(bytes.substr(4096, 3), "abc");
  EXPECT_EQ(bytes.substr(4099, 13), std::string(13, '\0'));
  EXPECT_EQ(bytes.substr(4112, 10), std::string("\x01\x00\x00\x00\x05" "a.txt", 10));
  const std::vector<uint32_t> words = {128u << 24 | 1, 3, 3, 0, 256, 129u << 24 | 6, 10, 10, 0, 257};
  EXPECT_EQ(a.metadata, words);
  const auto* file = a.find("a.txt");
  const auto* root = a.find("");
  ASSERT_TRUE(file && root);
  EXPECT_EQ(root->hash, 0x9AE16A3B2F90404Full);
  EXPECT_EQ(file->metadata_index, 0u);
  EXPECT_EQ(file->index_count, 1u);
  EXPECT_EQ(file->flags, 0u);
  EXPECT_EQ(root->metadata_index, 5u);
  EXPECT_EQ(root->flags, 1u);
  EXPECT_FALSE(a.tables_raw[0]);
  EXPECT_FALSE(a.tables_raw[1]);
  EXPECT_FALSE(file_exists(archive() + ".atomic"));
}

TEST_F(create_test, empty_source_directory_holds_only_the_root) {
  make_dirs(src());
  ASSERT_EQ(create().exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  ASSERT_EQ(a.entries.size(), 1u);
  inspected_chunk_t listing;
  ASSERT_TRUE(a.chunk(a.entries[0], 129, &listing));
  EXPECT_EQ(listing.content, std::string(4, '\0'));
}

TEST_F(create_test, listings_are_in_byte_order_and_data_in_entry_order) {
  add("b.txt", "b");
  add("A.txt", "A");
  add("c/x.txt", "x");
  add("c/y.bin", "y");
  add("c/z.txt", "z");
  add("c/d/.hidden_by_dot", "never packed");
  ASSERT_EQ(create().exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  EXPECT_EQ(a.listing(""), (std::vector<std::string>{"/c", "A.txt", "b.txt"}));
  EXPECT_EQ(a.listing("c"), (std::vector<std::string>{"/d", "x.txt", "y.bin", "z.txt"}));
  EXPECT_EQ(a.listing("c/d"), std::vector<std::string>{});
  EXPECT_EQ(data_order(a, {"b.txt", "A.txt", "c/x.txt", "c/y.bin", "c/z.txt", "", "c", "c/d"}),
            (std::vector<std::string>{"c/y.bin", "A.txt", "b.txt", "c/x.txt", "c/z.txt", "", "c", "c/d"}));
}

TEST_F(create_test, compression_is_kept_only_when_smaller_and_never_for_banks) {
  const std::string repetitive(10000, 'r');
  add("big.txt", repetitive);
  add("sound.bank", repetitive);
  add("empty.txt", "");
  ASSERT_EQ(create().exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  inspected_chunk_t big, bank, empty;
  ASSERT_TRUE(a.chunk(*a.find("big.txt"), 128, &big));
  ASSERT_TRUE(a.chunk(*a.find("sound.bank"), 128, &bank));
  ASSERT_TRUE(a.chunk(*a.find("empty.txt"), 128, &empty));
  EXPECT_EQ(big.record.compression, 1);
  EXPECT_LT(big.record.stored_size, 100u);
  EXPECT_EQ(big.record.size, 10000u);
  EXPECT_EQ(big.content, repetitive);
  EXPECT_EQ(bank.record.compression, 0);
  EXPECT_EQ(bank.record.stored_size, 10000u);
  EXPECT_EQ(bank.content, repetitive);
  EXPECT_EQ(empty.record.compression, 0);
  EXPECT_EQ(empty.record.stored_size, 0u);
}

TEST_F(create_test, nocompress_stores_every_chunk_raw) {
  add("big.txt", std::string(10000, 'r'));
  add("d/e/f.txt", std::string(5000, 'q'));
  ASSERT_EQ(create({"-nocompress"}).exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  for (const auto& entry : a.entries) {
    inspected_chunk_t c;
    ASSERT_TRUE(a.chunk(entry, (entry.flags & 1) ? 129 : 128, &c));
    EXPECT_EQ(c.record.compression, 0);
    EXPECT_EQ(c.record.stored_size, c.record.size);
  }
}

TEST_F(create_test, model_files_carry_their_header_records) {
  std::string uma(84, '\0');
  uma[0] = 5;
  uma[6] = 3;
  uma[12] = 42;
  std::string umg(112, '\0');
  const unsigned char magic[4] = {0x15, 0x67, 0x6D, 0x55};
  umg.replace(0, 4, std::string((const char*)magic, 4));
  umg[24] = 7;
  umg[28] = 9;
  add("m/a.uma", uma + "payload");
  add("m/a.umg", umg + "payload");
  ASSERT_EQ(create().exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  auto uma_words = a.index_words(*a.find("m/a.uma"));
  ASSERT_EQ(uma_words.size(), 2u);
  EXPECT_EQ(uma_words[0] >> 24, 128u);
  EXPECT_EQ(uma_words[1] >> 24, 5u);
  uint32_t at = uma_words[1] & 0xFFFFFF;
  EXPECT_EQ(a.metadata[at], 3u);
  EXPECT_EQ(a.metadata[at + 2], 42u);
  auto umg_words = a.index_words(*a.find("m/a.umg"));
  ASSERT_EQ(umg_words.size(), 2u);
  EXPECT_EQ(umg_words[1] >> 24, 6u);
  at = umg_words[1] & 0xFFFFFF;
  EXPECT_EQ(a.metadata[at], 7u);
  EXPECT_EQ(a.metadata[at + 1], 9u);
}

TEST_F(create_test, a_model_file_with_a_bad_header_fails_the_run) {
  add("m/a.umg", std::string(112, 'x'));
  auto result = create();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("*** ERROR *** : [uma] Failed to read header of '"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("*** ERROR *** : Failed to extract meta data from (m/a.umg)\r\n"
                            "*** ERROR *** : Failed to build archive!\r\n"),
            std::string::npos)
      << result.err;
}

TEST_F(create_test, dds_files_and_dot_names_are_not_scanned) {
  add("t/a.dds", read_file(texture_fixture("dds/nvtt_bc1_32x32_mips.dds")));
  tobj_desc_t descriptor;
  descriptor.names = {"t/a.dds"};
  add("t/b.tobj", tobj_file(descriptor));
  add("x.dds/inner.txt", "inside a .dds directory");
  add(".git/config", "hidden");
  ASSERT_EQ(create().exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  EXPECT_EQ(a.listing(""), std::vector<std::string>{"/t"});
  EXPECT_EQ(a.listing("t"), std::vector<std::string>{"b.tobj"});
  EXPECT_EQ(a.find("t/a.dds"), nullptr);
  EXPECT_EQ(a.find("x.dds/inner.txt"), nullptr);
}

TEST_F(create_test, list_files_choose_and_hide_paths) {
  add("a.txt", "a");
  add("b.txt", "b");
  add("sub/c.txt", "c");
  add("skip.dds", "d");
  write_file(dir / "list.txt", "a.txt\r\n/sub/c.txt\r\n\r\nskip.dds\r\nb.txt");  // b.txt has no CR LF
  write_file(dir / "hide.txt", "a.txt\r\n");
  ASSERT_EQ(create({"-list", dir / "list.txt", "-hide-list", dir / "hide.txt"}).exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  EXPECT_EQ(a.entries.size(), 2u);
  EXPECT_NE(a.find("a.txt"), nullptr);
  EXPECT_NE(a.find("sub/c.txt"), nullptr);
  EXPECT_EQ(a.find("b.txt"), nullptr);
  EXPECT_EQ(a.find(""), nullptr);  // no directory entries without a scan
}

TEST_F(create_test, list_lines_separate_with_backslashes_as_with_slashes) {
  // Lists written on Windows name the same entries as lists written with '/'.
  add("sub/deep/c.txt", "c");
  add("sub/d.txt", "d");
  write_file(dir / "list.txt", "sub\\deep\\c.txt\r\n\\sub\\d.txt\r\n");
  write_file(dir / "hide.txt", "sub\\d.txt\r\n");
  ASSERT_EQ(create({"-list", dir / "list.txt", "-hide-list", dir / "hide.txt"}).exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  EXPECT_EQ(a.entries.size(), 2u);
  ASSERT_NE(a.find("sub/deep/c.txt"), nullptr);
  ASSERT_NE(a.find("sub/d.txt"), nullptr);
  EXPECT_EQ(a.find("sub\\deep\\c.txt"), nullptr);
}

TEST_F(create_test, hidden_entries_are_packed_but_not_listed) {
  add("a.txt", "a");
  add("secret.txt", "s");
  write_file(dir / "hide.txt", "secret.txt\r\n");
  write_file(dir / "all.txt", "\r\na.txt\r\nsecret.txt\r\n");
  ASSERT_EQ(create({"-list", dir / "all.txt", "-hide-list", dir / "hide.txt"}).exit_code, 0);
  inspected_archive_t a;
  ASSERT_TRUE(a.load(archive()));
  ASSERT_NE(a.find("secret.txt"), nullptr);
  // The listing of the root exists in the registry only through its children; without a
  // root entry it is not stored, so check the hidden file is not in any listing.
  for (const auto& entry : a.entries) {
    inspected_chunk_t c;
    if (a.chunk(entry, 129, &c)) {
      EXPECT_EQ(c.content.find("secret.txt"), std::string::npos);
    }
  }
}

struct list_error_case_t {
  const char* name;
  std::vector<std::string> args;
  std::string err;
};

TEST_F(create_test, list_option_errors) {
  add("a.txt", "a");
  write_file(dir / "lf_only.txt", "a.txt\n");
  const list_error_case_t cases[] = {
      {"missing value", {"-list"}, "*** ERROR *** : Missing -list argument\r\n"},
      {"missing hide value", {"-hide-list", "-nocompress"}, "*** ERROR *** : Missing -hide-list argument\r\n"},
      {"missing file", {"-compress-list", dir / "nope.txt"},
       "*** ERROR *** : [fs] Failed to open file '" + (dir / "nope.txt") +
           "' in the read_only mode.\r\n*** ERROR *** : Failed to open (" + (dir / "nope.txt") + ")\r\n"},
      {"listed file missing", {"-list", dir / "missing_list.txt"}, ""},
  };
  write_file(dir / "missing_list.txt", "ghost.txt\r\n");
  for (const auto& c : cases) {
    auto result = create(c.args);
    EXPECT_EQ(result.exit_code, 1) << c.name;
    if (!c.err.empty()) {
      EXPECT_EQ(result.err, c.err) << c.name;
    }
  }
  auto ghost = create({"-list", dir / "missing_list.txt"});
  EXPECT_EQ(ghost.err,
            "*** ERROR *** : *** Failed to stat ghost.txt!\r\n*** ERROR *** : Unable to build path entries!\r\n");
  auto lf = create({"-list", dir / "lf_only.txt"});
  EXPECT_EQ(lf.exit_code, 0);  // no lines: the root is scanned instead
  EXPECT_EQ(lf.err, "*** WARNING *** : No lines found in list file '" + (dir / "lf_only.txt") +
                        "': every line must end with CR LF.\r\n");
}

TEST_F(create_test, a_failed_run_keeps_the_old_archive_and_leaves_no_temporary) {
  add("a.txt", "first");
  ASSERT_EQ(create().exit_code, 0);
  const std::string old_archive = read_file(archive());
  add("b.txt", "second");
  // A file over the size limit fails its task after the new archive was opened.
  write_file(src() + "/huge.bin", "");
  ASSERT_EQ(truncate((src() + "/huge.bin").c_str(), 209715201), 0);
  auto result = create();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "*** ERROR *** : File is bigger than 209715200 (huge.bin)\r\n*** ERROR *** : Failed to build archive!\r\n");
  EXPECT_EQ(read_file(archive()), old_archive);
  EXPECT_FALSE(file_exists(archive() + ".atomic"));
  // Exactly the limit is accepted.
  ASSERT_EQ(truncate((src() + "/huge.bin").c_str(), 209715200), 0);
  EXPECT_EQ(create({"-nocompress"}).exit_code, 0);
}

TEST_F(create_test, roots_longer_than_an_archive_path_are_packed_from_and_extracted_into) {
  // Archive paths stop at 255 bytes; the roots around them may be far longer.
  const std::string deep = src() + "/" + std::string(120, 'd') + "/" + std::string(120, 'e');
  make_dirs(deep + "/sub");
  write_file(deep + "/sub/x.txt", "hello hello hello hello");
  ASSERT_GT(deep.size(), 255u);
  auto packed = run_packer({"create", archive(), "-root", deep}, dir.path());
  ASSERT_EQ(packed.exit_code, 0) << packed.err;
  const std::string target = out() + "/" + std::string(200, 'o') + "/" + std::string(100, 'p');
  auto unpacked = run_packer({"extract", archive(), "-root", target}, dir.path());
  ASSERT_EQ(unpacked.exit_code, 0) << unpacked.err;
  EXPECT_EQ(read_file(target + "/sub/x.txt"), "hello hello hello hello");
}

TEST_F(create_test, an_archive_inside_the_root_never_packs_itself) {
  add("a.txt", "a");
  std::vector<std::string> args = {"create", src() + "/self.qar", "-root", src()};
  ASSERT_EQ(run_packer(args, dir.path()).exit_code, 0);
  ASSERT_EQ(run_packer(args, dir.path()).exit_code, 0);  // the old archive lies below the root
  inspected_archive_t a;
  ASSERT_TRUE(a.load(src() + "/self.qar"));
  EXPECT_EQ(a.listing(""), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(a.entries.size(), 2u);
}

TEST_F(create_test, bad_roots_and_names_fail_with_a_clear_line) {
  write_file(dir / "plain_file", "x");
  auto file_root = run_packer({"create", archive(), "-root", dir / "plain_file"}, dir.path());
  EXPECT_EQ(file_root.exit_code, 1);
  EXPECT_EQ(file_root.err, "*** ERROR *** : Source root '" + (dir / "plain_file") + "' is not a directory!\r\n");
  auto missing = run_packer({"create", archive(), "-root", dir / "nothing"}, dir.path());
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err, "*** ERROR *** : Source root '" + (dir / "nothing") + "' is not a directory!\r\n");
  EXPECT_FALSE(file_exists(archive()));

  add("ok.txt", "ok");
  make_dirs(src() + "/loop");
  ASSERT_EQ(symlink("..", (src() + "/loop/up").c_str()), 0);
  auto loop = create();
  EXPECT_EQ(loop.exit_code, 1);
  EXPECT_EQ(loop.err, "*** ERROR *** : Directory '" + src() + "/loop/up' leads back to one of its parents (a link loop)!\r\n");
}

TEST_F(create_test, a_name_that_is_not_utf8_fails_with_a_clear_line) {
  UMBRA_SKIP_FOR_WINDOWS_TOOLS("such a name exists only on the Linux file system; Wine hands a Windows program a "
                               "valid UTF-16 name made of it");
  add("ok.txt", "ok");
  add("bad\xff.txt", "x");
  auto invalid = create();
  EXPECT_EQ(invalid.exit_code, 1);
  EXPECT_NE(invalid.err.find(src()), std::string::npos) << invalid.err;
  EXPECT_FALSE(file_exists(archive()));
}

TEST_F(create_test, names_the_format_cannot_hold_are_refused) {
  const std::string long_name(255, 'n');
  add(long_name, "file names of 255 bytes fit");
  ASSERT_EQ(create().exit_code, 0);
  make_dirs(src() + "/" + std::string(255, 'd'));
  auto result = create();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "*** ERROR *** : Name of '" + std::string(255, 'd') +
                            "' is empty or longer than 255 bytes and cannot be stored!\r\n");
}

namespace {

// Text that compresses well but differently at each level, and bytes that do not.
std::string level_text(size_t size, uint64_t seed) {
  const char* words[] = {"granite ", "cairn ", "moss ", "path ", "ridge ", "summit ", "\r\n", "0x1F ", "tile "};
  std::string text;
  uint64_t s = seed;
  while (text.size() < size) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    text += words[(s >> 33) % 9];
    if ((s >> 20) % 7 == 0) text += std::to_string(s % 100000);
  }
  return text.substr(0, size);
}

}  // namespace

// Every level makes streams that zlib's own decoder takes (the reader checks each one,
// tables included) and that extract gives back; the highest level packs smaller than the
// lowest, and without the option the level is 10.
TEST_F(create_test, every_compression_level_round_trips) {
  std::string noise(3000, '\0');
  uint64_t state = 99;
  for (char& c : noise) c = (char)((state = state * 6364136223846793005ull + 1) >> 56);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"doc/readme.txt", level_text(150000, 1)},
      {"doc/short.txt", "a few words, a few words"},
      {"data/table.csv", level_text(40000, 2)},
      {"data/noise.bin", noise},
  };
  for (const auto& file : files) add(file.first, file.second);
  std::vector<uint64_t> sizes(13, 0);
  for (int level = 1; level <= 12; ++level) {
    auto result = create({"-compression-level", std::to_string(level)});
    ASSERT_EQ(result.exit_code, 0) << level << result.err;
    EXPECT_EQ(result.err, "") << level;
    inspected_archive_t a;
    ASSERT_TRUE(a.load(archive())) << level;
    EXPECT_FALSE(a.tables_raw[0] || a.tables_raw[1]) << level;
    for (const auto& file : files) {
      inspected_chunk_t c;
      ASSERT_TRUE(a.chunk(*a.find(file.first), 128, &c)) << level << " " << file.first;
      EXPECT_TRUE(c.content == file.second) << level << " " << file.first;
    }
    inspected_chunk_t readme;
    ASSERT_TRUE(a.chunk(*a.find("doc/readme.txt"), 128, &readme));
    EXPECT_EQ(readme.record.compression, 1) << level;
    sizes[level] = a.bytes.size();
    if (level == 1 || level == 12) {
      const std::string into = dir / ("out" + std::to_string(level));
      ASSERT_EQ(run_packer({"extract", archive(), "-root", into}).exit_code, 0) << level;
      for (const auto& file : files) EXPECT_TRUE(read_file(into + "/" + file.first) == file.second) << level;
    }
  }
  EXPECT_LT(sizes[12], sizes[1]);
  ASSERT_EQ(create({"-compression-level", "10"}).exit_code, 0);
  const std::string level_10 = read_file(archive());
  ASSERT_EQ(create().exit_code, 0);
  EXPECT_TRUE(read_file(archive()) == level_10) << "the default level is 10";
  // -nocompress outweighs any level.
  ASSERT_EQ(create({"-compression-level", "12", "-nocompress"}).exit_code, 0);
  inspected_archive_t raw;
  ASSERT_TRUE(raw.load(archive()));
  inspected_chunk_t readme;
  ASSERT_TRUE(raw.chunk(*raw.find("doc/readme.txt"), 128, &readme));
  EXPECT_EQ(readme.record.compression, 0);
}

TEST_F(create_test, compression_level_errors_leave_the_old_archive) {
  add("a.txt", "alpha alpha alpha alpha");
  ASSERT_EQ(create().exit_code, 0);
  const std::string old_archive = read_file(archive());
  struct level_case_t {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-compression-level"}, "*** ERROR *** : -compression-level requires value\r\n"},
      {{"-compression-level", "-nocompress"}, "*** ERROR *** : -compression-level requires value\r\n"},
      {{"-compression-level", "0"}, "*** ERROR *** : '0' is not valid value for -compression-level parameter\r\n"},
      {{"-compression-level", "13"}, "*** ERROR *** : '13' is not valid value for -compression-level parameter\r\n"},
      {{"-compression-level", "fast"},
       "*** ERROR *** : 'fast' is not valid value for -compression-level parameter\r\n"},
      {{"-compression-level", "9x"}, "*** ERROR *** : '9x' is not valid value for -compression-level parameter\r\n"},
      {{"-compression-level", "99999999999999999999999"},
       "*** ERROR *** : '99999999999999999999999' is not valid value for -compression-level parameter\r\n"},
  };
  for (const auto& c : cases) {
    auto result = create(c.args);
    EXPECT_EQ(result.exit_code, 1) << c.args.back();
    EXPECT_EQ(result.out, "") << c.args.back();
    EXPECT_EQ(result.err, c.err) << c.args.back();
    EXPECT_TRUE(read_file(archive()) == old_archive) << c.args.back();
  }
  // Leading white space is allowed, as for -io-buffers-size.
  EXPECT_EQ(create({"-compression-level", " 3"}).exit_code, 0);
}
