// End-to-end checks of list, info and verify on the real binary: archives made by
// create, hand-built version 1 and version 2 archives, and damaged and hostile ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/archive_reader.h"
#include "support/cairn_builder.h"
#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"
#include "umbracore/ufs/fs_meta.h"

using namespace umbra_test;

namespace {

// Parses a JSON document with Python's strict parser (the bytes must be UTF-8) and
// prints every entry as "kind size stored compression hidden path-bytes-in-hex [image]"
// followed by the sorted summary.
const char* const JSON_DIGEST_SCRIPT = R"(
import json, sys
d = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))
for e in d['entries']:
    raw = e['path_hex'] if 'path_hex' in e else e['path'].encode('utf-8').hex()
    line = '%s %d %d %s %s %s' % (e['kind'], e['size'], e['stored_size'], e['compression'], e['hidden'], raw)
    if 'image' in e:
        i = e['image']
        line += ' %s %dx%d %d %d' % (i['format'], i['width'], i['height'], i['mips'], i['faces'])
    print(line)
print('unnamed %d' % len(d['unnamed_hidden']))
print(json.dumps(d['summary'], sort_keys=True))
)";

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

class inspect_test : public packer_tree_test_t {
 protected:
  tool_result_t list(const std::vector<std::string>& extra = {}) { return tool("list", extra); }
  tool_result_t info() { return tool("info", {}); }
  tool_result_t verify() { return tool("verify", {}); }
  void write_archive(const cairn_v2_builder_t& builder) { write_file(archive(), builder.build()); }
  void write_archive(const cairn_v1_builder_t& builder) { write_file(archive(), builder.build()); }

  // The JSON listing's digest; fails the test when Python cannot parse it.
  std::string json_digest(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"-json"};
    args.insert(args.end(), extra.begin(), extra.end());
    tool_result_t listed = list(args);
    write_file(dir / "listing.json", listed.out);
    tool_result_t parsed = run_program("/usr/bin/python3", {"-c", JSON_DIGEST_SCRIPT, dir / "listing.json"});
    EXPECT_EQ(parsed.exit_code, 0) << parsed.err << listed.out;
    return parsed.out;
  }

 private:
  tool_result_t tool(const char* command, std::vector<std::string> extra) {
    std::vector<std::string> args = {command, archive()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_packer(args, dir.path());
  }
};

}  // namespace

// ---- list ----

TEST_F(inspect_test, list_of_a_created_tree_gives_exactly_its_entries) {
  add("b.txt", "bravo");
  add("A.txt", "alpha alpha alpha alpha alpha alpha");
  add("sub/deep/z.bin", std::string(1000, 'z'));
  add("sub/y.bank", "yy");
  make_dirs(src() + "/empty");
  ASSERT_EQ(create().exit_code, 0);
  inspected_archive_t stored;
  ASSERT_TRUE(stored.load(archive()));
  auto chunk_of = [&stored](const std::string& path, uint32_t kind) {
    inspected_chunk_t chunk;
    EXPECT_TRUE(stored.chunk(*stored.find(path), kind, &chunk)) << path;
    return chunk.record;
  };
  struct row_t {
    const char* kind;
    std::string path;  // relative
    uint32_t chunk_kind;
  };
  // The walk's order: breadth-first, each listing in its order ("/x" before letters).
  const row_t rows[] = {{"directory", "", 129},      {"directory", "empty", 129}, {"directory", "sub", 129},
                        {"file", "A.txt", 128},       {"file", "b.txt", 128},      {"directory", "sub/deep", 129},
                        {"file", "sub/y.bank", 128}, {"file", "sub/deep/z.bin", 128}};
  std::string text = crlf_lines({"kind              size       stored  method    path"});
  std::string digest;
  uint64_t size = 0, stored_size = 0;
  for (const row_t& row : rows) {
    umbra::cairn_chunk_record_t chunk = chunk_of(row.path, row.chunk_kind);
    const char* method = chunk.compression == 1 ? "zlib" : "none";
    char line[200];
    snprintf(line, sizeof line, "%-9s %12u %12u  %-8s  /%s", row.kind, chunk.size, chunk.stored_size, method,
             row.path.c_str());
    text += std::string(line) + "\r\n";
    digest += std::string(row.kind) + " " + std::to_string(chunk.size) + " " + std::to_string(chunk.stored_size) +
              " " + method + " False " + hex("/" + row.path) + "\n";
    size += chunk.size;
    stored_size += chunk.stored_size;
  }
  char ratio[32];
  snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * (double)stored_size / (double)size);
  text += "8 entries (4 files, 4 directories, 0 images), " + std::to_string(size) + " bytes, " +
          std::to_string(stored_size) + " stored, ratio " + ratio + "\r\n";
  text += "0 hidden entries (in the entry table, in no listing), 0 of them named by -list\r\n";
  auto listed = list();
  EXPECT_EQ(listed.exit_code, 0);
  EXPECT_EQ(listed.err, "");
  EXPECT_EQ(listed.out, text);

  std::string got = json_digest();
  EXPECT_EQ(got.substr(0, digest.size()), digest);
  EXPECT_NE(got.find("unnamed 0\n"), std::string::npos);
  EXPECT_NE(got.find("{\"directories\": 4, \"entries\": 8, \"files\": 4, \"hidden\": 0, \"hidden_named\": 0, "
                     "\"images\": 0, \"problems\": 0, \"ratio\": "),
            std::string::npos)
      << got;
  EXPECT_NE(got.find("\"size\": " + std::to_string(size) + ", \"stored_size\": " + std::to_string(stored_size)),
            std::string::npos)
      << got;
}

TEST_F(inspect_test, hidden_entries_are_counted_and_named_by_candidate_paths) {
  add("a.txt", "a");
  add("d/secret.txt", "s");
  add("d/open.txt", "o");
  add("vault/inner.txt", "i");
  write_file(dir / "all.txt", "/\r\na.txt\r\nd\r\nd/open.txt\r\nvault/inner.txt\r\n");
  write_file(dir / "hide.txt", "d/secret.txt\r\nvault\r\n");
  ASSERT_EQ(create({"-list", dir / "all.txt", "-hide-list", dir / "hide.txt"}).exit_code, 0);
  // The hidden directory's listing names inner.txt, which no visible listing does.
  auto listed = list();
  EXPECT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("\r\n3 hidden entries (in the entry table, in no listing), 0 of them named by -list\r\n"),
            std::string::npos)
      << listed.out;
  write_file(dir / "candidates.txt", "d/secret.txt\r\nvault\r\nnot/there.txt\r\na.txt\r\n");
  auto named = list({"-list", dir / "candidates.txt"});
  EXPECT_EQ(named.exit_code, 0) << named.err;
  EXPECT_NE(named.out.find("  /d/secret.txt (hidden)\r\n"), std::string::npos) << named.out;
  EXPECT_NE(named.out.find("  /vault (hidden)\r\n"), std::string::npos) << named.out;
  EXPECT_NE(named.out.find("  /vault/inner.txt (hidden)\r\n"), std::string::npos) << named.out;
  EXPECT_NE(named.out.find("\r\n3 hidden entries (in the entry table, in no listing), 3 of them named by -list\r\n"),
            std::string::npos);
  std::string digest = json_digest({"-list", dir / "candidates.txt"});
  EXPECT_NE(digest.find("file 1 1 none True " + hex("/d/secret.txt") + "\n"), std::string::npos) << digest;
  EXPECT_NE(digest.find("file 1 1 none False " + hex("/a.txt") + "\n"), std::string::npos) << digest;
  EXPECT_NE(json_digest().find("unnamed 3\n"), std::string::npos);
}

TEST_F(inspect_test, list_reads_version_1_archives) {
  cairn_v1_builder_t b;
  b.add_directory("", "*tex\r\na.txt\r\n");
  b.add_directory("tex", "c.bin\n");
  b.add_file("a.txt", "alpha");
  b.add_file("tex/c.bin", std::string(9000, 'c'), true);
  write_archive(b);
  auto listed = list();
  EXPECT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("file              9000"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("zlib      /tex/c.bin\r\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\r\n4 entries (2 files, 2 directories, 0 images), "), std::string::npos) << listed.out;
  std::string digest = json_digest();
  EXPECT_NE(digest.find("file 5 5 none False " + hex("/a.txt") + "\n"), std::string::npos) << digest;
}

TEST_F(inspect_test, hostile_names_are_escaped_in_text_and_json_stays_valid) {
  const std::string names[] = {
      "\x1b]0;owned\x07\x1b[2J",  // sets the window title, clears the screen
      "bad\xff\xfe.txt",          // not UTF-8
      "\xc2\x9b" "31m",           // an 8-bit CSI
      "rtl\xe2\x80\xaetxt.exe",   // right-to-left override
      "\xc3\xa9t\xc3\xa9.txt",    // plain UTF-8 stays as it is
      "quote\"back\\slash",
  };
  cairn_v2_builder_t b;
  std::vector<std::string> sorted(std::begin(names), std::end(names));
  std::sort(sorted.begin(), sorted.end());
  b.add_directory("", b.add_plain(v2_listing(sorted)));
  for (const std::string& name : names) b.add_file(name, b.add_plain("x"));
  write_archive(b);
  auto listed = list();
  EXPECT_EQ(listed.exit_code, 0) << listed.err;
  for (char c : listed.out) EXPECT_FALSE((unsigned char)c < 0x20 && c != '\r' && c != '\n') << (int)c;
  EXPECT_EQ(listed.out.find("\xff"), std::string::npos);
  EXPECT_EQ(listed.out.find("\xc2\x9b"), std::string::npos);
  EXPECT_NE(listed.out.find("  /\\x1B]0;owned\\x07\\x1B[2J\r\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("  /bad\\xFF\\xFE.txt\r\n"), std::string::npos);
  EXPECT_NE(listed.out.find("  /\\u009B31m\r\n"), std::string::npos);
  EXPECT_NE(listed.out.find("  /rtl\\u202Etxt.exe\r\n"), std::string::npos);
  EXPECT_NE(listed.out.find("  /\xc3\xa9t\xc3\xa9.txt\r\n"), std::string::npos);
  EXPECT_NE(listed.out.find("  /quote\"back\\\\slash\r\n"), std::string::npos);
  // JSON gives every name back byte for byte (in hexadecimal where it is not UTF-8).
  std::string digest = json_digest();
  for (const std::string& name : names)
    EXPECT_NE(digest.find("file 1 1 none False " + hex("/" + name) + "\n"), std::string::npos) << hex(name);
}

TEST_F(inspect_test, image_entries_show_their_layout) {
  // 4x4 R8G8B8A8_UNORM, one mip, one face, rows of 256 bytes: 3 * 256 + 16 bytes.
  umbra::fs_meta_image_t image{(umbra::format_t)28, 0, 4, 4, 1, 1, 256, 512};
  umbra::u32 words[2];
  ASSERT_TRUE(umbra::fs_meta_pack_image(image, words));
  for (uint64_t data_size : {uint64_t(784), uint64_t(700)}) {
    SCOPED_TRACE(data_size);
    cairn_v2_builder_t b;
    b.add_directory("", b.add_plain(v2_listing({"t.tobj"})));
    b.add_entry(v2_entry_spec_t("t.tobj", false,
                                {v2_record_t(1, {words[0], words[1]}), v2_record_t(2, {0}),
                                 v2_record_t(132, {}, b.add_plain(std::string(data_size, '\x11')))}));
    write_archive(b);
    auto listed = list();
    EXPECT_NE(listed.out.find("image     " + std::string(12 - std::to_string(data_size).size(), ' ') +
                              std::to_string(data_size)),
              std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("  /t.tobj  [R8G8B8A8_UNORM 4x4, mips 1, faces 1]\r\n"), std::string::npos)
        << listed.out;
    EXPECT_NE(json_digest().find(" R8G8B8A8_UNORM 4x4 1 1\n"), std::string::npos);
    auto verified = verify();
    if (data_size == 784) {
      EXPECT_EQ(verified.exit_code, 0) << verified.err;
    } else {
      EXPECT_EQ(verified.exit_code, 1);
      EXPECT_EQ(verified.err,
                "*** ERROR *** : '/t.tobj': its image cannot be rebuilt: 700 bytes of data for levels of 784 bytes\r\n");
    }
  }
}

// ---- info ----

TEST_F(inspect_test, info_describes_header_tables_and_data) {
  add("a.txt", std::string(5000, 'a'));
  add("b/copy.txt", std::string(5000, 'a'));
  ASSERT_EQ(create().exit_code, 0);
  inspected_archive_t stored;
  ASSERT_TRUE(stored.load(archive()));
  const umbra::cairn_v2_header_t& h = stored.header;
  uint64_t content = 0, blocks = 0;
  for (const auto& entry : stored.entries) {
    inspected_chunk_t chunk;
    ASSERT_TRUE(stored.chunk(entry, umbra::cairn_v2_entry_is_directory(entry) ? 129 : 128, &chunk));
    content += chunk.record.size;
    blocks += chunk.record.stored_size;
  }
  char ratio[32];
  snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * (double)blocks / (double)content);
  auto result = info();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            crlf_lines({"Archive: " + archive(), "Size: " + std::to_string(stored.bytes.size()) + " bytes",
                        "Version: 2", "Salt: 0", "Platform: pc (0)", "Hash method: CITY", "Entries: 4",
                        "Metadata words: " + std::to_string(h.metadata_count),
                        "Entry table: 64 bytes at offset " + std::to_string(h.entry_table_offset) + ", stored " +
                            std::to_string(h.entry_table_size) + " bytes (zlib)",
                        "Metadata table: " + std::to_string(h.metadata_count * 4) + " bytes at offset " +
                            std::to_string(h.metadata_table_offset) + ", stored " +
                            std::to_string(h.metadata_table_size) + " bytes (zlib)",
                        "Security block: none", "Kinds: 2 files, 2 directories, 0 images",
                        "Data: " + std::to_string(content) + " bytes of content in " + std::to_string(blocks) +
                            " stored bytes, ratio " + ratio}));
}

TEST_F(inspect_test, info_of_what_create_never_writes) {
  cairn_v1_builder_t v1;
  v1.salt = 3;
  v1.add_directory("", "a.txt\r\n");
  v1.add_file("a.txt", "alpha");
  write_archive(v1);
  auto old = info();
  EXPECT_EQ(old.exit_code, 0) << old.err;
  EXPECT_NE(old.out.find("\r\nVersion: 1\r\nSalt: 3\r\nPlatform: none (version 1)\r\n"), std::string::npos) << old.out;
  EXPECT_NE(old.out.find("\r\nEntry table: 64 bytes at offset "), std::string::npos);
  EXPECT_NE(old.out.find(", stored 64 bytes (raw)\r\n"), std::string::npos);

  cairn_v2_builder_t v2;
  v2.platform = 3;
  v2.compress_tables = false;
  v2.security_block = std::string(596, 'S');
  v2.add_directory("", v2.add_plain(v2_listing({"x"})));
  v2.add_file("x", v2.add_plain("x"));
  write_archive(v2);
  auto other = info();
  EXPECT_EQ(other.exit_code, 0) << other.err;
  EXPECT_EQ(other.err, "*** WARNING *** : Opening platform incompatible Cairn archive (ps4)\r\n");
  EXPECT_NE(other.out.find("\r\nPlatform: ps4 (3)\r\n"), std::string::npos) << other.out;
  EXPECT_NE(other.out.find(", stored 32 bytes (raw)\r\n"), std::string::npos);
  EXPECT_NE(other.out.find("\r\nSecurity block: 596 bytes at offset "), std::string::npos);
}

// ---- verify ----

TEST_F(inspect_test, verify_passes_sound_archives) {
  add("a.txt", std::string(50000, 'a'));
  add("empty.bin", "");
  add("d/e/f.bin", std::string(3000, 'f'));
  add("d/y.bank", "bank");
  for (bool nocompress : {false, true}) {
    SCOPED_TRACE(nocompress);
    ASSERT_EQ(create(nocompress ? std::vector<std::string>{"-nocompress"} : std::vector<std::string>{}).exit_code, 0);
    auto result = verify();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("Verified 7 entries with ", 0), 0u) << result.out;
    EXPECT_NE(result.out.find(" bytes of content: no problems found\r\n"), std::string::npos);
  }
  // Everything the readers accept that create does not write.
  cairn_v2_builder_t b;
  b.salt = 7;
  b.compress_tables = false;
  b.add_directory("", b.add_plain(v2_listing({"/sub", "deflate.bin", "zstd.bin"})));
  b.add_directory("sub", b.add_zlib(v2_listing({"zlib.txt"})));
  b.add_file("deflate.bin", b.add_block(raw_deflate(std::string(5000, 'd')), 5000, 2));
  b.add_entry(v2_entry_spec_t("zstd.bin", false,
                              {v2_record_t(3, {1, 2}), v2_record_t(77, {5}),
                               v2_record_t(128, {}, b.add_block(zstd_compress(std::string(7000, 'z')), 7000, 4))}));
  b.add_file("sub/zlib.txt", b.add_zlib("zlib data"));
  write_archive(b);
  auto built = verify();
  EXPECT_EQ(built.exit_code, 0) << built.err;
  cairn_v1_builder_t v1;
  v1.add_directory("", "*tex\r\na.txt");
  v1.add_directory("tex", "c.bin");
  v1.add_file("a.txt", "alpha");
  v1.add_file("tex/c.bin", std::string(9000, 'c'), true);
  write_archive(v1);
  auto old = verify();
  EXPECT_EQ(old.exit_code, 0) << old.err;
  EXPECT_EQ(old.out, "Verified 4 entries with 9021 bytes of content: no problems found\r\n");
}

TEST_F(inspect_test, verify_reads_a_chunk_that_entries_share_once_for_all) {
  // 2000 entries naming one block of 16 MiB: read once, not 32 GB of inflating.
  std::vector<std::string> names;
  for (int i = 0; i < 2000; ++i) names.push_back("f" + std::to_string(1000 + i));
  const std::string listing = v2_listing(names);
  cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(listing));
  const uint64_t size = 16u << 20;
  const int shared = b.add_zlib(std::string(size, '\0'));
  for (const std::string& name : names) b.add_file(name, shared);
  write_archive(b);
  auto result = verify();
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "Verified 2001 entries with " + std::to_string(2000 * size + listing.size()) +
                            " bytes of content: no problems found\r\n");

  // What one read finds wrong is reported for every entry that shares it.
  cairn_v2_builder_t damaged;
  damaged.add_directory("", damaged.add_plain(v2_listing({"a", "b"})));
  const int short_stream = damaged.add_block(zlib_deflate("short"), 6, 1);
  damaged.add_file("a", short_stream);
  damaged.add_file("b", short_stream);
  const int bad_listing = damaged.add_plain(v2_listing({"x"}, 5));
  damaged.add_directory("h1", bad_listing);
  damaged.add_directory("h2", bad_listing);
  write_archive(damaged);
  auto problems = verify();
  EXPECT_EQ(problems.exit_code, 1);
  for (const char* line : {"'/a': its zlib data does not decode to 6 bytes\r\n",
                           "'/b': its zlib data does not decode to 6 bytes\r\n"})
    EXPECT_NE(problems.err.find(std::string("*** ERROR *** : ") + line), std::string::npos) << problems.err;
  EXPECT_EQ(std::count(problems.err.begin(), problems.err.end(), '\n'), 4) << problems.err;
  size_t malformed = 0;
  for (size_t at = 0; (at = problems.err.find("': the listing is malformed\r\n", at)) != std::string::npos; ++at)
    ++malformed;
  EXPECT_EQ(malformed, 2u) << problems.err;
  EXPECT_EQ(problems.out, "Verified 5 entries: 4 problems found\r\n");
}

TEST_F(inspect_test, verify_names_the_place_of_damage_in_created_archives) {
  add("a.txt", std::string(50000, 'a'));
  add("b/c.txt", "c");
  ASSERT_EQ(create().exit_code, 0);
  const std::string whole = read_file(archive());
  inspected_archive_t stored;
  ASSERT_TRUE(stored.load(archive()));
  inspected_chunk_t chunk;
  ASSERT_TRUE(stored.chunk(*stored.find("a.txt"), 128, &chunk));
  ASSERT_EQ(chunk.record.compression, 1u);
  // A flipped byte inside the compressed chunk of a.txt.
  std::string flipped = whole;
  flipped[chunk.record.offset + chunk.record.stored_size / 2] ^= 0x20;
  write_file(archive(), flipped);
  auto damaged = verify();
  EXPECT_EQ(damaged.exit_code, 1);
  EXPECT_EQ(damaged.err, "*** ERROR *** : '/a.txt': its zlib data does not decode to 50000 bytes\r\n");
  EXPECT_EQ(damaged.out, "Verified 4 entries: 1 problem found\r\n");
  // A cut archive loses its tables, which the lines name.
  for (size_t cut : {size_t(12), size_t(4200), whole.size() - 40, whole.size() - 1}) {
    SCOPED_TRACE(cut);
    write_file(archive(), whole.substr(0, cut));
    auto result = verify();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(result.err.find("table") != std::string::npos || result.err.find("header") != std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("*** ERROR *** : Failed to mount the archive!\r\n"), std::string::npos);
  }
  std::vector<std::string> before;
  for (auto& item : std::filesystem::recursive_directory_iterator(dir.path())) before.push_back(item.path());
  write_file(archive(), whole);
  EXPECT_EQ(verify().exit_code, 0);
  std::vector<std::string> after;
  for (auto& item : std::filesystem::recursive_directory_iterator(dir.path())) after.push_back(item.path());
  EXPECT_EQ(after, before);  // verify writes nothing
}

struct hostile_case_t {
  const char* name;
  std::function<void(cairn_v2_builder_t&)> build;
  std::string err;
};

TEST_F(inspect_test, verify_reports_every_problem_of_hostile_archives) {
  const hostile_case_t cases[] = {
      {"listing names a missing entry",
       [](cairn_v2_builder_t& b) { b.add_directory("", b.add_plain(v2_listing({"ghost.txt"}))); },
       "'/ghost.txt' is listed but has no entry\r\n"},
      {"chunk pointing past the end",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_entry(v2_entry_spec_t("x", false, {v2_record_t(128, umbra_test::v2_chunk_words(1000, 1000, 1 << 20, 0))}));
       },
       "'/x': stored bytes 1048576..1049576 lie outside the archive"},
      {"no root entry", [](cairn_v2_builder_t& b) { b.add_file("x", b.add_plain("x")); },
       "Directory '/' has no entry\r\n"},
      {"root without listing", [](cairn_v2_builder_t& b) { b.add_entry(v2_entry_spec_t("", true)); },
       "Unable to read content of directory '/': it has no listing\r\n"},
      {"malformed listing",
       [](cairn_v2_builder_t& b) { b.add_directory("", b.add_plain(v2_listing({"a"}, 5))); },
       "Unable to read content of directory '/': the listing is malformed\r\n"},
      {"listed as a directory, stored as a file",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"/x"})));
         b.add_file("x", b.add_plain("x"));
       },
       "'/x' is listed as a directory but its entry is a file\r\n"},
      {"a listing loop",
       [](cairn_v2_builder_t& b) {
         int listing = b.add_plain(v2_listing({"/loop"}));
         b.add_directory("", listing);
         b.add_directory("loop", listing);
       },
       "'/loop/loop' is listed but has no entry\r\n"},
      {"unknown compression",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block("xxxx", 4, 9));
       },
       "'/x': unsupported compression 9\r\n"},
      {"corrupt zstd frame",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         std::string frame = zstd_compress(std::string(3000, 'q'));
         frame[frame.size() / 2] ^= 0x5A;
         b.add_file("x", b.add_block(frame, 3000, 4));
       },
       "'/x': its zstd data does not decode to 3000 bytes\r\n"},
      {"zlib stream shorter than its size",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block(zlib_deflate("short"), 6, 1));
       },
       "'/x': its zlib data does not decode to 6 bytes\r\n"},
      {"size the stored bytes cannot hold",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_file("x", b.add_block(zlib_deflate("tiny"), (1u << 28) - 1, 1));
       },
       "'/x': size 268435455 cannot come from "},
      {"records outside the metadata table",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"x"})));
         b.add_entry(v2_entry_spec_t("x", false, {}, std::vector<uint32_t>{128u << 24 | 0xFFFFF0}));
       },
       "'/x': its records lie outside the metadata table\r\n"},
      {"names extraction refuses",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({"con", "x."})));
         b.add_file("con", b.add_plain("c"));
         b.add_file("x.", b.add_plain("x"));
       },
       "'/con' cannot be extracted: special windows path\r\n"},
      {"a hidden entry whose data is damaged",
       [](cairn_v2_builder_t& b) {
         b.add_directory("", b.add_plain(v2_listing({})));
         b.add_file("hidden.bin", b.add_block(std::string(40, '\x33'), 400, 1));
       },
       "'entry "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cairn_v2_builder_t b;
    c.build(b);
    write_archive(b);
    auto result = verify();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("*** ERROR *** : " + c.err), std::string::npos) << result.err;
    EXPECT_NE(result.out.find(" found\r\n"), std::string::npos) << result.out;
    EXPECT_EQ(list().exit_code == 0, result.err.find("listed") == std::string::npos &&
                                         result.err.find("directory '/'") == std::string::npos &&
                                         result.err.find("has no entry") == std::string::npos)
        << "list fails exactly where a listing has a problem";
  }
}

TEST_F(inspect_test, verify_of_huge_hostile_tables_is_bounded) {
  // 250000 entries of one hash, offset 0 and size 0: no root, the table out of order
  // everywhere, and far more problems than lines.
  write_sparse_v1_archive(archive(), 250000);
  auto result = verify();
  EXPECT_EQ(result.exit_code, 1);
  size_t lines = std::count(result.err.begin(), result.err.end(), '\n');
  EXPECT_EQ(lines, 1001u);
  EXPECT_NE(result.err.find("*** ERROR *** : 249000 more problems are not shown\r\n"), std::string::npos);
  EXPECT_EQ(result.out, "Verified 250000 entries: 250000 problems found\r\n");

  cairn_v2_builder_t b;
  b.entry_count = 0x7FFFFFFF;  // a table the archive cannot hold
  b.add_directory("", b.add_plain(v2_listing({})));
  write_archive(b);
  auto claimed = verify();
  EXPECT_EQ(claimed.exit_code, 1);
  EXPECT_NE(claimed.err.find("*** ERROR *** : Failed to mount the archive!\r\n"), std::string::npos) << claimed.err;
}

TEST_F(inspect_test, commands_refuse_what_is_no_archive) {
  for (const char* command : {"list", "info", "verify"}) {
    SCOPED_TRACE(command);
    auto missing = run_packer({command, "missing.qar"}, dir.path());
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err, "*** ERROR *** : 'missing.qar' not found\r\n");
    EXPECT_EQ(missing.out, "");
    write_file(dir / "text.qar", "this is no archive at all");
    auto text = run_packer({command, "text.qar"}, dir.path());
    EXPECT_EQ(text.exit_code, 1);
    EXPECT_EQ(text.err, "*** ERROR *** : Unsupported file format!\r\n");
    auto usage = run_packer({command}, dir.path());
    EXPECT_EQ(usage.exit_code, 1);
    EXPECT_EQ(usage.err, "*** ERROR *** : Invalid number of command parameters.\r\n");
  }
}

TEST_F(inspect_test, image_entries_made_by_create_are_listed_and_verified) {
  add("tex/a.dds", read_file(texture_fixture("dds/nvtt_bc1_256x256_mips.dds")));
  tobj_desc_t descriptor;
  descriptor.names = {"tex/a.dds"};
  add("tex/a.tobj", tobj_file(descriptor));
  add("sky/cube.dds", read_file(texture_fixture("dds/nvtt_x8r8g8b8_cube_8x8.dds")));
  tobj_desc_t cube;
  cube.texture_type = 5;
  cube.names = {"sky/cube.dds"};
  add("sky/cube.tobj", tobj_file(cube));
  ASSERT_EQ(create().exit_code, 0);
  auto listed = list();
  EXPECT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("image            49672"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("  /tex/a.tobj  [BC1_UNORM_SRGB 256x256, mips 9, faces 1]\r\n"), std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("/sky/cube.tobj  [B8G8R8X8_UNORM_SRGB 8x8, mips 1, faces 6]\r\n"), std::string::npos)
      << listed.out;
  std::string digest = json_digest();
  EXPECT_NE(digest.find(" BC1_UNORM_SRGB 256x256 9 1\n"), std::string::npos) << digest;
  EXPECT_NE(digest.find("\"images\": 2"), std::string::npos) << digest;
  auto verified = verify();
  EXPECT_EQ(verified.exit_code, 0) << verified.err;

  // The first block of the 256x256 image's only page made block type 3, which no page
  // may hold (a flipped byte elsewhere may land in literal bits and still decode).
  inspected_archive_t stored;
  ASSERT_TRUE(stored.load(archive()));
  inspected_chunk_t chunk;
  ASSERT_TRUE(stored.chunk(*stored.find("tex/a.tobj"), 132, &chunk));
  ASSERT_EQ(chunk.record.compression, 3u);
  std::string bytes = read_file(archive());
  const size_t first_page = chunk.record.offset + 8 + 4;  // after the header and the one-page table
  bytes[first_page] |= 0x06;
  write_file(archive(), bytes);
  auto damaged = verify();
  EXPECT_EQ(damaged.exit_code, 1);
  EXPECT_EQ(damaged.err, "*** ERROR *** : '/tex/a.tobj': its gdeflate data does not decode to 49672 bytes\r\n");
}
