// End-to-end checks of extracting some entries: paths after the archive name, -filter
// patterns, -stdout, on archives made by create and hand-built ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "support/packer_fixture.h"
#include "support/run_tool.h"

using namespace umbra_test;

namespace {

class extract_select_test : public packer_tree_test_t {
 protected:
  void SetUp() override {
    add("a.txt", "alpha");
    add("b.bin", std::string(3000, 'b'));
    add("docs/readme.txt", std::string(20000, 'r'));
    add("docs/deep/notes.txt", "notes");
    add("docs/deep/raw.bin", "raw");
    add("tex/wall.bin", std::string(70000, 'w'));
    make_dirs(src() + "/docs/empty");
    ASSERT_EQ(create().exit_code, 0);
  }
  tool_result_t select(const std::vector<std::string>& words, const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"extract", archive()};
    args.insert(args.end(), words.begin(), words.end());
    args.push_back("-root");
    args.push_back(out());
    args.insert(args.end(), options.begin(), options.end());
    return run_packer(args, dir.path());
  }
  // Every path below the destination, directories with a trailing '/'.
  std::vector<std::string> written() const {
    std::vector<std::string> paths;
    if (!file_exists(out())) return paths;
    for (auto& item : std::filesystem::recursive_directory_iterator(out()))
      paths.push_back(item.path().string().substr(out().size() + 1) + (item.is_directory() ? "/" : ""));
    std::sort(paths.begin(), paths.end());
    return paths;
  }
  void expect_nothing_outside_destination() {
    std::vector<std::string> names;
    for (auto& item : std::filesystem::directory_iterator(dir.path())) names.push_back(item.path().filename());
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = {"a.qar", "src"};
    if (file_exists(out())) expected.push_back("out");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
  }
  static std::string info_lines() {
    return "[cairn] a.qar: Created, 11 entries\r\n[cairn] a.qar: Unmounted.\r\n";
  }
};

struct select_case_t {
  const char* name;
  std::vector<std::string> words;
  std::vector<std::string> options;
  std::vector<std::string> written;
};

}  // namespace

TEST_F(extract_select_test, paths_and_patterns_write_exactly_what_they_select) {
  const select_case_t cases[] = {
      {"one file", {"docs/readme.txt"}, {}, {"docs/", "docs/readme.txt"}},
      {"a directory with everything below it",
       {"docs"},
       {},
       {"docs/", "docs/deep/", "docs/deep/notes.txt", "docs/deep/raw.bin", "docs/empty/", "docs/readme.txt"}},
      {"spelled with slashes and backslashes", {"/docs\\deep/", "//a.txt"}, {},
       {"a.txt", "docs/", "docs/deep/", "docs/deep/notes.txt", "docs/deep/raw.bin"}},
      {"the root is everything", {"/"}, {},
       {"a.txt", "b.bin", "docs/", "docs/deep/", "docs/deep/notes.txt", "docs/deep/raw.bin", "docs/empty/",
        "docs/readme.txt", "tex/", "tex/wall.bin"}},
      {"a star stays in its directory", {}, {"-filter", "*.txt"}, {"a.txt"}},
      {"two stars cross directories", {}, {"-filter", "**.bin"},
       {"b.bin", "docs/", "docs/deep/", "docs/deep/raw.bin", "tex/", "tex/wall.bin"}},
      {"repeated and with several values", {}, {"-filter", "tex/*", "-filter", "docs/*/n?tes.txt", "a.*"},
       {"a.txt", "docs/", "docs/deep/", "docs/deep/notes.txt", "tex/", "tex/wall.bin"}},
      {"paths and patterns add up", {"b.bin"}, {"-filter", "**/raw.*"},
       {"b.bin", "docs/", "docs/deep/", "docs/deep/raw.bin"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(out());
    auto result = select(c.words, c.options);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, info_lines());
    EXPECT_EQ(written(), c.written);
    for (const std::string& path : written())
      if (path.back() != '/') {
        EXPECT_EQ(read_file(out() + "/" + path), read_file(src() + "/" + path)) << path;
      }
    expect_nothing_outside_destination();
  }
}

TEST_F(extract_select_test, what_names_nothing_fails_after_the_rest_is_written) {
  const struct {
    const char* name;
    std::vector<std::string> words;
    std::vector<std::string> options;
    std::string err;
  } cases[] = {
      {"a missing path", {"a.txt", "docs/missing.txt"}, {}, "*** ERROR *** : 'docs/missing.txt' is not in the archive\r\n"},
      {"a pattern matching nothing", {"a.txt"}, {"-filter", "*.zip"},
       "*** ERROR *** : -filter '*.zip' matches no file of the archive\r\n"},
      {"a path with ..", {"docs/../a.txt", "a.txt"}, {},
       "*** ERROR *** : 'docs/../a.txt' cannot name an entry of the archive: '.' and '..' are no path components "
       "there\r\n"},
      {"a path leaving the root", {"../../a.txt", "a.txt"}, {},
       "*** ERROR *** : '../../a.txt' cannot name an entry of the archive: '.' and '..' are no path components "
       "there\r\n"},
      {"a path that would drive the terminal", {"\x1b[2J", "a.txt"}, {},
       "*** ERROR *** : '\\x1B[2J' is not in the archive\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(out());
    auto result = select(c.words, c.options);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(written(), std::vector<std::string>{"a.txt"});
    expect_nothing_outside_destination();
  }
  auto filter_without_value = select({}, {"-filter"});
  EXPECT_EQ(filter_without_value.exit_code, 1);
  EXPECT_EQ(filter_without_value.err, "*** ERROR *** : -filter requires value\r\n");
  EXPECT_EQ(filter_without_value.out, "");
}

TEST_F(extract_select_test, stdout_writes_exactly_the_file) {
  for (const char* path : {"a.txt", "docs/readme.txt", "/tex/wall.bin"}) {
    SCOPED_TRACE(path);
    auto result = run_packer({"extract", archive(), path, "-stdout"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, read_file(src() + "/" + std::string(path[0] == '/' ? path + 1 : path)));
  }
  EXPECT_FALSE(file_exists(out()));
  const struct {
    std::vector<std::string> args;
    std::string err;
  } refusals[] = {
      {{"docs", "-stdout"}, "*** ERROR *** : '/docs' is a directory; -stdout writes one file\r\n"},
      {{"missing.txt", "-stdout"}, "*** ERROR *** : '/missing.txt' is not in the archive\r\n"},
      {{"a.txt", "b.bin", "-stdout"},
       "*** ERROR *** : -stdout writes one file: name exactly one file after the archive, and no -filter\r\n"},
      {{"-stdout"}, "*** ERROR *** : -stdout writes one file: name exactly one file after the archive, and no -filter\r\n"},
      {{"a.txt", "-stdout", "-filter", "*"},
       "*** ERROR *** : -stdout writes one file: name exactly one file after the archive, and no -filter\r\n"},
  };
  for (const auto& r : refusals) {
    std::vector<std::string> args = {"extract", archive()};
    args.insert(args.end(), r.args.begin(), r.args.end());
    auto result = run_packer(args, dir.path());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, r.err);
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(extract_select_test, hidden_entries_are_found_by_name) {
  write_file(dir / "all.txt", "/\r\na.txt\r\nvault\r\nvault/in.txt\r\nlone.txt\r\n");
  write_file(dir / "hide.txt", "vault\r\nlone.txt\r\n");
  add("vault/in.txt", "inside");
  add("lone.txt", "lone");
  ASSERT_EQ(create({"-list", dir / "all.txt", "-hide-list", dir / "hide.txt"}).exit_code, 0);
  auto result = select({"vault", "lone.txt"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(written(), (std::vector<std::string>{"lone.txt", "vault/", "vault/in.txt"}));
  auto piped = run_packer({"extract", archive(), "lone.txt", "-stdout"}, dir.path());
  EXPECT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_EQ(piped.out, "lone");
}

TEST_F(extract_select_test, version_1_archives_and_hostile_names) {
  cairn_v1_builder_t v1;
  v1.add_directory("", "*tex\r\na.txt\r\n");
  v1.add_directory("tex", "c.bin\r\nd.bin\r\n");
  v1.add_file("a.txt", "alpha");
  v1.add_file("tex/c.bin", std::string(9000, 'c'), true);
  v1.add_file("tex/d.bin", "d");
  write_file(archive(), v1.build());
  auto old = select({}, {"-filter", "tex/c.*"});
  EXPECT_EQ(old.exit_code, 0) << old.err;
  EXPECT_EQ(written(), (std::vector<std::string>{"tex/", "tex/c.bin"}));
  EXPECT_EQ(read_file(out() + "/tex/c.bin"), std::string(9000, 'c'));
  auto piped = run_packer({"extract", archive(), "tex/c.bin", "-stdout"}, dir.path());
  EXPECT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_EQ(piped.out, std::string(9000, 'c'));

  // Selected or not, a name that would leave the destination is refused: the directory
  // a selected file lies in is vetted like every directory, and stops the walk.
  cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(v2_listing({"/..", "ok.txt"})));
  b.add_directory("..", b.add_plain(v2_listing({"evil.txt"})));
  b.add_file("../evil.txt", b.add_plain("evil"));
  b.add_file("ok.txt", b.add_plain("ok"));
  write_file(archive(), b.build());
  std::filesystem::remove_all(out());
  auto hostile = select({}, {"-filter", "**"});
  EXPECT_EQ(hostile.exit_code, 1);
  EXPECT_EQ(hostile.err, "*** ERROR *** : Path '/..' is not supported: special component name\r\n");
  EXPECT_EQ(written(), std::vector<std::string>{});
  expect_nothing_outside_destination();
}

TEST_F(extract_select_test, names_that_would_drive_the_terminal_are_escaped_in_its_lines) {
  // Refused names, and names extract accepts but cannot read, are shown escaped; a name
  // that prints as itself (a backslash included) is shown exactly as before.
  const struct {
    const char* name;
    std::string entry;
    uint32_t compression;  // 9 is none extract knows: a readable name fails there
    std::string err;
  } cases[] = {
      {"an escape sequence", "\x1b]0;owned\x07", 0,
       "*** ERROR *** : Path '/\\x1B]0;owned\\x07' is not supported: unsupported character\r\n"},
      {"not UTF-8", "bad\xff.bin", 0, "*** ERROR *** : Path '/bad\\xFF.bin' is not supported: not utf-8\r\n"},
      {"an 8-bit CSI", "\xc2\x9b" "31m.bin", 9, "*** ERROR *** : Unsupported compression 9 of '/\\u009B31m.bin'!\r\n"},
      {"a right-to-left override", "rtl\xe2\x80\xae" "nib.exe", 9,
       "*** ERROR *** : Unsupported compression 9 of '/rtl\\u202Enib.exe'!\r\n"},
      {"a backslash", "a\\b.bin", 9, "*** ERROR *** : Unsupported compression 9 of '/a\\b.bin'!\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cairn_v2_builder_t b;
    b.add_directory("", b.add_plain(v2_listing({c.entry})));
    b.add_file(c.entry, b.add_block("xxxx", 4, c.compression));
    write_file(archive(), b.build());
    std::filesystem::remove_all(out());
    auto result = select({});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, c.err + "*** ERROR *** : Failed to extract some files\r\n");
    expect_nothing_outside_destination();
  }
}
