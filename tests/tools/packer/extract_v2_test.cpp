// End-to-end checks of `extract` for version 2 archives on the real binary.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "support/packer_fixture.h"
#include "support/run_tool.h"

using namespace umbra_test;

namespace {

std::string tree_listing(const std::string& root) {
  // Every path below root with its kind and content, in a stable order.
  std::vector<std::string> lines;
  for (auto& item : std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = item.path().string().substr(root.size());
    if (item.is_directory()) {
      lines.push_back("D " + rel);
    } else {
      lines.push_back("F " + rel + " " + read_file(item.path().string()));
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (auto& l : lines) text += l + "\n";
  return text;
}

class extract_v2_test : public packer_tree_test_t {
 protected:
  void write_archive(const cairn_v2_builder_t& builder) { write_file(archive(), builder.build()); }
  // Nothing may appear next to the destination but what the test made.
  void expect_nothing_outside_destination() {
    std::vector<std::string> names;
    for (auto& item : std::filesystem::directory_iterator(dir.path())) names.push_back(item.path().filename());
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = {"a.qar"};
    if (file_exists(out())) expected.push_back("out");
    if (file_exists(src())) expected.push_back("src");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
  }
};

std::string info_lines(size_t entries) {
  return "[cairn] a.qar: Created, " + std::to_string(entries) + " entries\r\n[cairn] a.qar: Unmounted.\r\n";
}

}  // namespace

TEST_F(extract_v2_test, trees_made_by_create_round_trip_byte_for_byte) {
  add("a.txt", "alpha");
  add("empty.bin", "");
  add("deep/er/still/deeper/z.bin", std::string(100000, 'z'));
  add("utf8/\xc3\xa9t\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac.txt", "unicode names");
  add("\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0/\xce\xb1\xce\xb2\xce\xb3.txt", "cyrillic and greek");
  add("emoji/\xf0\x9f\x98\x80.txt", "outside the basic plane: a surrogate pair in UTF-16");
  add("mixed/random.bin", std::string("\x00\x01\xff\xfe", 4) + std::string(70000, '\x7f'));
  add(std::string(200, 'n') + "/" + std::string(54, 'm'), "a 255-byte relative path");
  make_dirs(src() + "/empty_dir");
  for (bool nocompress : {false, true}) {
    SCOPED_TRACE(nocompress ? "-nocompress" : "compressed");
    std::filesystem::remove_all(out());
    auto made = create(nocompress ? std::vector<std::string>{"-nocompress"} : std::vector<std::string>{});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    auto result = extract();
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    size_t entries = 1;
    for (auto it = std::filesystem::recursive_directory_iterator(src()); it != std::filesystem::recursive_directory_iterator(); ++it) ++entries;
    EXPECT_EQ(result.out, info_lines(entries));
    EXPECT_EQ(tree_listing(out()), tree_listing(src()));
  }
}

TEST_F(extract_v2_test, many_entries_give_tables_of_many_blocks) {
  // Tables far above the 4096-byte inflation steps, ending inside a full output block.
  for (int d = 0; d < 40; ++d)
    for (int f = 0; f < 40; ++f) add("d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", std::to_string(d * f));
  ASSERT_EQ(create().exit_code, 0);
  auto result = extract();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(tree_listing(out()), tree_listing(src()));
}

TEST_F(extract_v2_test, hidden_entries_stay_in_the_archive) {
  add("a.txt", "a");
  add("d/secret.txt", "s");
  add("d/open.txt", "o");
  write_file(dir / "all.txt", "/\r\na.txt\r\nd\r\nd/open.txt\r\n");  // "/" names the root
  write_file(dir / "hide.txt", "d/secret.txt\r\n");
  ASSERT_EQ(create({"-list", dir / "all.txt", "-hide-list", dir / "hide.txt"}).exit_code, 0);
  auto result = extract();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(tree_listing(out()), "D /d\nF /a.txt a\nF /d/open.txt o\n");
}

TEST_F(extract_v2_test, reads_what_create_never_writes) {
  cairn_v2_builder_t b;
  b.salt = 7;
  b.platform = 1;
  b.compress_tables = false;
  b.security_block = std::string(596, 'S');
  int raw = b.add_plain("stored");
  int deflate = b.add_block(raw_deflate(std::string(5000, 'd')), 5000, 2);
  int zstd = b.add_block(zstd_compress(std::string(7000, 'z')), 7000, 4);
  int zlib = b.add_zlib("zlib data");
  int listing = b.add_plain(v2_listing({"/sub", "deflate.bin", "plain.txt", "zstd.bin"}));
  int sub_listing = b.add_plain(v2_listing({"zlib.txt"}));
  b.add_directory("", listing);
  b.add_directory("sub", sub_listing);
  b.add_file("plain.txt", raw);
  b.add_file("deflate.bin", deflate);
  // A kind-3 word and an unknown kind next to the data chunk are skipped.
  b.add_entry(v2_entry_spec_t("zstd.bin", false,
                              {v2_record_t(3, {1, 2}), v2_record_t(77, {5}), v2_record_t(128, {}, zstd)}));
  b.add_file("sub/zlib.txt", zlib);
  write_archive(b);
  auto result = extract();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "*** WARNING *** : Opening platform incompatible Cairn archive (xbone)\r\n");
  EXPECT_EQ(read_file(out() + "/plain.txt"), "stored");
  EXPECT_EQ(read_file(out() + "/deflate.bin"), std::string(5000, 'd'));
  EXPECT_EQ(read_file(out() + "/zstd.bin"), std::string(7000, 'z'));
  EXPECT_EQ(read_file(out() + "/sub/zlib.txt"), "zlib data");
}

struct broken_archive_case_t {
  const char* name;
  std::function<void(cairn_v2_builder_t&)> damage;
  std::string err;
};

TEST_F(extract_v2_test, broken_archives_fail_with_a_clear_line) {
  const broken_archive_case_t cases[] = {
      {"root without listing",
       [](cairn_v2_builder_t& b) { b.add_entry(v2_entry_spec_t("", true)); },
       "*** ERROR *** : [cairn] a.qar: read_dir: failed to open dirlist entry (/)\r\n"
       "*** ERROR *** : Unable to read content of directory '/'!\r\n"},
      {"listing names a missing entry",
       [](cairn_v2_builder_t& b) { b.add_directory("", b.add_plain(v2_listing({"ghost.txt"}))); },
       "*** ERROR *** : Failed to mstat '/ghost.txt'!\r\n"},
      {"no root entry",
       [](cairn_v2_builder_t& b) { b.add_file("x", b.add_plain("x")); },
       "*** ERROR *** : Root directory not found, can not extract this archive!\r\n"},
      {"unknown compression",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block("xxxx", 4, 9));
       },
       "*** ERROR *** : Unsupported compression 9 of '/x'!\r\n*** ERROR *** : Failed to extract some files\r\n"},
      {"corrupt zlib stream",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block(std::string(64, '\x55'), 1000, 1));
       },
       "*** ERROR *** : Failed to extract some files\r\n"},
      {"corrupt zstd frame",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         std::string frame = zstd_compress(std::string(3000, 'q'));
         frame[frame.size() / 2] ^= 0x5A;
         b.add_file("x", b.add_block(frame, 3000, 4));
       },
       "*** ERROR *** : Failed to extract some files\r\n"},
      {"zlib stream shorter than its size",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block(zlib_deflate("short"), 6, 1));
       },
       "*** ERROR *** : Failed to extract some files\r\n"},
      {"zlib stream longer than its size",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block(zlib_deflate("longer than five"), 5, 1));
       },
       "*** ERROR *** : Failed to extract some files\r\n"},
      {"zlib stream with a wrong checksum",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         std::string stream = zlib_deflate(std::string(3000, 'c'));
         stream.back() ^= 1;
         b.add_file("x", b.add_block(stream, 3000, 1));
       },
       "*** ERROR *** : Failed to extract some files\r\n"},
      {"raw deflate stream cut short",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         std::string stream = raw_deflate(std::string(5000, 'd') + std::string(5000, 'e'));
         b.add_file("x", b.add_block(stream.substr(0, stream.size() / 2), 10000, 2));
       },
       "*** ERROR *** : Failed to extract some files\r\n"},
      {"raw deflate stream longer than its size",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block(raw_deflate(std::string(5000, 'd')), 4999, 2));
       },
       "*** ERROR *** : Failed to extract some files\r\n"},
      {"size the stored bytes cannot hold",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block(zlib_deflate("tiny"), (1u << 28) - 1, 1));
       },
       "*** ERROR *** : Data of '/x' lies outside the archive or is corrupt!\r\n"
       "*** ERROR *** : Failed to extract some files\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(out());
    cairn_v2_builder_t b;
    c.damage(b);
    write_archive(b);
    auto result = extract();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, c.err);
    expect_nothing_outside_destination();
  }
}

TEST_F(extract_v2_test, truncated_and_unwritten_archives_fail_cleanly) {
  add("a.txt", std::string(50000, 'a'));
  add("b/c.txt", "c");
  ASSERT_EQ(create().exit_code, 0);
  const std::string whole = read_file(archive());
  for (size_t cut : {size_t(12), size_t(52), size_t(4096), size_t(4200), whole.size() - 40, whole.size() - 1}) {
    SCOPED_TRACE(cut);
    write_file(archive(), whole.substr(0, cut));
    auto result = extract();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err, "");
  }
  std::string unwritten = whole;
  unwritten.replace(0, 53, std::string(53, '\0'));
  write_file(archive(), unwritten);
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "*** ERROR *** : Unsupported file format!\r\n");
}

struct hostile_name_case_t {
  std::string name;  // stored name in the root listing ("/x" for a directory)
  std::string err;
};

TEST_F(extract_v2_test, hostile_names_write_nothing_outside_the_destination) {
  const hostile_name_case_t cases[] = {
      {"..", "Path '/..' is not supported: special component name"},
      {"/..", "Path '/..' is not supported: special component name"},
      {"con", "Path '/con' is not supported: special windows path"},
      {"/CON", "Path '/CON' is not supported: special windows path"},
      {"b.", "Path '/b.' is not supported: unsupported last character"},
      {"\xef\xbc\xa3\xef\xbc\xaf\xef\xbc\xae.txt",  // fullwidth CON
       "Path '/\xef\xbc\xa3\xef\xbc\xaf\xef\xbc\xae.txt' is not supported: special windows path"},
      // Shown escaped: the line must not carry the bytes to the terminal.
      {"tab\there", "Path '/tab\\x09here' is not supported: unsupported character"},
      {"\xc0\xaf", "Path '/\\xC0\\xAF' is not supported: not utf-8"},
      {"/\xc0\xaf", "Path '/\\xC0\\xAF' is not supported: not utf-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(out());
    cairn_v2_builder_t b;
    b.add_directory("", b.add_plain(v2_listing({c.name})));
    std::string relative = c.name[0] == '/' ? c.name.substr(1) : c.name;
    if (c.name[0] == '/') {
      b.add_directory(relative, b.add_plain(v2_listing({"inner.txt"})));
      b.add_file(relative + "/inner.txt", b.add_plain("inner"));
    } else {
      b.add_file(relative, b.add_plain("payload"));
    }
    write_archive(b);
    auto result = extract();
    EXPECT_EQ(result.exit_code, 1);
    std::string expected = "*** ERROR *** : " + c.err + "\r\n";
    if (c.name[0] != '/') expected += "*** ERROR *** : Failed to extract some files\r\n";
    EXPECT_EQ(result.err, expected);
    expect_nothing_outside_destination();
    EXPECT_EQ(tree_listing(out()), "");
  }
}

TEST_F(extract_v2_test, io_buffers_size_option) {
  add("a.txt", "a");
  ASSERT_EQ(create().exit_code, 0);
  struct option_case_t {
    std::vector<std::string> args;
    int exit_code;
    std::string err;
  };
  const option_case_t cases[] = {
      {{"-io-buffers-size", "0"}, 0, ""},
      {{"-io-buffers-size", "100000"}, 0, ""},
      {{"-io-buffers-size", " 64"}, 0, ""},
      {{"-io-buffers-size", "99999999999999999999999"}, 0, ""},
      {{"-io-buffers-size", "12x"}, 1, "*** ERROR *** : '12x' is not valid value for -io-buffers-size parameter\r\n"},
      {{"-io-buffers-size", ""}, 1, "*** ERROR *** : '' is not valid value for -io-buffers-size parameter\r\n"},
      {{"-io-buffers-size"}, 1, "*** ERROR *** : -io-buffers-size requires value\r\n"},
      {{"-io-buffers-size", "-5"}, 1,
       "*** WARNING *** : Unknown option '-5' for extract is ignored\r\n"
       "*** ERROR *** : -io-buffers-size requires value\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "none");
    auto result = extract(c.args);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.err, c.err);
  }
}

TEST_F(extract_v2_test, a_refused_file_fails_the_run_after_the_files_in_flight) {
  cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(v2_listing({"a.txt", "aux.txt", "z.txt"})));
  b.add_file("a.txt", b.add_plain("a"));
  b.add_file("aux.txt", b.add_plain("aux"));
  b.add_file("z.txt", b.add_plain("z"));
  write_archive(b);
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "*** ERROR *** : Path '/aux.txt' is not supported: special windows path\r\n"
            "*** ERROR *** : Failed to extract some files\r\n");
  // All three were in flight under the default budget; the other two are written.
  EXPECT_EQ(read_file(out() + "/a.txt"), "a");
  EXPECT_EQ(read_file(out() + "/z.txt"), "z");
}

TEST_F(extract_v2_test, files_that_cannot_be_created_fail_the_run_in_walk_order) {
  // Files are created on the pool's workers: the failures must still be reported whole,
  // each with its open's line first, and the others written.
  cairn_v2_builder_t b;
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("f" + std::to_string(100 + i) + ".bin");
  b.add_directory("", b.add_plain(v2_listing(names)));
  for (const std::string& name : names) b.add_file(name, b.add_zlib(std::string(5000, name[3])));
  write_archive(b);
  // A directory where a file should go cannot be replaced.
  make_dirs(out() + "/f110.bin/inside");
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  const std::string target = out() + "/f110.bin";
  EXPECT_EQ(result.err, "*** ERROR *** : [fs] Failed to open file '" + target + "' in the create_truncate mode.\r\n"
                        "*** ERROR *** : Failed to create file '" + target + "'!\r\n"
                        "*** ERROR *** : Failed to extract some files\r\n");
  // Everything was in flight under the default budget: the other files are whole.
  for (const std::string& name : names) {
    if (name == "f110.bin") continue;
    EXPECT_EQ(read_file(out() + "/" + name), std::string(5000, name[3])) << name;
  }
}

TEST_F(extract_v2_test, a_listed_directory_name_holding_a_backslash_gets_its_parents) {
  // Directories listed by their parents are made one level at a time; a name that is a
  // path on Windows must still find every level below the destination made.
  cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(v2_listing({"/x\\y", "/plain"})));
  b.add_directory("x\\y", b.add_plain(v2_listing({"/z", "f.txt"})));
  b.add_directory("x\\y/z", b.add_plain(v2_listing({"g.txt"})));
  b.add_directory("plain", b.add_plain(v2_listing({})));
  b.add_file("x\\y/f.txt", b.add_plain("f"));
  b.add_file("x\\y/z/g.txt", b.add_plain("g"));
  write_archive(b);
  auto result = extract();
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(tree_listing(out()), "D /plain\nD /x\nD /x/y\nD /x/y/z\nF /x/y/f.txt f\nF /x/y/z/g.txt g\n");
}

TEST_F(extract_v2_test, a_listing_loop_ends) {
  cairn_v2_builder_t b;
  int listing = b.add_plain(v2_listing({"/loop"}));
  b.add_directory("", listing);
  b.add_directory("loop", listing);  // /loop lists itself again as /loop/loop
  write_archive(b);
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err, "");
}
