// The version 2 read device over archives written byte by byte: mounting, lookups,
// files, listings, metadata, and archives that are damaged or hostile.
#include "umbracore/ufs/cairn_v2_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/cairn_device_factory.h"
#include "umbracore/ufs/cairn_path_hash.h"
#include "umbracore/ufs/cityhash.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_io_server_core.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/format/gdeflate.h"

using umbra::auto_ptr_t;
using umbra::file_t;
using umbra::fs_device_t;
using umbra_test::cairn_v2_builder_t;
using umbra_test::v2_chunk_words;
using umbra_test::v2_entry_spec_t;
using umbra_test::v2_listing;

namespace {

const std::string HELLO = "hello, cairn";

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)('a' + (i * 7 + i / 13) % 26);
  return s;
}

// The root holds the directory tex and the file a.txt; tex holds b.bin (zlib).
cairn_v2_builder_t standard_archive() {
  cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(v2_listing({"/tex", "a.txt"})));
  b.add_directory("tex", b.add_zlib(v2_listing({"b.bin"})));
  b.add_file("a.txt", b.add_plain(HELLO));
  b.add_file("tex/b.bin", b.add_zlib(pattern(10000)));
  return b;
}

class cairn_v2_device_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(umbra::fs_startup());
    ASSERT_TRUE(umbra::fs_io_server_startup());
  }
  void TearDown() override {
    device.reset();
    umbra::fs_io_server_shutdown();
    umbra::fs_shutdown();
  }

  auto_ptr_t<file_t> open_archive(const std::string& bytes) {
    umbra_test::write_file(path(), bytes);
    auto_ptr_t<file_t> archive;
    EXPECT_TRUE(umbra::fs_device_open(archive, path().c_str(), umbra::FS_MODE_READ_ONLY, umbra::FS_DEVICE_SYSFS));
    return archive;
  }
  // Mounts through the factory; false when no device is handed out.
  bool mount(const std::string& bytes) {
    device.reset();  // Windows keeps a file that is open from being written
    auto_ptr_t<file_t> archive = open_archive(bytes);
    device.reset(umbra::open_cairn_device(archive));
    return (bool)device;
  }
  bool mount(const cairn_v2_builder_t& builder) { return mount(builder.build()); }
  std::string path() const { return dir / "a.qar"; }

  std::string read_all(file_t* file) {
    std::string content(file->get_size(), '\0');
    EXPECT_TRUE(file->read_at(content.data(), content.size(), 0));
    return content;
  }
  std::vector<std::pair<std::string, unsigned>> list(const char* path) {
    std::vector<std::pair<std::string, unsigned>> out;
    auto listing = device->read_dir(path);
    if (!listing) return {{"<null>", 0}};
    for (umbra::u64 i = 0; i < listing->count(); ++i) out.push_back({(*listing)[i].name.c_str(), (*listing)[i].kind});
    return out;
  }
  static std::string error(const std::string& message) { return "[cairn] a.qar: " + message; }

  umbra_test::temp_dir_t dir;
  umbra_test::log_capture_t log;
  auto_ptr_t<fs_device_t> device;
};

using entries_t = std::vector<std::pair<std::string, unsigned>>;

}  // namespace

// ---------------------------------------------------------------------------------
// Mount

TEST_F(cairn_v2_device_test, mounts_and_unmounts_with_info_lines) {
  ASSERT_TRUE(mount(standard_archive()));
  EXPECT_EQ(device->get_kind(), umbra::FS_DEVICE_KIND_CAIRN);
  EXPECT_TRUE(device->is_read_only());
  EXPECT_EQ(device->entry_count, 4u);
  EXPECT_EQ(device->get_name().c_str(), path());
  EXPECT_TRUE(log.errors().empty());
  device.reset();
  EXPECT_EQ(log.texts(), (std::vector<std::string>{error("Created, 4 entries"), error("Unmounted.")}));
  EXPECT_EQ(log.messages()[0].level, umbra::LOG_LEVEL_INFO);
}

TEST_F(cairn_v2_device_test, tables_are_read_raw_or_inflated) {
  for (bool compress : {false, true}) {
    cairn_v2_builder_t b = standard_archive();
    b.compress_tables = compress;
    ASSERT_TRUE(mount(b)) << compress;
    EXPECT_TRUE(device->is_dir("/tex"));
    EXPECT_TRUE(device->is_file("/tex/b.bin"));
  }
}

TEST_F(cairn_v2_device_test, stored_size_equal_to_raw_size_means_raw_even_for_a_zlib_stream) {
  cairn_v2_builder_t b = standard_archive();
  b.compress_tables = true;
  b.entry_table_size = 4 * 16;  // the zlib stream is followed by the metadata table
  ASSERT_TRUE(mount(b));        // read raw: the stream's bytes are taken for entries
  EXPECT_FALSE(device->stat("/", nullptr));
  EXPECT_FALSE(device->is_file("/a.txt"));
}

TEST_F(cairn_v2_device_test, platform_byte_warns_with_its_name_and_mounts) {
  const std::pair<int, const char*> cases[] = {{1, "xbone"}, {4, "ps5"}, {9, "unknown"}};
  for (const auto& [platform, name] : cases) {
    device.reset();
    log.clear();
    cairn_v2_builder_t b = standard_archive();
    b.platform = (uint8_t)platform;
    ASSERT_TRUE(mount(b));
    ASSERT_FALSE(log.messages().empty());
    EXPECT_EQ(log.messages()[0].level, umbra::LOG_LEVEL_WARNING);
    EXPECT_EQ(log.messages()[0].text, std::string("Opening platform incompatible Cairn archive (") + name + ")");
  }
}

TEST_F(cairn_v2_device_test, version_3_is_refused_by_the_device_and_never_handed_out) {
  cairn_v2_builder_t b = standard_archive();
  b.version = 3;
  EXPECT_FALSE(mount(b));  // the factory knows no version 3: nothing printed
  EXPECT_TRUE(log.errors().empty());

  auto_ptr_t<file_t> archive = open_archive(b.build());
  umbra::cairn_v2_device_t direct(archive, path().c_str());
  EXPECT_FALSE(direct.is_available());
  EXPECT_EQ(log.errors(), std::vector<std::string>{error("Unsupported Cairn version (v3)")});
}

TEST_F(cairn_v2_device_test, hashed_form_carries_the_salt_in_decimal) {
  for (uint16_t salt : {0, 7}) {
    cairn_v2_builder_t b;
    b.salt = salt;
    b.add_directory("", b.add_plain(v2_listing({"/a"})));
    b.add_directory("a", b.add_plain(v2_listing({"b"})));
    b.add_file("a/b", b.add_plain(HELLO));
    ASSERT_TRUE(mount(b));
    auto* v2 = static_cast<umbra::cairn_v2_device_t*>(device.get());
    const std::string prefix = salt ? "7" : "";
    const std::string root_form = prefix, file_form = prefix + "a/b";
    ASSERT_TRUE(v2->find_entry("/"));
    ASSERT_TRUE(v2->find_entry("/a/b"));
    EXPECT_EQ(v2->find_entry("/")->hash, umbra::cityhash64(root_form.data(), root_form.size()));
    EXPECT_EQ(v2->find_entry("/a/b")->hash, umbra::cityhash64(file_form.data(), file_form.size()));
    EXPECT_FALSE(v2->find_entry(""));
    EXPECT_EQ(read_all(auto_ptr_t<file_t>(device->open("/a/b", 0)).get()), HELLO);
  }
}

TEST_F(cairn_v2_device_test, paths_agreeing_in_their_first_255_hashed_bytes_find_the_same_entry) {
  const std::string long_name(254, 'x');  // "/" + 254 bytes: hashed form of 254 bytes + more
  cairn_v2_builder_t b;
  b.add_file(long_name + "y", b.add_plain(HELLO));  // hashed form of exactly 255 bytes
  ASSERT_TRUE(mount(b));
  EXPECT_TRUE(device->is_file(("/" + long_name + "y").c_str()));
  EXPECT_TRUE(device->is_file(("/" + long_name + "y-and-more").c_str()));
  EXPECT_FALSE(device->is_file(("/" + long_name + "z").c_str()));
}

// ---------------------------------------------------------------------------------
// Files and stat

TEST_F(cairn_v2_device_test, open_reads_plain_and_compressed_chunks) {
  const std::string content = pattern(20000);
  cairn_v2_builder_t b;
  b.add_file("plain", b.add_plain(content));
  b.add_file("zlib", b.add_zlib(content));
  b.add_file("deflate", b.add_block(umbra_test::raw_deflate(content), content.size(), 2));
  b.add_file("zstd", b.add_block(umbra_test::zstd_compress(content), content.size(), 4));
  ASSERT_TRUE(mount(b));
  for (const char* p : {"/plain", "/zlib", "/deflate", "/zstd"}) {
    auto_ptr_t<file_t> file(device->open(p, 0));
    ASSERT_TRUE(file) << p;
    EXPECT_EQ(read_all(file.get()), content) << p;
    // Backwards and forwards again: a compressed stream restarts.
    char part[5] = {};
    EXPECT_TRUE(file->read_at(part, 5, 15000)) << p;
    EXPECT_EQ(std::string(part, 5), content.substr(15000, 5));
    EXPECT_TRUE(file->read_at(part, 5, 3)) << p;
    EXPECT_EQ(std::string(part, 5), content.substr(3, 5));
    // Sequential reads through the read cache.
    file->set_position(0);
    std::string sequential(content.size(), '\0');
    for (size_t at = 0; at < content.size(); at += 1000) ASSERT_TRUE(file->read(&sequential[at], 1000)) << p;
    EXPECT_EQ(sequential, content) << p;
  }
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(cairn_v2_device_test, reads_past_the_chunk_fail) {
  cairn_v2_builder_t b;
  b.add_file("plain", b.add_plain(pattern(100)));
  b.add_file("zlib", b.add_zlib(pattern(100)));
  ASSERT_TRUE(mount(b));
  for (const char* p : {"/plain", "/zlib"}) {
    auto_ptr_t<file_t> file(device->open(p, 0));
    ASSERT_TRUE(file);
    char buffer[10];
    EXPECT_FALSE(file->read_at(buffer, 10, 95)) << p;
    EXPECT_TRUE(file->read_at(buffer, 5, 95)) << p;
    EXPECT_FALSE(file->read_at(buffer, 1, 100)) << p;
  }
}

TEST_F(cairn_v2_device_test, open_refuses_directories_images_write_modes_and_gdeflate) {
  cairn_v2_builder_t b = standard_archive();
  const int pixels = b.add_plain(pattern(64));
  b.add_entry({"img.tobj", false, {{1, {0x10, 0}}, {2, {0}}, {umbra::CAIRN_KIND_MIP_TAIL_CHUNK, {}, pixels}}});
  b.add_file("tiles", b.add_block(pattern(64), 64, 3));
  ASSERT_TRUE(mount(b));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/tex", 0)));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/img.tobj", 0)));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/a.txt", umbra::FS_MODE_CREATE_NEW)));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/a.txt", umbra::FS_MODE_CREATE_TRUNCATE)));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/tiles", 0)));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/missing", 0)));
  EXPECT_TRUE(auto_ptr_t<file_t>(device->open("/a.txt", 0)));
  EXPECT_TRUE(log.errors().empty());
  EXPECT_FALSE(device->mkdir("/x"));
  EXPECT_FALSE(device->remove("/a.txt"));
}

TEST_F(cairn_v2_device_test, stat_reports_kind_sizes_time_device_and_index) {
  cairn_v2_builder_t b = standard_archive();
  b.add_entry({"img.tobj", false, {{1, {0x10, 0}}}});
  ASSERT_TRUE(mount(b));
  auto* v2 = static_cast<umbra::cairn_v2_device_t*>(device.get());
  umbra::fs_stat_t archive_stat;
  ASSERT_TRUE(umbra::fs_get_system_device()->stat(path().c_str(), &archive_stat));

  umbra::fs_stat_t st;
  ASSERT_TRUE(device->stat("/tex/b.bin", &st));
  EXPECT_EQ(st.kind, umbra::FS_KIND_FILE);
  EXPECT_EQ(st.size, 10000u);
  EXPECT_EQ(st.stored_size, umbra_test::zlib_deflate(pattern(10000)).size());
  EXPECT_EQ(st.time, archive_stat.time);
  EXPECT_EQ(st.device_reference, (umbra::u64)(uintptr_t)device.get());
  // The entry's position in the table sorted by hash.
  std::vector<umbra::u64> hashes;
  for (const char* p : {"", "tex", "a.txt", "tex/b.bin", "img.tobj"})
    hashes.push_back(umbra::cairn_hash_relative_path(p));
  std::sort(hashes.begin(), hashes.end());
  const umbra::u64 hash = v2->find_entry("/tex/b.bin")->hash;
  EXPECT_EQ(st.entry_index, std::find(hashes.begin(), hashes.end(), hash) - hashes.begin());
  umbra::fs_stat_t image;
  ASSERT_TRUE(device->stat("/img.tobj", &image));
  EXPECT_EQ(image.kind, umbra::FS_KIND_FILE);
  EXPECT_EQ(image.size, 0u);
  EXPECT_EQ(image.stored_size, 0u);
  umbra::fs_stat_t root;
  ASSERT_TRUE(device->stat("/", &root));
  EXPECT_EQ(root.kind, umbra::FS_KIND_DIRECTORY);
  EXPECT_EQ(root.size, v2_listing({"/tex", "a.txt"}).size());
  EXPECT_TRUE(device->stat("/", nullptr));
  EXPECT_FALSE(device->stat("/nope", &root));

  // The file's own stat agrees with the device's.
  auto_ptr_t<file_t> file(device->open("/tex/b.bin", 0));
  umbra::fs_stat_t file_stat;
  ASSERT_TRUE(file->stat(&file_stat));
  EXPECT_EQ(file_stat.size, st.size);
  EXPECT_EQ(file_stat.stored_size, st.stored_size);
  EXPECT_EQ(file_stat.entry_index, st.entry_index);
  EXPECT_EQ(file_stat.device_reference, st.device_reference);
}

TEST_F(cairn_v2_device_test, files_name_themselves_after_archive_and_path) {
  ASSERT_TRUE(mount(standard_archive()));
  auto_ptr_t<file_t> file(device->open("/tex/b.bin", 0));
  ASSERT_TRUE(file);
  umbra::mstring_t text;
  EXPECT_TRUE(file->get_path(text));
  EXPECT_EQ(text.c_str(), path() + "/tex/b.bin");
  EXPECT_TRUE(file->get_ufs_path(text));
  EXPECT_EQ(text.c_str(), std::string("/tex/b.bin"));
  file->get_debug_name(text);
  EXPECT_EQ(text.c_str(), "<" + path() + " | >/tex/b.bin");
  EXPECT_EQ(file->get_device_id(), device->get_device_id());
  EXPECT_FALSE(file->write("x", 1));
  EXPECT_FALSE(file->commit_atomic());
}

// ---------------------------------------------------------------------------------
// Listings

TEST_F(cairn_v2_device_test, read_dir_decodes_listings_in_their_order) {
  ASSERT_TRUE(mount(standard_archive()));
  EXPECT_EQ(list("/"), (entries_t{{"tex", umbra::FS_KIND_DIRECTORY}, {"a.txt", umbra::FS_KIND_FILE}}));
  EXPECT_EQ(list("/tex"), (entries_t{{"b.bin", umbra::FS_KIND_FILE}}));
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(cairn_v2_device_test, read_dir_of_a_file_or_a_missing_path) {
  cairn_v2_builder_t b = standard_archive();
  b.add_entry({"nolisting", true, {}});
  ASSERT_TRUE(mount(b));
  EXPECT_FALSE(device->read_dir("/missing"));
  EXPECT_TRUE(log.errors().empty());
  EXPECT_FALSE(device->read_dir("/a.txt"));
  EXPECT_FALSE(device->read_dir("/nolisting"));
  EXPECT_EQ(log.errors(), (std::vector<std::string>{error("read_dir: called on file entry (/a.txt)"),
                                                    error("read_dir: failed to open dirlist entry (/nolisting)")}));
}

TEST_F(cairn_v2_device_test, malformed_listings_are_reported_not_decoded) {
  struct listing_case_t {
    const char* name;
    std::string block;
  };
  const listing_case_t cases[] = {
      {"count past the bytes", v2_listing({"a"}, 5)},
      {"length past the bytes", v2_listing({"abc"}, std::nullopt, {9})},
      {"empty file name", v2_listing({""})},
      {"lone slash", v2_listing({"/"})},
      {"name with a slash", v2_listing({"a/b"})},
      {"name with a zero byte", v2_listing({std::string("a\0b", 3)})},
      {"too short for a count", std::string("\x01\x00", 2)},
      {"huge count", v2_listing({"a"}, 0xFFFFFFFFu)},
  };
  for (const auto& c : cases) {
    log.clear();
    cairn_v2_builder_t b;
    b.add_directory("", b.add_plain(c.block));
    ASSERT_TRUE(mount(b)) << c.name;
    log.clear();
    EXPECT_FALSE(device->read_dir("/")) << c.name;
    EXPECT_EQ(log.errors(), std::vector<std::string>{error("read_dir: malformed directory listing (/)")}) << c.name;
  }
}

TEST_F(cairn_v2_device_test, empty_directory_lists_nothing) {
  cairn_v2_builder_t b;
  b.add_directory("", b.add_zlib(v2_listing({})));
  ASSERT_TRUE(mount(b));
  EXPECT_EQ(list("/"), entries_t{});
}

// ---------------------------------------------------------------------------------
// Metadata

TEST_F(cairn_v2_device_test, mstat_reports_known_records_in_order_and_skips_kinds_3_and_129) {
  cairn_v2_builder_t b;
  const int data = b.add_plain(pattern(48));
  const int tail = b.add_zlib(pattern(300));
  b.add_entry({"img.tobj",
               false,
               {{3, {0xAAAA}},
                {1, {0x12345, 0x00FF00FF}},
                {2, {0x77}},
                {umbra::CAIRN_KIND_LISTING_CHUNK, {}, data},
                {umbra::CAIRN_KIND_MIP_TAIL_CHUNK, {}, tail},
                {200, {1, 2, 3, 4}}}});
  b.add_entry({"bare", false, {}});
  b.add_entry({"model.uma", false, {{5, {1, 2, 3, 4, 5, 6, 7, 8}}, {6, {9, 10}}}});
  ASSERT_TRUE(mount(b));

  umbra::fs_mstat_t set;
  ASSERT_TRUE(device->mstat("/img.tobj", &set));
  ASSERT_EQ(set.records.count(), 3u);
  EXPECT_EQ(set.records[0].token, umbra::FS_TOKEN_IMAGE);
  EXPECT_EQ(set.records[1].token, umbra::FS_TOKEN_SAMPLER);
  EXPECT_EQ(set.records[2].token, umbra::FS_TOKEN_CHUNK_MIP_TAIL);
  EXPECT_EQ(set.words[0], 0x12345u);
  EXPECT_EQ(set.words[1], 0x00FF00FFu);
  EXPECT_EQ(set.words[2], 0x77u);
  umbra::fs_chunk_t chunk;
  ASSERT_TRUE(umbra::fs_meta_get_chunk(&set, umbra::FS_TOKEN_CHUNK_MIP_TAIL, &chunk));
  EXPECT_EQ(chunk.compression, 1u);
  EXPECT_EQ(chunk.size, 300u);
  EXPECT_EQ(chunk.stored_size, umbra_test::zlib_deflate(pattern(300)).size());
  EXPECT_EQ(chunk.offset, b.block_offset(tail));

  umbra::fs_mstat_t empty;
  EXPECT_TRUE(device->mstat("/bare", &empty));
  EXPECT_EQ(empty.records.count(), 0u);

  umbra::fs_mstat_t model;
  ASSERT_TRUE(device->mstat("/model.uma", &model));
  ASSERT_EQ(model.records.count(), 2u);
  EXPECT_EQ(model.records[0].token, umbra::FS_TOKEN_UMA);
  EXPECT_EQ(model.records[1].token, umbra::FS_TOKEN_UMG);
  EXPECT_EQ(model.words[9], 10u);

  umbra::fs_mstat_t none;
  EXPECT_FALSE(device->mstat("/missing", &none));
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(cairn_v2_device_test, plain_chunk_is_widened_to_six_words) {
  cairn_v2_builder_t b;
  const int block = b.add_zlib(pattern(5000));
  b.add_file("f", block);
  ASSERT_TRUE(mount(b));
  umbra::fs_mstat_t set;
  ASSERT_TRUE(device->mstat("/f", &set));
  ASSERT_EQ(set.records.count(), 1u);
  EXPECT_EQ(set.records[0].count, 6u);
  const umbra::u64 offset = b.block_offset(block);
  const std::vector<umbra::u32> words(set.words.begin(), set.words.end());
  EXPECT_EQ(words, (std::vector<umbra::u32>{1, (umbra::u32)umbra_test::zlib_deflate(pattern(5000)).size(), 0, 5000,
                                            (umbra::u32)offset, (umbra::u32)(offset >> 32)}));
}

TEST_F(cairn_v2_device_test, metadata_that_would_overflow_a_set_fails_the_mstat) {
  cairn_v2_builder_t b;
  const int block = b.add_plain(pattern(16));
  b.add_entry({"f", false, {{128, {}, block}, {130, {}, block}, {131, {}, block}}});  // 18 words
  ASSERT_TRUE(mount(b));
  umbra::fs_mstat_t set;
  EXPECT_FALSE(device->mstat("/f", &set));
  EXPECT_EQ(log.errors(), std::vector<std::string>{error("Metadata of '/f' holds more records than a metadata set!")});
}

// ---------------------------------------------------------------------------------
// Damaged and hostile archives

TEST_F(cairn_v2_device_test, unreadable_headers_are_refused) {
  const std::string good = standard_archive().build();
  struct header_case_t {
    const char* name;
    std::string bytes;
    std::vector<std::string> errors;
  };
  std::string zero_magic = good;
  zero_magic.replace(0, 4, std::string(4, '\0'));
  const header_case_t cases[] = {
      {"empty file", "", {}},
      {"probe only", good.substr(0, 12), {error("Failed to read header!")}},
      {"cut header", good.substr(0, 52), {error("Failed to read header!")}},
      {"zero magic", zero_magic, {}},
      {"unknown version",
       [&] {
         std::string s = good;
         s[4] = 9;
         return s;
       }(),
       {}},
  };
  for (const auto& c : cases) {
    log.clear();
    EXPECT_FALSE(mount(c.bytes)) << c.name;
    EXPECT_EQ(log.errors(), c.errors) << c.name;
  }
}

TEST_F(cairn_v2_device_test, tables_that_the_archive_cannot_back_fail_before_allocation) {
  struct table_case_t {
    const char* name;
    void (*damage)(cairn_v2_builder_t&);
    const char* message;
  };
  const table_case_t cases[] = {
      {"raw entry table past the end",
       [](cairn_v2_builder_t& b) {
         b.compress_tables = false;
         b.entry_table_offset = 1u << 20;
       },
       "Failed to read entry table!"},
      {"zlib entry table past the end", [](cairn_v2_builder_t& b) { b.entry_table_size = 1u << 20; },
       "Failed to decompress entry table!"},
      {"huge raw entry count",
       [](cairn_v2_builder_t& b) {
         b.entry_count = 1u << 28;
         b.entry_table_size = 0;
       },
       "Failed to decompress entry table!"},
      {"huge raw entry table",
       [](cairn_v2_builder_t& b) {
         b.entry_count = 1u << 24;
         b.entry_table_size = 1u << 28;
       },
       "Failed to read entry table!"},
      {"huge metadata count", [](cairn_v2_builder_t& b) { b.metadata_count = 0xFFFFFFFFu; },
       "Failed to decompress metadata table!"},
      {"offset overflow", [](cairn_v2_builder_t& b) { b.metadata_table_offset = ~0ull - 3; },
       "Failed to decompress metadata table!"},
      {"raw metadata past the end",
       [](cairn_v2_builder_t& b) {
         b.compress_tables = false;
         b.metadata_table_size = 1u << 30;
         b.metadata_count = 1u << 28;
       },
       "Failed to read metadata table!"},
  };
  for (const auto& c : cases) {
    log.clear();
    cairn_v2_builder_t b = standard_archive();
    c.damage(b);
    EXPECT_FALSE(mount(b)) << c.name;
    ASSERT_FALSE(log.errors().empty()) << c.name;
    EXPECT_EQ(log.errors().back(), error(c.message)) << c.name;
  }
}

TEST_F(cairn_v2_device_test, corrupt_compressed_tables_fail_the_mount) {
  struct stream_case_t {
    const char* name;
    std::string stored;
    std::vector<std::string> errors;
  };
  std::string good_stream;
  {
    // The standard archive's zlib entry table, as written.
    cairn_v2_builder_t b = standard_archive();
    b.compress_tables = false;
    std::string raw = b.build();
    umbra::cairn_v2_header_t h;
    ASSERT_TRUE(umbra::cairn_v2_decode_header((const umbra::u8*)raw.data(), raw.size(), &h));
    good_stream = umbra_test::zlib_deflate(raw.substr(h.entry_table_offset, h.entry_table_size));
  }
  std::string flipped = good_stream;
  flipped[flipped.size() / 2] ^= 0x55;
  std::string longer_stream = umbra_test::zlib_deflate(std::string(5 * 16, 'x'));
  std::string shorter_stream = umbra_test::zlib_deflate(std::string(3 * 16, 'x'));
  const stream_case_t cases[] = {
      {"not zlib", std::string(40, 'z'), {error("Failed to decompress entry table!")}},
      {"flipped bits", flipped, {error("Failed to decompress entry table!")}},
      {"cut stream", good_stream.substr(0, good_stream.size() - 6), {error("Failed to decompress entry table!")}},
      {"stream ends before its stored bytes",
       good_stream + std::string(4096, '\0'),
       {"[zlib_compress] premature end of compressed data stream", error("Failed to decompress entry table!")}},
      {"inflates to more than the table",
       longer_stream,
       {"[zlib_compress] error writing block: <MEMFILE><UNKNOWNFS>cairn-entry-table @ 0 (chunk size 80)",
        error("Failed to decompress entry table!")}},
      {"inflates to less than the table",
       shorter_stream,
       {"[zlib_compress] premature end of compressed data stream", error("Failed to decompress entry table!")}},
  };
  for (const auto& c : cases) {
    log.clear();
    cairn_v2_builder_t b = standard_archive();
    b.stored_entry_table = c.stored;
    EXPECT_FALSE(mount(b)) << c.name;
    EXPECT_EQ(log.errors(), c.errors) << c.name;
  }
}

TEST_F(cairn_v2_device_test, metadata_outside_the_table_fails_the_operation_not_the_mount) {
  cairn_v2_builder_t b = standard_archive();
  b.add_entry({"far", false, {}, std::nullopt, 1000000u, (uint16_t)2});            // index words past the table
  b.add_entry({"wide", false, {}, std::vector<uint32_t>{128u << 24 | 0xFFFFFF}});  // record past the table
  b.add_entry({"wrap", false, {}, std::nullopt, 0xFFFFFFFFu, (uint16_t)0xFFFF});   // index range wraps 32 bits
  b.add_entry({"folder", true, {}, std::vector<uint32_t>{129u << 24 | 0xFFFFFE}});
  ASSERT_TRUE(mount(b));
  for (const char* p : {"/far", "/wide", "/wrap"}) {
    log.clear();
    const std::string message = error(std::string("Metadata of '") + p + "' lies outside the metadata table!");
    EXPECT_FALSE(auto_ptr_t<file_t>(device->open(p, 0))) << p;
    umbra::fs_stat_t st;
    EXPECT_FALSE(device->stat(p, &st)) << p;
    EXPECT_TRUE(device->stat(p, nullptr)) << p;  // it exists
    umbra::fs_mstat_t set;
    EXPECT_FALSE(device->mstat(p, &set)) << p;
    EXPECT_EQ(log.errors(), (std::vector<std::string>{message, message, message})) << p;
  }
  log.clear();
  EXPECT_FALSE(device->read_dir("/folder"));
  EXPECT_EQ(log.errors(), (std::vector<std::string>{error("Metadata of '/folder' lies outside the metadata table!"),
                                                    error("read_dir: failed to open dirlist entry (/folder)")}));
  EXPECT_EQ(list("/"), (entries_t{{"tex", umbra::FS_KIND_DIRECTORY}, {"a.txt", umbra::FS_KIND_FILE}}));
}

TEST_F(cairn_v2_device_test, chunks_the_archive_cannot_back_are_refused_with_their_reason) {
  cairn_v2_builder_t b = standard_archive();
  const umbra::u64 end = 1u << 20;
  struct chunk_case_t {
    const char* path;
    std::vector<uint32_t> words;
    const char* reason;
  };
  const chunk_case_t cases[] = {
      {"unknown5", v2_chunk_words(16, 16, 4096, 5), "unsupported compression 5"},
      {"unknown15", v2_chunk_words(16, 16, 4096, 15), "unsupported compression 15"},
      {"past_end", v2_chunk_words(64, 64, end, 0), "stored bytes 1048576..1048640 lie outside the archive"},
      {"plain_mismatch", v2_chunk_words(16, 32, 4096, 0), "uncompressed size 32 differs from stored size 16"},
      {"zlib_bomb", v2_chunk_words(16, (1u << 28) - 1, 4096, 1), "size 268435455 cannot come from 16 stored bytes"},
  };
  for (const auto& c : cases) b.add_entry({c.path, false, {{128, c.words}}});
  ASSERT_TRUE(mount(b));
  const std::string archive_bytes = std::to_string(umbra_test::read_file(path()).size());
  for (const auto& c : cases) {
    log.clear();
    const std::string p = std::string("/") + c.path;
    std::string reason = c.reason;
    if (reason.find("outside") != std::string::npos) reason += " (" + archive_bytes + " bytes)";
    const std::string message = error("Chunk of '" + p + "' cannot be read: " + reason);
    EXPECT_FALSE(auto_ptr_t<file_t>(device->open(p.c_str(), 0))) << p;
    // The extractor hands the chunk of the entry's record back to chunk_read.
    umbra::fs_mstat_t set;
    ASSERT_TRUE(device->mstat(p.c_str(), &set)) << p;
    umbra::fs_chunk_t chunk;
    ASSERT_TRUE(umbra::fs_meta_get_chunk(&set, umbra::FS_TOKEN_CHUNK_PLAIN, &chunk)) << p;
    std::string target(16, '\0');
    EXPECT_EQ(device->chunk_read(target.data(), umbra::FS_CHUNK_TARGET_MEMORY, p.c_str(), chunk, nullptr), nullptr) << p;
    EXPECT_EQ(log.errors(), (std::vector<std::string>{message, message})) << p;
  }
  // chunk_read of a path the archive does not hold is refused silently.
  log.clear();
  umbra::fs_chunk_t chunk{};
  EXPECT_EQ(device->chunk_read(nullptr, umbra::FS_CHUNK_TARGET_MEMORY, "/missing", chunk, nullptr), nullptr);
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(cairn_v2_device_test, corrupt_or_mis_sized_compressed_chunks_fail_their_reads) {
  const std::string content = pattern(9000);
  std::string flipped = umbra_test::zlib_deflate(content);
  flipped[flipped.size() / 2] ^= 0x5A;
  std::string zstd_flipped = umbra_test::zstd_compress(content);
  zstd_flipped[zstd_flipped.size() / 2] ^= 0x5A;
  cairn_v2_builder_t b;
  b.add_file("flipped", b.add_block(flipped, content.size(), 1));
  b.add_file("zstd_flipped", b.add_block(zstd_flipped, content.size(), 4));
  b.add_file("cut",
             b.add_block(umbra_test::zlib_deflate(content).substr(0, umbra_test::zlib_deflate(content).size() / 2),
                         content.size(), 1));
  b.add_file("longer", b.add_block(umbra_test::zlib_deflate(content + "!"), content.size(), 1));
  b.add_file("shorter", b.add_block(umbra_test::zlib_deflate(content.substr(1)), content.size(), 1));
  b.add_file("garbage", b.add_block(std::string(64, '\x7f'), 64, 4));
  ASSERT_TRUE(mount(b));
  for (const char* p : {"/flipped", "/zstd_flipped", "/cut", "/longer", "/shorter", "/garbage"}) {
    auto_ptr_t<file_t> file(device->open(p, 0));
    ASSERT_TRUE(file) << p;
    std::string buffer(file->get_size(), '\0');
    EXPECT_FALSE(file->read_at(buffer.data(), buffer.size(), 0)) << p;
    EXPECT_FALSE(file->read_at(buffer.data(), buffer.size(), 0)) << p;  // and again, from the start
  }
}

TEST_F(cairn_v2_device_test, security_descriptor_is_kept_and_its_first_32_bytes_given) {
  cairn_v2_builder_t b = standard_archive();
  umbra::array_dyn_t<umbra::u8> bytes;
  ASSERT_TRUE(mount(b));
  EXPECT_FALSE(device->get_security_descriptor(bytes));

  b.security_block = pattern(umbra::CAIRN_V2_SECURITY_DESCRIPTOR_SIZE);
  ASSERT_TRUE(mount(b));
  ASSERT_TRUE(device->get_security_descriptor(bytes));
  EXPECT_EQ(std::string((const char*)bytes.data(), bytes.count()), b.security_block.substr(0, 32));

  log.clear();
  cairn_v2_builder_t far = standard_archive();
  far.security_descriptor_offset = 1u << 20;
  EXPECT_FALSE(mount(far));
  EXPECT_EQ(log.errors(), std::vector<std::string>{error("Failed to read security descriptor")});
}

// ---------------------------------------------------------------------------------
// Chunk reads through the IO server

TEST_F(cairn_v2_device_test, chunk_read_decodes_every_known_compression_into_the_target) {
  const std::string content = pattern(70000);
  umbra::array_dyn_t<umbra::u8> tiles;
  ASSERT_TRUE(umbra::gdeflate_compress((const umbra::u8*)content.data(), content.size(), tiles));
  cairn_v2_builder_t b;
  b.add_file("plain", b.add_plain(content));
  b.add_file("zlib", b.add_zlib(content));
  b.add_file("deflate", b.add_block(umbra_test::raw_deflate(content), content.size(), 2));
  b.add_file("zstd", b.add_block(umbra_test::zstd_compress(content), content.size(), 4));
  b.add_file("tiles", b.add_block(std::string((const char*)tiles.data(), tiles.count()), content.size(), 3));
  ASSERT_TRUE(mount(b));
  for (const char* p : {"/plain", "/zlib", "/deflate", "/zstd", "/tiles"}) {
    umbra::fs_mstat_t set;
    ASSERT_TRUE(device->mstat(p, &set)) << p;
    umbra::fs_chunk_t chunk;
    ASSERT_TRUE(umbra::fs_meta_get_chunk(&set, umbra::FS_TOKEN_CHUNK_PLAIN, &chunk)) << p;
    std::string target(chunk.size, '\0');
    umbra::fs_io_request_t* request =
        device->chunk_read(target.data(), umbra::FS_CHUNK_TARGET_MEMORY, p, chunk, nullptr);
    ASSERT_NE(request, nullptr) << p;
    EXPECT_TRUE(device->io_wait(request)) << p;
    EXPECT_EQ(target, content) << p;
  }
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(cairn_v2_device_test, chunk_read_of_a_corrupt_stream_fails_its_wait) {
  std::string flipped = umbra_test::zlib_deflate(pattern(9000));
  flipped[flipped.size() / 2] ^= 0x5A;
  cairn_v2_builder_t b;
  b.add_file("flipped", b.add_block(flipped, 9000, 1));
  b.add_file("longer", b.add_block(umbra_test::zlib_deflate(pattern(9001)), 9000, 1));
  ASSERT_TRUE(mount(b));
  for (const char* p : {"/flipped", "/longer"}) {
    umbra::fs_mstat_t set;
    ASSERT_TRUE(device->mstat(p, &set));
    umbra::fs_chunk_t chunk;
    ASSERT_TRUE(umbra::fs_meta_get_chunk(&set, umbra::FS_TOKEN_CHUNK_PLAIN, &chunk));
    std::string target(chunk.size, '\0');
    umbra::fs_io_request_t* request =
        device->chunk_read(target.data(), umbra::FS_CHUNK_TARGET_MEMORY, p, chunk, nullptr);
    ASSERT_NE(request, nullptr) << p;
    EXPECT_FALSE(device->io_wait(request)) << p;
  }
}
