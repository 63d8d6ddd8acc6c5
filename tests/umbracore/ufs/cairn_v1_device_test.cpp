// The version 1 read device over archives written byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/cairn_device_factory.h"
#include "umbracore/ufs/cairn_v1_device.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_io_server_core.h"
#include "umbracore/ufs/fs_meta.h"

using umbra::auto_ptr_t;
using umbra::file_t;
using umbra::fs_device_t;
using umbra_test::cairn_v1_builder_t;
using umbra_test::v1_entry_spec_t;

namespace {

using entries_t = std::vector<std::pair<std::string, unsigned>>;
constexpr unsigned FILE_KIND = umbra::FS_KIND_FILE;
constexpr unsigned DIR_KIND = umbra::FS_KIND_DIRECTORY;

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)('A' + (i * 5 + i / 11) % 26);
  return s;
}

cairn_v1_builder_t standard_archive() {
  cairn_v1_builder_t b;
  b.add_directory("", "*tex\r\na.txt\r\n");
  b.add_directory("tex", "b.bin");
  b.add_file("a.txt", "hello");
  b.add_file("tex/b.bin", pattern(20000), true);
  return b;
}

class cairn_v1_device_test : public ::testing::Test {
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

  auto_ptr_t<file_t> open_archive() {
    auto_ptr_t<file_t> archive;
    EXPECT_TRUE(umbra::fs_device_open(archive, path().c_str(), umbra::FS_MODE_READ_ONLY, umbra::FS_DEVICE_SYSFS));
    return archive;
  }
  bool mount_file() {
    auto_ptr_t<file_t> archive = open_archive();
    device.reset(umbra::open_cairn_device(archive));
    return (bool)device;
  }
  bool mount(const std::string& bytes) {
    device.reset();  // Windows keeps a file that is open from being written
    umbra_test::write_file(path(), bytes);
    return mount_file();
  }
  bool mount(const cairn_v1_builder_t& builder) { return mount(builder.build()); }
  std::string path() const { return dir / "old.qar"; }

  entries_t list(const char* p) {
    entries_t out;
    auto listing = device->read_dir(p);
    if (!listing) return {{"<null>", 0}};
    for (umbra::u64 i = 0; i < listing->count(); ++i) out.push_back({(*listing)[i].name.c_str(), (*listing)[i].kind});
    return out;
  }
  std::string read_all(const char* p) {
    auto_ptr_t<file_t> file(device->open(p, 0));
    if (!file) return "<null>";
    std::string content(file->get_size(), '\0');
    if (!file->read_at(content.data(), content.size(), 0)) return "<failed>";
    return content;
  }
  static std::string error(const std::string& message) { return "[cairn] old.qar: " + message; }

  umbra_test::temp_dir_t dir;
  umbra_test::log_capture_t log;
  auto_ptr_t<fs_device_t> device;
};

}  // namespace

TEST_F(cairn_v1_device_test, mounts_lists_and_reads) {
  ASSERT_TRUE(mount(standard_archive()));
  EXPECT_EQ(device->entry_count, 4u);
  EXPECT_EQ(list("/"), (entries_t{{"tex", DIR_KIND}, {"a.txt", FILE_KIND}}));
  EXPECT_EQ(list("/tex"), (entries_t{{"b.bin", FILE_KIND}}));
  EXPECT_EQ(read_all("/a.txt"), "hello");
  EXPECT_EQ(read_all("/tex/b.bin"), pattern(20000));
  EXPECT_EQ(read_all("/"), "*tex\r\na.txt\r\n");  // a directory opens as its listing text
  EXPECT_TRUE(log.errors().empty());
  device.reset();
  EXPECT_EQ(log.texts(), (std::vector<std::string>{error("Created, 4 entries"), error("Unmounted.")}));
}

TEST_F(cairn_v1_device_test, stat_reports_the_entry) {
  ASSERT_TRUE(mount(standard_archive()));
  umbra::fs_stat_t st;
  ASSERT_TRUE(device->stat("/tex/b.bin", &st));
  EXPECT_EQ(st.kind, FILE_KIND);
  EXPECT_EQ(st.size, 20000u);
  EXPECT_EQ(st.stored_size, umbra_test::zlib_deflate(pattern(20000)).size());
  EXPECT_EQ(st.device_reference, (umbra::u64)(uintptr_t)device.get());
  EXPECT_GE(st.entry_index, 0);
  EXPECT_LT(st.entry_index, 4);
  ASSERT_TRUE(device->stat("/tex", &st));
  EXPECT_EQ(st.kind, DIR_KIND);
  EXPECT_TRUE(device->is_dir("/"));
  EXPECT_FALSE(device->stat("/nope", &st));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/a.txt", umbra::FS_MODE_CREATE_TRUNCATE)));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/nope", 0)));
  umbra::array_dyn_t<umbra::u8> bytes;
  EXPECT_FALSE(device->get_security_descriptor(bytes));
}

TEST_F(cairn_v1_device_test, listing_lines_break_at_any_run_of_cr_and_lf) {
  const struct {
    const char* name;
    std::string text;
    entries_t expected;
  } cases[] = {
      {"CR LF", "*tex\r\na.txt\r\n\r\n", {{"tex", DIR_KIND}, {"a.txt", FILE_KIND}}},
      {"LF", "*tex\na.txt\n\n", {{"tex", DIR_KIND}, {"a.txt", FILE_KIND}}},
      {"CR", "*tex\ra.txt\r\r", {{"tex", DIR_KIND}, {"a.txt", FILE_KIND}}},
      {"no final break", "\r\n*tex\r\na.txt", {{"tex", DIR_KIND}, {"a.txt", FILE_KIND}}},
      {"lone star", "*\r\nx", {{"", DIR_KIND}, {"x", FILE_KIND}}},
      {"empty", "", {}},
      {"only breaks", "\r\n\n\r", {}},
      {"long line",
       std::string(300, 'n') + "\n*" + std::string(300, 'd'),
       {{std::string(255, 'n'), FILE_KIND}, {std::string(254, 'd'), DIR_KIND}}},
  };
  for (const auto& c : cases) {
    cairn_v1_builder_t b;
    b.add_directory("", c.text);
    ASSERT_TRUE(mount(b)) << c.name;
    EXPECT_EQ(list("/"), c.expected) << c.name;
  }
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(cairn_v1_device_test, listing_with_a_zero_byte_is_malformed) {
  cairn_v1_builder_t b;
  b.add_directory("", std::string("a\0/../../x\n", 11));
  ASSERT_TRUE(mount(b));
  EXPECT_EQ(list("/"), (entries_t{{"<null>", 0}}));
  EXPECT_EQ(log.errors(), std::vector<std::string>{error("read_dir: malformed directory listing (/)")});
}

TEST_F(cairn_v1_device_test, read_dir_of_a_file_or_an_unreadable_listing) {
  cairn_v1_builder_t b = standard_archive();
  v1_entry_spec_t far;
  far.path = "far";
  far.directory = true;
  far.content = "x";
  far.offset = 1u << 20;
  b.add(far);
  ASSERT_TRUE(mount(b));
  EXPECT_FALSE(device->read_dir("/missing"));
  EXPECT_TRUE(log.errors().empty());
  EXPECT_FALSE(device->read_dir("/a.txt"));
  EXPECT_FALSE(device->read_dir("/far"));
  const std::string size = std::to_string(umbra_test::read_file(path()).size());
  EXPECT_EQ(log.errors(),
            (std::vector<std::string>{
                error("read_dir: called on file entry (/a.txt)"),
                error("Data of '/far' cannot be read: stored bytes 1048576..1048577 lie outside the archive (" + size +
                      " bytes)"),
                error("read_dir: failed to open dirlist entry (/far)")}));
}

TEST_F(cairn_v1_device_test, reads_stop_at_the_entry_size) {
  cairn_v1_builder_t b;
  b.add_file("plain", pattern(100));
  b.add_file("zlib", pattern(100), true);
  ASSERT_TRUE(mount(b));
  for (const char* p : {"/plain", "/zlib"}) {
    auto_ptr_t<file_t> file(device->open(p, 0));
    ASSERT_TRUE(file) << p;
    char byte = 0;
    EXPECT_FALSE(file->read_at(&byte, 1, 100)) << p;
    EXPECT_TRUE(file->read_at(&byte, 1, 99)) << p;
    EXPECT_EQ(byte, pattern(100)[99]);
  }
}

TEST_F(cairn_v1_device_test, compressed_entries_must_inflate_to_their_size) {
  const std::string content = pattern(5000);
  cairn_v1_builder_t b;
  for (const auto& [path, size] : std::vector<std::pair<std::string, uint32_t>>{{"more", 4999}, {"less", 5001}}) {
    v1_entry_spec_t e;
    e.path = path;
    e.content = content;
    e.compressed = true;
    e.size = size;
    b.add(e);
  }
  v1_entry_spec_t corrupt;
  corrupt.path = "corrupt";
  corrupt.content = content;
  corrupt.compressed = true;
  corrupt.stored = std::string(64, 'q');
  corrupt.size = 64;
  b.add(corrupt);
  ASSERT_TRUE(mount(b));
  EXPECT_EQ(read_all("/more"), "<failed>");
  EXPECT_EQ(read_all("/less"), "<failed>");
  EXPECT_EQ(read_all("/corrupt"), "<failed>");
  // Block-wise reads, as a copy makes them: the block that reaches the end fails.
  auto_ptr_t<file_t> file(device->open("/more", 0));
  ASSERT_TRUE(file);
  char block[4096];
  EXPECT_TRUE(file->read_at(block, 4096, 0));
  EXPECT_FALSE(file->read_at(block, 4999 - 4096, 4096));
}

TEST_F(cairn_v1_device_test, mstat_builds_records_from_the_entry_data) {
  ASSERT_TRUE(mount(standard_archive()));
  umbra::fs_mstat_t set;
  ASSERT_TRUE(device->mstat("/tex/b.bin", &set));
  umbra::fs_chunk_t chunk;
  ASSERT_TRUE(umbra::fs_meta_get_chunk(&set, umbra::FS_TOKEN_CHUNK_PLAIN, &chunk));
  EXPECT_EQ(chunk.compression, 1u);
  EXPECT_EQ(chunk.size, 20000u);
  EXPECT_EQ(chunk.stored_size, umbra_test::zlib_deflate(pattern(20000)).size());
  EXPECT_GE(chunk.offset, umbra::CAIRN_V1_HEADER_SIZE);
  umbra::fs_mstat_t none;
  EXPECT_FALSE(device->mstat("/nope", &none));
}

TEST_F(cairn_v1_device_test, version_2_at_the_device_check_is_refused) {
  cairn_v1_builder_t b = standard_archive();
  b.version = 2;
  umbra_test::write_file(path(), b.build());
  auto_ptr_t<file_t> archive = open_archive();
  umbra::cairn_v1_device_t direct(archive, path().c_str());
  EXPECT_FALSE(direct.is_available());
  EXPECT_EQ(log.errors(), std::vector<std::string>{error("Unsupported Cairn version (v2)")});
}

TEST_F(cairn_v1_device_test, entry_limit_is_250000) {
  umbra_test::write_sparse_v1_archive(path(), 250000);
  ASSERT_TRUE(mount_file());
  EXPECT_EQ(device->entry_count, 250000u);
  device.reset();
  log.clear();
  umbra_test::write_sparse_v1_archive(path(), 250001);
  EXPECT_FALSE(mount_file());
  EXPECT_EQ(log.errors(), std::vector<std::string>{error("Entry table size exceeds internal limits!")});
}

TEST_F(cairn_v1_device_test, damaged_archives_fail_cleanly) {
  const std::string good = standard_archive().build();
  struct case_t {
    const char* name;
    std::string bytes;
    std::vector<std::string> errors;
  };
  cairn_v1_builder_t past_end = standard_archive();
  past_end.entry_table_offset = 1u << 20;
  cairn_v1_builder_t huge = standard_archive();
  huge.entry_count = 200000;
  cairn_v1_builder_t wrap = standard_archive();
  wrap.entry_table_offset = ~0ull - 40;
  const case_t cases[] = {
      {"truncated header", good.substr(0, 20), {error("Failed to read header!")}},
      {"zero magic", std::string(4, '\0') + good.substr(4), {}},
      {"table past the end", past_end.build(), {error("Failed to read entry table!")}},
      {"count beyond the table", huge.build(), {error("Failed to read entry table!")}},
      {"offset wraps", wrap.build(), {error("Failed to read entry table!")}},
      {"cut table", good.substr(0, good.size() - 1), {error("Failed to read entry table!")}},
  };
  for (const auto& c : cases) {
    log.clear();
    EXPECT_FALSE(mount(c.bytes)) << c.name;
    EXPECT_EQ(log.errors(), c.errors) << c.name;
  }
}

TEST_F(cairn_v1_device_test, entries_whose_data_the_archive_cannot_back_are_refused) {
  cairn_v1_builder_t b = standard_archive();
  v1_entry_spec_t far;
  far.path = "far";
  far.content = "abc";
  far.offset = ~0ull - 1;
  b.add(far);
  v1_entry_spec_t bomb;
  bomb.path = "bomb";
  bomb.content = "abc";
  bomb.compressed = true;
  bomb.size = 0xFFFFFFF0u;
  b.add(bomb);
  ASSERT_TRUE(mount(b));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/far", 0)));
  EXPECT_FALSE(auto_ptr_t<file_t>(device->open("/bomb", 0)));
  ASSERT_EQ(log.errors().size(), 2u);
  EXPECT_NE(log.errors()[0].find("Data of '/far' cannot be read: stored bytes"), std::string::npos);
  EXPECT_EQ(log.errors()[1], error("Data of '/bomb' cannot be read: size 4294967280 cannot come from " +
                                   std::to_string(umbra_test::zlib_deflate("abc").size()) + " stored bytes"));
}

TEST_F(cairn_v1_device_test, chunk_read_goes_through_the_io_server) {
  ASSERT_TRUE(mount(standard_archive()));
  umbra::fs_mstat_t set;
  ASSERT_TRUE(device->mstat("/tex/b.bin", &set));
  umbra::fs_chunk_t chunk;
  ASSERT_TRUE(umbra::fs_meta_get_chunk(&set, umbra::FS_TOKEN_CHUNK_PLAIN, &chunk));
  std::string target(chunk.size, '\0');
  umbra::fs_io_request_t* request =
      device->chunk_read(target.data(), umbra::FS_CHUNK_TARGET_MEMORY, "/tex/b.bin", chunk, nullptr);
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(device->io_wait(request));
  EXPECT_EQ(target, pattern(20000));
  EXPECT_EQ(device->chunk_read(target.data(), umbra::FS_CHUNK_TARGET_MEMORY, "/missing", chunk, nullptr), nullptr);
}
