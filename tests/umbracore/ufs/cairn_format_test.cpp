#include "umbracore/ufs/cairn_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "umbracore/ufs/cairn_path_hash.h"

using namespace umbra;

namespace {

using bytes_t = std::vector<u8>;

bytes_t to_bytes(const array_t<u8>& array) { return bytes_t(array.begin(), array.end()); }

// Decoders get heap copies of exactly the given size, so a read past the end is an
// AddressSanitizer report rather than a silent look at neighbouring bytes.
bytes_t exact(std::initializer_list<u8> bytes) { return bytes_t(bytes); }

bytes_t le32(u32 v) { return {(u8)v, (u8)(v >> 8), (u8)(v >> 16), (u8)(v >> 24)}; }

bytes_t concat(std::initializer_list<bytes_t> parts) {
  bytes_t out;
  for (const bytes_t& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

bytes_t text(const std::string& s) { return bytes_t(s.begin(), s.end()); }

cairn_stored_name_t name_view(const char* s) { return {s, (u32)std::strlen(s)}; }

bool encode_names(std::vector<cairn_stored_name_t> names, bytes_t* out) {
  array_dyn_t<u8> block;
  if (!cairn_encode_listing(names.data(), names.size(), block)) return false;
  *out = to_bytes(block);
  return true;
}

bool decode_listing(const bytes_t& bytes, array_dyn_t<cairn_listing_child_t>& children) {
  return cairn_decode_listing(bytes.empty() ? nullptr : bytes.data(), bytes.size(), children);
}

std::string child_text(const cairn_listing_child_t& child) {
  return (child.is_directory ? "dir:" : "file:") + std::string(child.name, child.length);
}

}  // namespace

// ---- header ----

TEST(cairn_v2_header, encodes_every_field_at_its_offset) {
  cairn_v2_header_t header;
  cairn_v2_header_init(&header, 0);
  header.salt = 0x0102;
  header.entry_count = 0x03040506;
  header.entry_table_size = 0x0708090A;
  header.metadata_count = 0x0B0C0D0E;
  header.metadata_table_size = 0x0F101112;
  header.entry_table_offset = 0x131415161718191Aull;
  header.metadata_table_offset = 0x1B1C1D1E1F202122ull;
  header.security_descriptor_offset = 0x232425262728292Aull;
  header.platform = 0x2B;
  u8 out[CAIRN_V2_HEADER_SIZE];
  cairn_v2_encode_header(header, out);
  const bytes_t expected = {'Q',  'A',  'R',  '#',  0x02, 0x00, 0x02, 0x01, 'C',  'I',  'T',  'Y',  0x06, 0x05,
                            0x04, 0x03, 0x0A, 0x09, 0x08, 0x07, 0x0E, 0x0D, 0x0C, 0x0B, 0x12, 0x11, 0x10, 0x0F,
                            0x1A, 0x19, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x22, 0x21, 0x20, 0x1F, 0x1E, 0x1D,
                            0x1C, 0x1B, 0x2A, 0x29, 0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x2B};
  EXPECT_EQ(bytes_t(out, out + sizeof(out)), expected);

  cairn_v2_header_t decoded;
  ASSERT_TRUE(cairn_v2_decode_header(expected.data(), expected.size(), &decoded));
  EXPECT_EQ(std::memcmp(&decoded, &header, sizeof(header)), 0);

  cairn_probe_t probe;
  ASSERT_TRUE(cairn_decode_probe(expected.data(), CAIRN_PROBE_SIZE, &probe));
  EXPECT_TRUE(cairn_has_magic(probe.magic));
  EXPECT_EQ(probe.version, 2);
  EXPECT_EQ(probe.salt, 0x0102);
  EXPECT_EQ(std::memcmp(probe.hash_method, "CITY", 4), 0);
}

TEST(cairn_v2_header, a_new_header_is_the_writers_starting_point) {
  cairn_v2_header_t header;
  cairn_v2_header_init(&header, 0);
  u8 out[CAIRN_V2_HEADER_SIZE];
  cairn_v2_encode_header(header, out);
  bytes_t expected(CAIRN_V2_HEADER_SIZE, 0);
  std::memcpy(expected.data(), "QAR#\x02\x00\x00\x00" "CITY", 12);
  EXPECT_EQ(bytes_t(out, out + sizeof(out)), expected);
}

TEST(cairn_v2_header, truncated_input_is_refused) {
  bytes_t bytes(CAIRN_V2_HEADER_SIZE - 1, 0);
  cairn_v2_header_t header;
  EXPECT_FALSE(cairn_v2_decode_header(bytes.data(), bytes.size(), &header));
  cairn_probe_t probe;
  EXPECT_FALSE(cairn_decode_probe(bytes.data(), CAIRN_PROBE_SIZE - 1, &probe));
  EXPECT_FALSE(cairn_v2_decode_header(nullptr, 0, &header));
  const char zero_magic[4] = {0, 0, 0, 0};
  EXPECT_FALSE(cairn_has_magic(zero_magic));
}

TEST(cairn_v2_header, platform_names) {
  EXPECT_STREQ(cairn_platform_name(0), "pc");
  EXPECT_STREQ(cairn_platform_name(1), "xbone");
  EXPECT_STREQ(cairn_platform_name(2), "xs");
  EXPECT_STREQ(cairn_platform_name(3), "ps4");
  EXPECT_STREQ(cairn_platform_name(4), "ps5");
  EXPECT_STREQ(cairn_platform_name(5), "unknown");
  EXPECT_STREQ(cairn_platform_name(255), "unknown");
}

// ---- entries and tables ----

TEST(cairn_v2_entry, encodes_little_endian_and_round_trips) {
  cairn_v2_entry_t entry{0x0102030405060708ull, 0x090A0B0C, 0x0D0E, 1};
  u8 out[CAIRN_V2_ENTRY_SIZE];
  cairn_v2_encode_entry(entry, out);
  const bytes_t expected = {8, 7, 6, 5, 4, 3, 2, 1, 0x0C, 0x0B, 0x0A, 0x09, 0x0E, 0x0D, 1, 0};
  EXPECT_EQ(bytes_t(out, out + sizeof(out)), expected);
  cairn_v2_entry_t decoded;
  ASSERT_TRUE(cairn_v2_decode_entry(expected.data(), expected.size(), &decoded));
  EXPECT_EQ(std::memcmp(&decoded, &entry, sizeof(entry)), 0);
  EXPECT_TRUE(cairn_v2_entry_is_directory(decoded));
  EXPECT_FALSE(cairn_v2_decode_entry(expected.data(), expected.size() - 1, &decoded));

  // Loaded straight into records: the stored bytes become the same values.
  cairn_v2_entry_t loaded;
  std::memcpy(&loaded, expected.data(), sizeof(loaded));
  cairn_v2_entries_from_stored(&loaded, 1);
  EXPECT_EQ(std::memcmp(&loaded, &entry, sizeof(entry)), 0);
}

TEST(cairn_v2_tables, raw_tables_need_exactly_their_bytes) {
  const cairn_v2_entry_t entries[2] = {{1, 0, 1, 0}, {2, 5, 1, 1}};
  array_dyn_t<u8> bytes;
  ASSERT_TRUE(cairn_v2_encode_entry_table(entries, 2, bytes));
  ASSERT_EQ(bytes.count(), 32u);
  array_dyn_t<cairn_v2_entry_t> decoded;
  ASSERT_TRUE(cairn_v2_decode_entry_table(bytes.data(), 32, 2, decoded));
  ASSERT_EQ(decoded.count(), 2u);
  EXPECT_EQ(decoded[1].metadata_index, 5u);
  EXPECT_FALSE(cairn_v2_decode_entry_table(bytes.data(), 31, 2, decoded));
  EXPECT_EQ(decoded.count(), 0u);
  EXPECT_FALSE(cairn_v2_decode_entry_table(bytes.data(), 32, 3, decoded));
  EXPECT_FALSE(cairn_v2_decode_entry_table(bytes.data(), 32, 1ull << 60, decoded));

  const u32 words[3] = {0x80000001, 3, 0x01020304};
  array_dyn_t<u8> word_bytes;
  ASSERT_TRUE(cairn_v2_encode_metadata_table(words, 3, word_bytes));
  EXPECT_EQ(to_bytes(word_bytes), concat({le32(0x80000001), le32(3), le32(0x01020304)}));
  array_dyn_t<u32> decoded_words;
  ASSERT_TRUE(cairn_v2_decode_metadata_table(word_bytes.data(), 12, 3, decoded_words));
  EXPECT_EQ(decoded_words[2], 0x01020304u);
  EXPECT_FALSE(cairn_v2_decode_metadata_table(word_bytes.data(), 11, 3, decoded_words));
  EXPECT_FALSE(cairn_v2_decode_metadata_table(word_bytes.data(), 12, 2, decoded_words));

  EXPECT_TRUE(cairn_table_is_raw(cairn_v2_entry_table_raw_size(2), 32));
  EXPECT_FALSE(cairn_table_is_raw(31, cairn_v2_entry_table_raw_size(2)));
  EXPECT_TRUE(cairn_table_is_raw(40, cairn_v2_metadata_table_raw_size(10)));
}

// ---- index words and chunk records ----

TEST(cairn_index_word, kind_and_position_limits) {
  u32 word = 0;
  ASSERT_TRUE(cairn_make_index_word(132, 0xFFFFFF, &word));
  EXPECT_EQ(word, 0x84FFFFFFu);
  EXPECT_EQ(cairn_index_word_kind(word), 132u);
  EXPECT_EQ(cairn_index_word_position(word), 0xFFFFFFu);
  word = 7;
  EXPECT_FALSE(cairn_make_index_word(256, 0, &word));
  EXPECT_FALSE(cairn_make_index_word(1, 1u << 24, &word));
  EXPECT_FALSE(cairn_rebase_index_word(0x80FFFFFF, 1, &word));
  EXPECT_FALSE(cairn_rebase_index_word(0x80000000, 1ull << 40, &word));
  EXPECT_EQ(word, 7u);
  ASSERT_TRUE(cairn_rebase_index_word(0x81000000, 6, &word));
  EXPECT_EQ(word, 129u << 24 | 6);
}

TEST(cairn_index_word, record_lengths_by_kind) {
  EXPECT_EQ(cairn_record_word_count(CAIRN_KIND_IMAGE), 2u);
  EXPECT_EQ(cairn_record_word_count(CAIRN_KIND_SAMPLER), 1u);
  EXPECT_EQ(cairn_record_word_count(CAIRN_KIND_UMA), 8u);
  EXPECT_EQ(cairn_record_word_count(CAIRN_KIND_UMG), 2u);
  EXPECT_EQ(cairn_record_word_count(CAIRN_KIND_RESERVED_3), 0u);
  EXPECT_EQ(cairn_record_word_count(4), 0u);
  for (u32 kind = 128; kind < 256; ++kind) EXPECT_EQ(cairn_record_word_count(kind), 4u) << kind;
}

TEST(cairn_chunk_record, packs_fields_into_four_words) {
  cairn_chunk_record_t record{0x0FFFFFFF, 0x0FFFFFFE, 0x0FFFFFFD, 0xFFFFFFFFull * 16, 3, 3};
  u32 words[4];
  ASSERT_TRUE(cairn_encode_chunk_record(record, words));
  EXPECT_EQ(words[0], 0x3FFFFFFFu);
  EXPECT_EQ(words[1], 0x3FFFFFFEu);
  EXPECT_EQ(words[2], 0x0FFFFFFDu);
  EXPECT_EQ(words[3], 0xFFFFFFFFu);
  cairn_chunk_record_t decoded;
  cairn_decode_chunk_record(words, &decoded);
  EXPECT_EQ(decoded.stored_size, record.stored_size);
  EXPECT_EQ(decoded.size, record.size);
  EXPECT_EQ(decoded.aux, record.aux);
  EXPECT_EQ(decoded.offset, record.offset);
  EXPECT_EQ(decoded.compression, 3);
  EXPECT_EQ(decoded.attribute, 3);

  // Readers use only the low 28 bits of the auxiliary word.
  const u32 dirty[4] = {0x10000005, 7, 0xF0000009, 2};
  cairn_decode_chunk_record(dirty, &decoded);
  EXPECT_EQ(decoded.aux, 9u);
  EXPECT_EQ(decoded.compression, 1);
  EXPECT_EQ(decoded.offset, 32u);
}

TEST(cairn_chunk_record, values_that_do_not_fit_are_refused) {
  const cairn_chunk_record_t good{1, 1, 0, 16, 0, 0};
  struct bad_case_t {
    const char* what;
    cairn_chunk_record_t record;
  } cases[] = {
      {"stored size 2^28", {1u << 28, 1, 0, 16, 0, 0}},
      {"size 2^28", {1, 1u << 28, 0, 16, 0, 0}},
      {"aux 2^28", {1, 1, 1u << 28, 16, 0, 0}},
      {"offset not a multiple of 16", {1, 1, 0, 24, 0, 0}},
      {"offset at 64 GiB", {1, 1, 0, 1ull << 36, 0, 0}},
      {"compression 16", {1, 1, 0, 16, 16, 0}},
      {"attribute 16", {1, 1, 0, 16, 0, 16}},
  };
  u32 words[4] = {9, 9, 9, 9};
  ASSERT_TRUE(cairn_encode_chunk_record(good, words));
  for (const bad_case_t& c : cases) {
    u32 untouched[4] = {9, 9, 9, 9};
    EXPECT_FALSE(cairn_encode_chunk_record(c.record, untouched)) << c.what;
    EXPECT_EQ(untouched[0], 9u) << c.what;
  }
}

TEST(cairn_chunk_record, relocation_moves_the_offset_and_clears_aux_top_bits) {
  u32 words[4] = {3, 3, 0xA0000000, 1};
  ASSERT_TRUE(cairn_relocate_chunk_record(words, 4096));
  EXPECT_EQ(words[2], 0u);
  EXPECT_EQ(words[3], 257u);
  EXPECT_FALSE(cairn_relocate_chunk_record(words, 4100));
  u32 high[4] = {0, 0, 0, 0xFFFFFFFF};
  EXPECT_FALSE(cairn_relocate_chunk_record(high, 16));
  EXPECT_EQ(high[3], 0xFFFFFFFFu);
}

// ---- the worked example: a root holding only a.txt with the bytes "abc" ----

TEST(cairn_v2_example, metadata_words_entries_and_lookups) {
  // a.txt: a 3-byte block, stored raw, placed at 4096; its task numbered its record
  // from 0 and it is merged first, at M = 0 with one index word.
  array_dyn_t<u32> table;
  auto merge = [&](u32 kind, const cairn_chunk_record_t& relative, u64 block, cairn_v2_entry_t* entry) {
    u32 index_word = 0;
    u32 record[4];
    ASSERT_TRUE(cairn_make_index_word(kind, 0, &index_word));
    ASSERT_TRUE(cairn_encode_chunk_record(relative, record));
    ASSERT_TRUE(cairn_relocate_chunk_record(record, block));
    u64 m = table.count();
    ASSERT_TRUE(cairn_rebase_index_word(index_word, m + 1, &index_word));
    entry->metadata_index = (u32)m;
    entry->index_count = 1;
    table.append(index_word);
    table.append_block(record, 4);
  };
  cairn_v2_entry_t file{cairn_hash_relative_path("a.txt"), 0, 0, 0};
  cairn_v2_entry_t root{cairn_hash_relative_path(""), 0, 0, CAIRN_V2_ENTRY_FLAG_DIRECTORY};
  merge(CAIRN_KIND_PLAIN_CHUNK, {3, 3, 0, 0, FS_COMPRESSION_NONE, 0}, 4096, &file);

  std::vector<cairn_stored_name_t> names = {name_view("a.txt")};
  bytes_t listing;
  ASSERT_TRUE(encode_names(names, &listing));
  EXPECT_EQ(listing, concat({le32(1), {5}, text("a.txt")}));
  merge(CAIRN_KIND_LISTING_CHUNK, {(u32)listing.size(), (u32)listing.size(), 0, 0, FS_COMPRESSION_NONE, 0}, 4112,
        &root);

  const std::vector<u32> expected = {128u << 24 | 1, 3, 3, 0, 256, 129u << 24 | 6, 10, 10, 0, 257};
  EXPECT_EQ(std::vector<u32>(table.begin(), table.end()), expected);
  EXPECT_EQ(file.metadata_index, 0u);
  EXPECT_EQ(root.metadata_index, 5u);

  cairn_chunk_record_t chunk;
  ASSERT_EQ(cairn_v2_find_chunk_record(table.data(), table.count(), file, CAIRN_KIND_PLAIN_CHUNK, &chunk),
            CAIRN_RECORD_FOUND);
  EXPECT_EQ(chunk.offset, 4096u);
  EXPECT_EQ(chunk.size, 3u);
  EXPECT_EQ(cairn_v2_find_chunk_record(table.data(), table.count(), file, CAIRN_KIND_LISTING_CHUNK, &chunk),
            CAIRN_RECORD_ABSENT);
  ASSERT_EQ(cairn_v2_find_chunk_record(table.data(), table.count(), root, CAIRN_KIND_LISTING_CHUNK, &chunk),
            CAIRN_RECORD_FOUND);
  EXPECT_EQ(chunk.offset, 4112u);
  EXPECT_EQ(chunk.stored_size, 10u);
  EXPECT_EQ(root.hash, 0x9AE16A3B2F90404Full);
}

TEST(cairn_v2_lookup, records_outside_the_table_are_malformed) {
  // Ten words; the entries below point into, across and beyond them.
  const u32 table[10] = {128u << 24 | 2, 1u << 24 | 8, 3, 3, 0, 256, 132u << 24 | 7, 0, 0, 0};
  u32 position = 0;
  struct lookup_case_t {
    const char* what;
    cairn_v2_entry_t entry;
    u32 kind;
    cairn_lookup_t expected;
  } cases[] = {
      {"chunk inside", {0, 0, 1, 0}, 128, CAIRN_RECORD_FOUND},
      {"image record ending at the table's end", {0, 1, 1, 0}, 1, CAIRN_RECORD_FOUND},
      {"kind not present", {0, 0, 2, 0}, 5, CAIRN_RECORD_ABSENT},
      {"no index words", {0, 9, 0, 0}, 128, CAIRN_RECORD_ABSENT},
      {"index words past the end", {0, 9, 2, 0}, 128, CAIRN_RECORD_MALFORMED},
      {"index words far past the end", {0, 0xFFFFFFFF, 1, 0}, 128, CAIRN_RECORD_MALFORMED},
      {"chunk running past the end", {0, 6, 1, 0}, 132, CAIRN_RECORD_MALFORMED},
  };
  for (const lookup_case_t& c : cases) {
    EXPECT_EQ(cairn_v2_find_record(table, 10, c.entry, c.kind, &position), c.expected) << c.what;
  }
  EXPECT_TRUE(cairn_v2_record_in_table(1u << 24 | 8, 10));
  EXPECT_FALSE(cairn_v2_record_in_table(1u << 24 | 9, 10));
  EXPECT_TRUE(cairn_v2_record_in_table(3u << 24 | 9, 10));
  EXPECT_FALSE(cairn_v2_record_in_table(3u << 24 | 10, 10));
  EXPECT_EQ(cairn_v2_entry_index_words(table, 10, {0, 9, 2, 0}), nullptr);
  EXPECT_EQ(cairn_v2_entry_index_words(table, 10, {0, 8, 2, 0}), table + 8);
}

// ---- directory listings ----

TEST(cairn_listing, names_sort_byte_wise_with_directories_by_their_slash) {
  std::vector<cairn_stored_name_t> names = {name_view("b"), name_view("/a"), name_view(".cfg")};
  cairn_sort_stored_names(names.data(), names.size());
  bytes_t block;
  ASSERT_TRUE(encode_names(names, &block));
  EXPECT_EQ(block, concat({le32(3), {4, 2, 1}, text(".cfg/ab")}));

  array_dyn_t<cairn_listing_child_t> children;
  ASSERT_TRUE(decode_listing(block, children));
  ASSERT_EQ(children.count(), 3u);
  EXPECT_EQ(child_text(children[0]), "file:.cfg");
  EXPECT_EQ(child_text(children[1]), "dir:a");
  EXPECT_EQ(child_text(children[2]), "file:b");

  // Capitals before small letters, a prefix before its extensions, high bytes last.
  std::vector<cairn_stored_name_t> more = {name_view("b.txt"), name_view("\xC3\xA9"), name_view("A.txt"),
                                           name_view("/c"), name_view("b")};
  cairn_sort_stored_names(more.data(), more.size());
  std::vector<std::string> order;
  for (const cairn_stored_name_t& n : more) order.emplace_back(n.bytes, n.length);
  EXPECT_EQ(order, (std::vector<std::string>{"/c", "A.txt", "b", "b.txt", "\xC3\xA9"}));
}

TEST(cairn_listing, empty_directory_is_a_zero_count) {
  bytes_t block;
  ASSERT_TRUE(encode_names({}, &block));
  EXPECT_EQ(block, le32(0));
  array_dyn_t<cairn_listing_child_t> children;
  EXPECT_TRUE(decode_listing(block, children));
  EXPECT_EQ(children.count(), 0u);
}

TEST(cairn_listing, encoder_refuses_what_no_reader_could_decode) {
  std::string longest(255, 'n');
  std::string too_long(256, 'n');
  std::string dir_too_long = "/" + std::string(255, 'd');
  const char nul_name[] = {'a', 0, 'b'};
  struct bad_case_t {
    const char* what;
    std::vector<cairn_stored_name_t> names;
  } cases[] = {
      {"unsorted", {name_view("b"), name_view("a")}},
      {"duplicate", {name_view("a"), name_view("a")}},
      {"empty name", {{"", 0}}},
      {"256 bytes", {{too_long.c_str(), 256}}},
      {"directory of 255 bytes", {{dir_too_long.c_str(), 256}}},
      {"lone slash", {name_view("/")}},
      {"inner slash", {name_view("a/b")}},
      {"zero byte", {{nul_name, 3}}},
  };
  for (const bad_case_t& c : cases) {
    array_dyn_t<u8> out;
    out.append(0xEE);
    EXPECT_FALSE(cairn_encode_listing(c.names.data(), c.names.size(), out)) << c.what;
    EXPECT_EQ(out.count(), 1u) << c.what;
  }
  // The longest names: 255 bytes for a file, 254 (plus its '/') for a directory.
  bytes_t block;
  std::string dir254 = "/" + std::string(254, 'd');
  std::vector<cairn_stored_name_t> limits = {{dir254.c_str(), 255}, {longest.c_str(), 255}};
  ASSERT_TRUE(encode_names(limits, &block));
  EXPECT_EQ(block.size(), 4u + 2 + 510);
}

TEST(cairn_listing, child_count_limit) {
  // 64^3 distinct three-byte names in ascending order: exactly the limit.
  const u32 limit = CAIRN_V2_MAX_LISTING_CHILDREN;
  std::vector<char> storage(3 * (limit + 1));
  std::vector<cairn_stored_name_t> names(limit + 1);
  for (u32 i = 0; i < limit; ++i) {
    char* n = &storage[3 * i];
    n[0] = (char)(0x40 + (i >> 12));
    n[1] = (char)(0x40 + ((i >> 6) & 63));
    n[2] = (char)(0x40 + (i & 63));
    names[i] = {n, 3};
  }
  names[limit] = {"\x7F\x7F\x7F\x7F", 4};
  array_dyn_t<u8> block;
  ASSERT_TRUE(cairn_encode_listing(names.data(), limit, block));
  array_dyn_t<cairn_listing_child_t> children;
  ASSERT_TRUE(cairn_decode_listing(block.data(), block.count(), children));
  EXPECT_EQ(children.count(), (u64)limit);

  array_dyn_t<u8> over;
  EXPECT_FALSE(cairn_encode_listing(names.data(), limit + 1, over));
  // The same one-past-the-limit count with all its bytes present is still refused.
  bytes_t big = concat({le32(limit + 1), bytes_t(limit + 1, 1), bytes_t(limit + 1, 'x')});
  EXPECT_FALSE(decode_listing(big, children));
}

TEST(cairn_listing, malformed_blocks_are_reported) {
  struct bad_case_t {
    const char* what;
    bytes_t block;
  } cases[] = {
      {"no bytes", {}},
      {"count cut short", exact({1, 0, 0})},
      {"count past the length bytes", concat({le32(2), {1}})},
      {"huge count", concat({le32(0xFFFFFFFF), {1, 1, 1}})},
      {"name past the end", concat({le32(1), {6}, text("a.txt")})},
      {"second name past the end", concat({le32(2), {1, 2}, text("ab")})},
      {"length zero", concat({le32(2), {0, 1}, text("a")})},
      {"lone slash", concat({le32(1), {1}, text("/")})},
      {"inner slash", concat({le32(1), {3}, text("a/b")})},
      {"escaping directory", concat({le32(1), {4}, text("/../")})},
      {"zero byte", concat({le32(1), {3}, bytes_t{'a', 0, 'b'}})},
  };
  for (const bad_case_t& c : cases) {
    array_dyn_t<cairn_listing_child_t> children;
    children.append({"stale", 5, false});
    EXPECT_FALSE(decode_listing(c.block, children)) << c.what;
    EXPECT_EQ(children.count(), 0u) << c.what;
  }
}

TEST(cairn_listing, decoder_reads_exact_names_and_ignores_trailing_bytes) {
  bytes_t block = concat({le32(2), {4, 5}, text("/texa.txt"), {0, 0, 0}});
  array_dyn_t<cairn_listing_child_t> children;
  ASSERT_TRUE(decode_listing(block, children));
  ASSERT_EQ(children.count(), 2u);
  EXPECT_EQ(child_text(children[0]), "dir:tex");
  EXPECT_EQ(child_text(children[1]), "file:a.txt");
}

TEST(cairn_listing, encodes_a_registry_array) {
  array_dyn_t<path_string_t> names;
  names.emplace()->assign(".cfg");
  names.emplace()->assign("/a");
  names.emplace()->assign("b");
  array_dyn_t<u8> block;
  ASSERT_TRUE(cairn_encode_listing(names, block));
  EXPECT_EQ(to_bytes(block), concat({le32(3), {4, 2, 1}, text(".cfg/ab")}));
}

// ---- version 1 ----

TEST(cairn_v1_format, header_and_entry_layouts) {
  cairn_v1_header_t header{{'Q', 'A', 'R', '#'}, 1, 7, {'C', 'I', 'T', 'Y'}, 250000, 0x1122334455667788ull, 0};
  u8 out[CAIRN_V1_HEADER_SIZE];
  cairn_v1_encode_header(header, out);
  bytes_t expected = concat({text("QAR#"), {1, 0, 7, 0}, text("CITY"), le32(250000),
                             {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}, bytes_t(8, 0)});
  EXPECT_EQ(bytes_t(out, out + sizeof(out)), expected);
  cairn_v1_header_t decoded;
  ASSERT_TRUE(cairn_v1_decode_header(expected.data(), expected.size(), &decoded));
  EXPECT_EQ(std::memcmp(&decoded, &header, sizeof(header)), 0);
  EXPECT_FALSE(cairn_v1_decode_header(expected.data(), expected.size() - 1, &decoded));

  cairn_entry_t entry{0x0102030405060708ull, 0x1000, CAIRN_V1_FLAG_DIRECTORY | CAIRN_V1_FLAG_COMPRESSED, 0, 40, 30};
  u8 entry_bytes[CAIRN_V1_ENTRY_SIZE];
  cairn_v1_encode_entry(entry, entry_bytes);
  bytes_t expected_entry = concat({{8, 7, 6, 5, 4, 3, 2, 1}, {0, 0x10, 0, 0, 0, 0, 0, 0}, le32(3), le32(0),
                                   le32(40), le32(30)});
  EXPECT_EQ(bytes_t(entry_bytes, entry_bytes + sizeof(entry_bytes)), expected_entry);
  cairn_entry_t decoded_entry;
  ASSERT_TRUE(cairn_v1_decode_entry(expected_entry.data(), expected_entry.size(), &decoded_entry));
  EXPECT_EQ(std::memcmp(&decoded_entry, &entry, sizeof(entry)), 0);
  EXPECT_FALSE(cairn_v1_decode_entry(expected_entry.data(), 31, &decoded_entry));

  array_dyn_t<cairn_entry_t> table;
  ASSERT_TRUE(cairn_v1_decode_entry_table(expected_entry.data(), 32, 1, table));
  EXPECT_EQ(table[0].stored_size, 30u);
  EXPECT_FALSE(cairn_v1_decode_entry_table(expected_entry.data(), 32, 2, table));
  EXPECT_EQ(table.count(), 0u);
}
