#include "support/archive_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "support/run_tool.h"
#include "umbracore/ufs/cairn_path_hash.h"
#include "umbracore/umbrautils/format/gdeflate.h"

namespace umbra_test {

bool zlib_uncompress_exact(const std::string& stored, uint64_t size, std::string* content) {
  content->assign(size, '\0');
  // zlib's own one-call decoder, with room for exactly the content: a stream that is
  // longer, shorter or followed by other bytes does not pass.
  uLongf produced = (uLongf)size;
  uLong consumed = (uLong)stored.size();
  int result = uncompress2(reinterpret_cast<Bytef*>(&(*content)[0]), &produced,
                           reinterpret_cast<const Bytef*>(stored.data()), &consumed);
  return result == Z_OK && produced == size && consumed == stored.size();
}

namespace {

std::string table_bytes(const std::string& archive, uint64_t offset, uint32_t stored, uint64_t raw, bool* is_raw) {
  std::string bytes = archive.substr(offset, stored);
  *is_raw = stored == raw;
  if (*is_raw) return bytes;
  std::string table;
  if (!zlib_uncompress_exact(bytes, raw, &table)) table.clear();
  return table;
}

}  // namespace

bool inspected_archive_t::load(const std::string& path) {
  bytes = read_file(path);
  if (bytes.size() < umbra::CAIRN_V2_HEADER_SIZE) {
    ADD_FAILURE() << "archive too short: " << bytes.size();
    return false;
  }
  umbra::cairn_v2_decode_header((const umbra::u8*)bytes.data(), bytes.size(), &header);
  std::string e = table_bytes(bytes, header.entry_table_offset, header.entry_table_size,
                              uint64_t(header.entry_count) * 16, &tables_raw[0]);
  std::string m = table_bytes(bytes, header.metadata_table_offset, header.metadata_table_size,
                              uint64_t(header.metadata_count) * 4, &tables_raw[1]);
  if (e.size() != uint64_t(header.entry_count) * 16 || m.size() != uint64_t(header.metadata_count) * 4) {
    ADD_FAILURE() << "tables do not inflate to their sizes";
    return false;
  }
  entries.resize(header.entry_count);
  for (uint32_t i = 0; i < header.entry_count; ++i)
    umbra::cairn_v2_decode_entry((const umbra::u8*)e.data() + 16 * i, 16, &entries[i]);
  metadata.resize(header.metadata_count);
  std::memcpy(metadata.data(), m.data(), m.size());
  return true;
}

const umbra::cairn_v2_entry_t* inspected_archive_t::find(const std::string& relative_path) const {
  uint64_t hash = umbra::cairn_hash_relative_path(relative_path.c_str(), relative_path.size(), header.salt);
  for (const auto& entry : entries)
    if (entry.hash == hash) return &entry;
  return nullptr;
}

std::vector<uint32_t> inspected_archive_t::index_words(const umbra::cairn_v2_entry_t& entry) const {
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i < entry.index_count; ++i) words.push_back(metadata.at(entry.metadata_index + i));
  return words;
}

std::vector<uint32_t> inspected_archive_t::record(const umbra::cairn_v2_entry_t& entry, uint32_t kind,
                                                  size_t count) const {
  for (uint32_t word : index_words(entry)) {
    if (word >> 24 != kind) continue;
    uint32_t at = word & 0xFFFFFF;
    if (at + count > metadata.size()) return {};
    return std::vector<uint32_t>(metadata.begin() + at, metadata.begin() + at + count);
  }
  return {};
}

bool inspected_archive_t::chunk(const umbra::cairn_v2_entry_t& entry, uint32_t kind, inspected_chunk_t* out) const {
  for (uint32_t word : index_words(entry)) {
    if (word >> 24 != kind) continue;
    uint32_t at = word & 0xFFFFFF;
    out->kind = kind;
    umbra::cairn_decode_chunk_record(metadata.data() + at, &out->record);
    std::string stored = bytes.substr(out->record.offset, out->record.stored_size);
    out->content = stored;
    if (out->record.compression == 1 && !zlib_uncompress_exact(stored, out->record.size, &out->content)) {
      ADD_FAILURE() << "chunk of kind " << kind << " is no zlib stream of its size";
      out->content.clear();
    }
    if (out->record.compression == 3) {
      out->content.assign(out->record.size, '\0');
      if (!umbra::gdeflate_decompress(reinterpret_cast<umbra::u8*>(&out->content[0]), out->record.size,
                                      reinterpret_cast<const umbra::u8*>(stored.data()), stored.size())) {
        ADD_FAILURE() << "chunk of kind " << kind << " does not decode";
        out->content.clear();
      }
    }
    return true;
  }
  return false;
}

std::vector<std::string> inspected_archive_t::listing(const std::string& relative_path) const {
  std::vector<std::string> names;
  const umbra::cairn_v2_entry_t* entry = find(relative_path);
  inspected_chunk_t listing_chunk;
  if (!entry || !chunk(*entry, 129, &listing_chunk)) return names;
  const std::string& block = listing_chunk.content;
  uint32_t count = 0;
  std::memcpy(&count, block.data(), 4);
  size_t at = 4 + count;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t length = (uint8_t)block[4 + i];
    names.push_back(block.substr(at, length));
    at += length;
  }
  return names;
}

}  // namespace umbra_test
