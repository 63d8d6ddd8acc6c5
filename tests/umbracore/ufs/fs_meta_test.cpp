#include "umbracore/ufs/fs_meta.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "umbracore/ufs/fs_file.h"

using namespace umbra;

namespace {

std::vector<u32> words_of(const fs_mstat_t& set) { return std::vector<u32>(set.words.begin(), set.words.end()); }

std::vector<u64> tokens_of(const fs_mstat_t& set) {
  std::vector<u64> tokens;
  for (const fs_meta_record_t& record : set.records) tokens.push_back(record.token.value);
  return tokens;
}

// A read-only file over bytes in memory whose stat can be made to fail or to claim
// other sizes, as files inside containers do.
class bytes_file_t final : public file_t {
 public:
  bytes_file_t(const char* name, std::vector<u8> bytes) : file_t(name), bytes_(std::move(bytes)) {
    size_ = stored_size_ = bytes_.size();
  }
  bool stat(fs_stat_t* out) override {
    if (!stat_works) return false;
    out->kind = FS_KIND_FILE;
    out->size = size_;
    out->stored_size = stored_size_;
    return true;
  }
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return nullptr;
    std::memcpy(buffer, bytes_.data() + offset, size);
    return fs_completed_request();
  }
  bool io_poll(fs_io_request_t*) override { return true; }
  bool io_wait(fs_io_request_t*) override { return true; }
  bool get_path(string& out) override { return out.assign(name); }
  bool get_ufs_path(string&) override { return false; }
  void get_debug_name(string& out) override { out.format("<TEST>%s", name.c_str()); }

  void claim_sizes(u64 size, u64 stored_size) {
    size_ = size;
    stored_size_ = stored_size;
  }
  bool stat_works = true;

 private:
  std::vector<u8> bytes_;
  u64 size_ = 0;
  u64 stored_size_ = 0;
};

void put_u32(std::vector<u8>& bytes, size_t offset, u32 value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = (u8)(value >> (8 * i));
}

std::vector<u8> uma_header() {
  std::vector<u8> bytes(84, 0);
  put_u32(bytes, 0, 5);
  put_u32(bytes, 4, 0xBEEF0000);  // u16 at 6 is 0xBEEF
  for (u32 offset = 12; offset <= 32; offset += 4) put_u32(bytes, offset, 0x1000 + offset);
  put_u32(bytes, 60, 0x3F800000);  // 1.0f
  return bytes;
}

std::vector<u8> umg_header(u32 magic) {
  std::vector<u8> bytes(112, 0);
  put_u32(bytes, 0, magic);
  put_u32(bytes, 24, 0xAABBCCDD);
  put_u32(bytes, 28, 42);
  return bytes;
}

std::vector<u32> fields_of(const fs_meta_image_t& i) {
  return {(u32)i.format, i.image_type, i.width, i.height, i.face_count, i.mip_count, i.pitch_alignment,
          i.image_alignment};
}

fs_meta_image_t image(u32 format, u32 type, u32 width, u32 height, u32 faces, u32 mips, u32 pitch, u32 align) {
  return {(format_t)format, type, width, height, faces, mips, pitch, align};
}

}  // namespace

// ---- the set and lookups ----

TEST(fs_meta_set, lookup_wants_the_exact_word_count) {
  fs_mstat_t set;
  ASSERT_TRUE(fs_meta_append_image(&set, image(28, 0, 4, 4, 1, 1, 1, 1)));
  u32 out[8] = {};
  EXPECT_EQ(fs_meta_get(out, 2, &FS_TOKEN_IMAGE, &set), 2u);
  EXPECT_EQ(fs_meta_get(out, 1, &FS_TOKEN_IMAGE, &set), FS_META_NOT_FOUND);
  EXPECT_EQ(fs_meta_get(nullptr, 0, &FS_TOKEN_IMAGE, &set), 2u);
  EXPECT_EQ(fs_meta_get(out, 8, &FS_TOKEN_SAMPLER, &set), FS_META_NOT_FOUND);
  const fs_mstat_t empty;
  EXPECT_EQ(fs_meta_get(nullptr, 8, &FS_TOKEN_IMAGE, &empty), FS_META_NOT_FOUND);
}

TEST(fs_meta_set, records_follow_each_other_and_the_first_of_a_token_wins) {
  fs_mstat_t set;
  const u32 sampler = 0x155;
  const u32 first[2] = {1, 2};
  const u32 second[2] = {3, 4};
  fs_meta_append(&set, FS_TOKEN_SAMPLER, 1, &sampler);
  fs_meta_append(&set, FS_TOKEN_UMG, 2, first);
  fs_meta_append(&set, FS_TOKEN_UMG, 2, second);
  fs_meta_append(&set, FS_TOKEN_ARCHIVE_OTHER, 0, nullptr);
  u32 out[2] = {};
  ASSERT_EQ(fs_meta_get(out, 2, &FS_TOKEN_UMG, &set), 2u);
  EXPECT_EQ(out[0], 1u);
  EXPECT_EQ(out[1], 2u);
  EXPECT_EQ(fs_meta_get(out, 2, &FS_TOKEN_ARCHIVE_OTHER, &set), 0u);
  EXPECT_EQ(words_of(set), (std::vector<u32>{0x155, 1, 2, 3, 4}));
}

// A set whose record claims more words than it holds (only possible by writing the
// arrays directly) must not be read past its words.
TEST(fs_meta_set, record_outside_the_words_is_not_found) {
  fs_mstat_t set;
  set.records.append({FS_TOKEN_UMA, 8});
  set.words.append(1);
  u32 out[8];
  EXPECT_EQ(fs_meta_get(out, 8, &FS_TOKEN_UMA, &set), FS_META_NOT_FOUND);
  EXPECT_EQ(fs_meta_get(nullptr, 8, &FS_TOKEN_UMA, &set), FS_META_NOT_FOUND);
}

TEST(fs_meta_set, capacity_check_matches_append) {
  fs_mstat_t set;
  u32 words[16] = {};
  EXPECT_TRUE(fs_meta_can_append(&set, 16));
  EXPECT_FALSE(fs_meta_can_append(&set, 17));
  fs_meta_append(&set, FS_TOKEN_UMA, 14, words);
  EXPECT_TRUE(fs_meta_can_append(&set, 2));
  EXPECT_FALSE(fs_meta_can_append(&set, 3));
  for (int i = 0; i < 7; ++i) fs_meta_append(&set, FS_TOKEN_SAMPLER, 0, nullptr);
  EXPECT_FALSE(fs_meta_can_append(&set, 0));
}

TEST(fs_meta_set_death, word_overflow_stops_the_process) {
  fs_mstat_t set;
  u32 words[16] = {};
  fs_meta_append(&set, FS_TOKEN_UMA, 16, words);
  EXPECT_DEATH(fs_meta_append(&set, FS_TOKEN_SAMPLER, 1, words), "fs_meta_append: Meta data buffer too small!");
}

TEST(fs_meta_set_death, ninth_record_stops_the_process) {
  fs_mstat_t set;
  for (int i = 0; i < 8; ++i) fs_meta_append(&set, FS_TOKEN_SAMPLER, 0, nullptr);
  EXPECT_DEATH(fs_meta_append(&set, FS_TOKEN_SAMPLER, 0, nullptr), "fs_meta_append: Meta data buffer too small!");
}

// ---- image records ----

TEST(fs_meta_image, smallest_image_is_just_its_format) {
  u32 words[2];
  ASSERT_TRUE(fs_meta_pack_image(image(71, 0, 1, 1, 1, 1, 1, 1), words));
  EXPECT_EQ(words[0], 71u << 4);
  EXPECT_EQ(words[1], 0u);
}

TEST(fs_meta_image, every_field_in_its_bits_and_back) {
  const fs_meta_image_t cube = image(71, 1, 256, 128, 6, 9, 256, 512);
  fs_mstat_t set;
  ASSERT_TRUE(fs_meta_append_image(&set, cube));
  EXPECT_EQ(words_of(set), (std::vector<u32>{0x09815478, 0x007F00FF}));
  fs_meta_image_t decoded{};
  ASSERT_TRUE(fs_meta_get_image(&set, &decoded));
  EXPECT_EQ(fields_of(decoded), fields_of(cube));

  u32 words[2];
  const fs_meta_image_t largest = image(255, 3, 65536, 65536, 64, 16, 1u << 15, 1u << 15);
  ASSERT_TRUE(fs_meta_pack_image(largest, words));
  EXPECT_EQ(words[0], 0x0FFFFFFFu);
  EXPECT_EQ(words[1], 0xFFFFFFFFu);
  fs_meta_unpack_image(words, &decoded);
  EXPECT_EQ(fields_of(decoded), fields_of(largest));
}

TEST(fs_meta_image, alignments_are_stored_as_trailing_zero_bits) {
  u32 words[2];
  fs_meta_image_t decoded{};
  ASSERT_TRUE(fs_meta_pack_image(image(28, 0, 8, 8, 1, 1, 0, 12), words));
  fs_meta_unpack_image(words, &decoded);
  EXPECT_EQ(decoded.pitch_alignment, 1u);
  EXPECT_EQ(decoded.image_alignment, 4u);
}

TEST(fs_meta_image, values_outside_their_fields_are_refused) {
  struct bad_case_t {
    const char* what;
    fs_meta_image_t value;
  } cases[] = {
      {"0 mips", image(28, 0, 4, 4, 1, 0, 1, 1)},     {"17 mips", image(28, 0, 4, 4, 1, 17, 1, 1)},
      {"width 0", image(28, 0, 0, 4, 1, 1, 1, 1)},    {"width 65537", image(28, 0, 65537, 4, 1, 1, 1, 1)},
      {"height 0", image(28, 0, 4, 0, 1, 1, 1, 1)},   {"height 65537", image(28, 0, 4, 65537, 1, 1, 1, 1)},
      {"0 faces", image(28, 0, 4, 4, 0, 1, 1, 1)},    {"65 faces", image(28, 0, 4, 4, 65, 1, 1, 1)},
      {"type 4", image(28, 4, 4, 4, 1, 1, 1, 1)},     {"pitch 2^16", image(28, 0, 4, 4, 1, 1, 1u << 16, 1)},
      {"image 2^16", image(28, 0, 4, 4, 1, 1, 1, 1u << 16)},
  };
  for (const bad_case_t& c : cases) {
    fs_mstat_t set;
    EXPECT_FALSE(fs_meta_append_image(&set, c.value)) << c.what;
    EXPECT_EQ(set.records.count(), 0u) << c.what;
  }
}

// ---- chunk records ----

TEST(fs_meta_chunk, six_words_and_back) {
  const fs_chunk_t chunk{40, 100, 120, 0x100000010ull, 148, FS_COMPRESSION_ZLIB, 1};
  fs_mstat_t set;
  ASSERT_TRUE(fs_meta_append_chunk(&set, FS_TOKEN_CHUNK_MIP_TAIL, chunk));
  EXPECT_EQ(words_of(set), (std::vector<u32>{1 | 1 << 4 | 148 << 8, 40, 100, 120, 0x10, 1}));
  fs_chunk_t decoded{};
  ASSERT_TRUE(fs_meta_get_chunk(&set, FS_TOKEN_CHUNK_MIP_TAIL, &decoded));
  EXPECT_EQ(decoded.stored_size, 40u);
  EXPECT_EQ(decoded.aux_size, 100u);
  EXPECT_EQ(decoded.size, 120u);
  EXPECT_EQ(decoded.offset, 0x100000010ull);
  EXPECT_EQ(decoded.payload_offset, 148);
  EXPECT_EQ(decoded.compression, FS_COMPRESSION_ZLIB);
  EXPECT_EQ(decoded.attribute, 1);
  EXPECT_FALSE(fs_meta_get_chunk(&set, FS_TOKEN_CHUNK_PLAIN, &decoded));

  const fs_chunk_t too_big{1ull << 32, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(fs_meta_append_chunk(&set, FS_TOKEN_CHUNK_PLAIN, too_big));
  const fs_chunk_t bad_compression{0, 0, 0, 0, 0, 16, 0};
  EXPECT_FALSE(fs_meta_append_chunk(&set, FS_TOKEN_CHUNK_PLAIN, bad_compression));
  EXPECT_EQ(set.records.count(), 1u);
}

TEST(fs_meta_chunk, archive_records_widen_and_narrow) {
  // a.txt of the three-byte archive: 3 bytes raw at 4096.
  const u32 archive[4] = {3, 3, 0, 256};
  u32 wide[6];
  fs_chunk_widen(archive, wide);
  EXPECT_EQ(std::vector<u32>(wide, wide + 6), (std::vector<u32>{0, 3, 0, 3, 4096, 0}));
  u32 narrow[4];
  ASSERT_TRUE(fs_chunk_narrow(wide, narrow));
  EXPECT_EQ(std::vector<u32>(narrow, narrow + 4), std::vector<u32>(archive, archive + 4));

  // Compression and attribute move from the top nibbles; the offset needs 36 bits.
  const u32 mip_tail[4] = {3u << 28 | 5, 3u << 28 | 7, 0xF0000009, 0xFFFFFFFF};
  fs_chunk_widen(mip_tail, wide);
  EXPECT_EQ(std::vector<u32>(wide, wide + 6), (std::vector<u32>{0x33, 5, 9, 7, 0xFFFFFFF0, 0xF}));
  ASSERT_TRUE(fs_chunk_narrow(wide, narrow));
  EXPECT_EQ(std::vector<u32>(narrow, narrow + 4), (std::vector<u32>{3u << 28 | 5, 3u << 28 | 7, 9, 0xFFFFFFFF}));

  fs_chunk_t chunk{};
  fs_chunk_from_archive_words(mip_tail, &chunk);
  EXPECT_EQ(chunk.offset, 0xFFFFFFFF0ull);
  EXPECT_EQ(chunk.aux_size, 9u);
  EXPECT_EQ(chunk.payload_offset, 0);
}

TEST(fs_meta_chunk, narrowing_refuses_to_lose_anything) {
  struct bad_case_t {
    const char* what;
    std::vector<u32> words;
  } cases[] = {
      {"payload offset", {128 << 8, 1, 0, 1, 16, 0}},
      {"stored size 2^28", {0, 1u << 28, 0, 1, 16, 0}},
      {"size 2^28", {0, 1, 0, 1u << 28, 16, 0}},
      {"aux 2^28", {0, 1, 1u << 28, 1, 16, 0}},
      {"offset not a multiple of 16", {0, 1, 0, 1, 8, 0}},
      {"offset at 64 GiB", {0, 1, 0, 1, 0, 0x10}},
  };
  for (const bad_case_t& c : cases) {
    u32 narrow[4];
    EXPECT_FALSE(fs_chunk_narrow(c.words.data(), narrow)) << c.what;
  }
}

TEST(fs_meta_tokens, archive_kinds_map_to_tokens) {
  EXPECT_EQ(fs_meta_token_for_archive_kind(1), FS_TOKEN_IMAGE);
  EXPECT_EQ(fs_meta_token_for_archive_kind(2), FS_TOKEN_SAMPLER);
  EXPECT_EQ(fs_meta_token_for_archive_kind(3), FS_TOKEN_ARCHIVE_KIND_3);
  EXPECT_EQ(fs_meta_token_for_archive_kind(5), FS_TOKEN_UMA);
  EXPECT_EQ(fs_meta_token_for_archive_kind(6), FS_TOKEN_UMG);
  EXPECT_EQ(fs_meta_token_for_archive_kind(128), FS_TOKEN_CHUNK_PLAIN);
  EXPECT_EQ(fs_meta_token_for_archive_kind(129), FS_TOKEN_ARCHIVE_OTHER);
  EXPECT_EQ(fs_meta_token_for_archive_kind(130), FS_TOKEN_CHUNK_130);
  EXPECT_EQ(fs_meta_token_for_archive_kind(131), FS_TOKEN_CHUNK_131);
  EXPECT_EQ(fs_meta_token_for_archive_kind(132), FS_TOKEN_CHUNK_MIP_TAIL);
  EXPECT_EQ(fs_meta_token_for_archive_kind(4), FS_TOKEN_ARCHIVE_OTHER);
  u32 kind = 0;
  ASSERT_TRUE(fs_meta_archive_kind_for_token(FS_TOKEN_CHUNK_MIP_TAIL, &kind));
  EXPECT_EQ(kind, 132u);
  EXPECT_FALSE(fs_meta_archive_kind_for_token(FS_TOKEN_ARCHIVE_OTHER, &kind));
}

// ---- the per-file builder ----

class fs_meta_build_test : public ::testing::Test {
 protected:
  umbra_test::log_capture_t log;
  fs_mstat_t set;
};

TEST_F(fs_meta_build_test, plain_record_of_a_loose_file) {
  bytes_file_t file("data/x.bin", std::vector<u8>(100, 7));
  ASSERT_TRUE(fs_meta_build(&set, file, 0, 0));
  EXPECT_EQ(tokens_of(set), (std::vector<u64>{FS_TOKEN_CHUNK_PLAIN.value}));
  EXPECT_EQ(words_of(set), (std::vector<u32>{0, 100, 100, 100, 0, 0}));
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(fs_meta_build_test, plain_record_inside_a_compressed_container) {
  bytes_file_t file("x.bin", std::vector<u8>(100, 7));
  file.claim_sizes(100, 40);
  ASSERT_TRUE(fs_meta_build(&set, file, 0x100000010ull, FS_COMPRESSION_ZLIB));
  EXPECT_EQ(words_of(set), (std::vector<u32>{1, 40, 100, 100, 0x10, 1}));
}

TEST_F(fs_meta_build_test, sizes_beyond_32_bits_fail_instead_of_wrapping) {
  bytes_file_t file("huge.bin", {});
  file.claim_sizes(5ull << 30, 5ull << 30);
  EXPECT_FALSE(fs_meta_build(&set, file, 0, 0));
  EXPECT_EQ(set.records.count(), 0u);
  EXPECT_EQ(log.errors(), (std::vector<std::string>{"[fs] Chunk of 'huge.bin' does not fit its metadata record"}));
}

TEST_F(fs_meta_build_test, unstatable_file_fails) {
  bytes_file_t file("x.bin", {1, 2, 3});
  file.stat_works = false;
  EXPECT_FALSE(fs_meta_build(&set, file, 0, 0));
  EXPECT_EQ(log.errors(), (std::vector<std::string>{"[fs] failed to stat opened file (<TEST>x.bin)!"}));
}

TEST_F(fs_meta_build_test, uma_header_values_then_plain_record) {
  bytes_file_t file("m/model.uma", uma_header());
  ASSERT_TRUE(fs_meta_build(&set, file, 0, 0));
  EXPECT_EQ(tokens_of(set), (std::vector<u64>{FS_TOKEN_UMA.value, FS_TOKEN_CHUNK_PLAIN.value}));
  u32 words[8];
  ASSERT_EQ(fs_meta_get(words, 8, &FS_TOKEN_UMA, &set), 8u);
  EXPECT_EQ(std::vector<u32>(words, words + 8),
            (std::vector<u32>{0xBEEF, 0x3F800000, 0x100C, 0x1010, 0x1020, 0x1014, 0x1018, 0x101C}));
}

TEST_F(fs_meta_build_test, umg_header_values_then_plain_record) {
  bytes_file_t file("model.umg", umg_header(0x556D6715));
  ASSERT_TRUE(fs_meta_build(&set, file, 0, 0));
  EXPECT_EQ(words_of(set), (std::vector<u32>{0xAABBCCDD, 42, 0, 112, 112, 112, 0, 0}));
}

TEST_F(fs_meta_build_test, bad_model_headers_fail_without_a_plain_record) {
  std::vector<u8> wrong_version = uma_header();
  put_u32(wrong_version, 0, 4);
  struct bad_case_t {
    const char* name;
    std::vector<u8> bytes;
  } cases[] = {
      {"a.umg", umg_header(0x556D6716)},
      {"b.umg", std::vector<u8>(111, 0)},
      {"c.uma", wrong_version},
      {"d.uma", std::vector<u8>(10, 5)},
  };
  for (const bad_case_t& c : cases) {
    fs_mstat_t fresh;
    log.clear();
    bytes_file_t file(c.name, c.bytes);
    EXPECT_FALSE(fs_meta_build(&fresh, file, 0, 0)) << c.name;
    EXPECT_EQ(fresh.records.count(), 0u) << c.name;
    EXPECT_TRUE(log.contains(std::string("[uma] Failed to read header of '") + c.name + "' for metadata")) << c.name;
  }
}

// Texture names go to their builders, whose failure fails the build; suffixes are
// compared case-sensitively and a bare "tobj" is no descriptor. Four bytes are too
// short for any texture header, so a chosen texture builder always fails here.
TEST_F(fs_meta_build_test, dispatch_by_name) {
  struct dispatch_case_t {
    const char* name;
    bool type_specific;
  } cases[] = {
      {"x.tobj", true},  {".tobj", true},   {"tobj", false},  {"a.dds", true},  {"a.DDS", false},
      {"a.png", true},   {"a.jpg", true},   {"a.tga", true},  {"a.pnm", true},  {"a.mask", true},
      {"a.pngx", false}, {"a.uma.bak", false},
  };
  for (const dispatch_case_t& c : cases) {
    fs_mstat_t fresh;
    bytes_file_t file(c.name, std::vector<u8>(4, 0));
    bool built = fs_meta_build(&fresh, file, 0, 0);
    if (c.type_specific) {
      EXPECT_FALSE(built) << c.name;
      EXPECT_EQ(fresh.records.count(), 0u) << c.name;
    } else {
      EXPECT_TRUE(built) << c.name;
      EXPECT_EQ(tokens_of(fresh), (std::vector<u64>{FS_TOKEN_CHUNK_PLAIN.value})) << c.name;
    }
  }
}
