// Test support: reads a Cairn v2 archive file with plain code, independently of the
// tool's read device, so tests can check what the writer put where.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "umbracore/ufs/cairn_format.h"

namespace umbra_test {

struct inspected_chunk_t {
  uint32_t kind = 0;
  umbra::cairn_chunk_record_t record{};
  std::string content;  // decompressed
};

struct inspected_archive_t {
  std::string bytes;
  umbra::cairn_v2_header_t header{};
  std::vector<umbra::cairn_v2_entry_t> entries;
  std::vector<uint32_t> metadata;
  bool tables_raw[2] = {false, false};

  // Loads and decodes the whole archive; false (with a gtest failure) when malformed.
  // Tables and zlib chunks are decoded by zlib itself, apart from the tool's code.
  bool load(const std::string& path);
  const umbra::cairn_v2_entry_t* find(const std::string& relative_path) const;
  // The index words of an entry.
  std::vector<uint32_t> index_words(const umbra::cairn_v2_entry_t& entry) const;
  // The words of the entry's first record of the kind (below 128), empty when absent.
  std::vector<uint32_t> record(const umbra::cairn_v2_entry_t& entry, uint32_t kind, size_t count) const;
  // The entry's chunk of the kind, its content decompressed (zlib and GDeflate).
  bool chunk(const umbra::cairn_v2_entry_t& entry, uint32_t kind, inspected_chunk_t* out) const;
  // The stored names of a directory's listing in order ("/x" for directories).
  std::vector<std::string> listing(const std::string& relative_path) const;
};

// Decodes a zlib stream with zlib's uncompress2; true only when it is exactly the whole
// of stored and decodes to exactly size bytes.
bool zlib_uncompress_exact(const std::string& stored, uint64_t size, std::string* content);

}  // namespace umbra_test
