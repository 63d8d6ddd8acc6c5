// Test support: writes small Cairn archives byte by byte, independently of the tool's
// archive writer, so that read tests can build exactly the archive they need, damaged
// ones included (nothing is validated here).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace umbra_test {

// ---- compressed forms ----
std::string zlib_deflate(const std::string& content);
std::string raw_deflate(const std::string& content);
std::string zstd_compress(const std::string& content);  // with a checksum

// ---- version 2 ----

// A v2 directory listing block; stored names as given ("/x" for a directory), in the
// given order. lengths overrides the length bytes, count the stored count.
std::string v2_listing(const std::vector<std::string>& stored_names, std::optional<uint32_t> count = std::nullopt,
                       const std::vector<uint8_t>& lengths = {});

// Four archive words of a chunk record, packed without any check.
std::vector<uint32_t> v2_chunk_words(uint64_t stored_size, uint64_t size, uint64_t offset, uint32_t compression,
                                     uint32_t attribute = 0, uint32_t aux = 0);

struct v2_record_t {
  v2_record_t(uint32_t record_kind, std::vector<uint32_t> record_words, int data_block = -1,
              uint32_t chunk_attribute = 0)
      : kind(record_kind), words(std::move(record_words)), block(data_block), attribute(chunk_attribute) {}

  uint32_t kind;
  std::vector<uint32_t> words;  // the record's words, unless block is given
  int block;                    // chunk records: index of the data block they locate
  uint32_t attribute;           // of a chunk record made from a block
};

struct v2_entry_spec_t {
  v2_entry_spec_t(std::string entry_path, bool is_directory, std::vector<v2_record_t> entry_records = {},
                  std::optional<std::vector<uint32_t>> damaged_index_words = std::nullopt,
                  std::optional<uint32_t> damaged_metadata_index = std::nullopt,
                  std::optional<uint16_t> damaged_index_count = std::nullopt)
      : path(std::move(entry_path)),
        directory(is_directory),
        records(std::move(entry_records)),
        index_words(std::move(damaged_index_words)),
        metadata_index(damaged_metadata_index),
        index_count(damaged_index_count) {}

  std::string path;  // root-relative, "" for the root
  bool directory;
  std::vector<v2_record_t> records;
  // Damage: replaces the index words built from the records, or the entry's fields.
  std::optional<std::vector<uint32_t>> index_words;
  std::optional<uint32_t> metadata_index;
  std::optional<uint16_t> index_count;
};

struct v2_block_t {
  std::string stored;    // bytes in the archive
  uint64_t size;         // content size
  uint32_t compression;
};

class cairn_v2_builder_t {
 public:
  // A data block placed at the next 16-byte boundary; returns its index.
  int add_block(const std::string& stored, uint64_t size, uint32_t compression);
  int add_plain(const std::string& content) { return add_block(content, content.size(), 0); }
  int add_zlib(const std::string& content) { return add_block(zlib_deflate(content), content.size(), 1); }

  // Convenience: a file entry with one plain data chunk, a directory entry with one
  // listing chunk.
  void add_file(const std::string& path, int block);
  void add_directory(const std::string& path, int listing_block);
  // An image entry as `create` makes it: the image record (none when image_words is
  // empty), the sampler record when given, and the mip tail chunk (attribute 3) of the
  // data block.
  void add_image(const std::string& path, const std::vector<uint32_t>& image_words, std::optional<uint32_t> sampler,
                 int data_block);
  void add_entry(const v2_entry_spec_t& entry) { entries_.push_back(entry); }

  // The offset a block will have in the archive.
  uint64_t block_offset(int block) const;

  std::string build() const;

  uint16_t version = 2;
  uint16_t salt = 0;
  uint8_t platform = 0;
  bool compress_tables = true;
  uint64_t security_descriptor_offset = 0;
  std::string security_block;  // appended at the end when set, and pointed to
  // Damage applied to the finished header.
  std::optional<uint32_t> entry_count;
  std::optional<uint32_t> entry_table_size;
  std::optional<uint32_t> metadata_count;
  std::optional<uint32_t> metadata_table_size;
  std::optional<uint64_t> entry_table_offset;
  std::optional<uint64_t> metadata_table_offset;
  // Replaces the stored entry table (or metadata table) bytes.
  std::optional<std::string> stored_entry_table;
  std::optional<std::string> stored_metadata_table;

 private:
  std::vector<v2_block_t> blocks_;
  std::vector<v2_entry_spec_t> entries_;
};

// ---- version 1 ----

struct v1_entry_spec_t {
  std::string path;  // root-relative, "" for the root
  bool directory = false;
  std::string content;       // uncompressed data (directories: the text listing)
  bool compressed = false;   // stored as one zlib stream
  std::optional<std::string> stored;      // replaces the stored bytes
  std::optional<uint32_t> size;           // replaces the size field
  std::optional<uint64_t> offset;         // replaces the offset field
};

class cairn_v1_builder_t {
 public:
  void add(const v1_entry_spec_t& entry) { entries_.push_back(entry); }
  void add_file(const std::string& path, const std::string& content, bool compressed = false);
  void add_directory(const std::string& path, const std::string& listing);
  std::string build() const;

  uint16_t version = 1;
  uint16_t salt = 0;
  std::optional<uint32_t> entry_count;
  std::optional<uint64_t> entry_table_offset;

 private:
  std::vector<v1_entry_spec_t> entries_;
};

// Writes a v1 archive of count all-zero entries as a sparse file (header, then a hole
// that reads as the table): fast for very large tables.
void write_sparse_v1_archive(const std::string& path, uint32_t count);

}  // namespace umbra_test
