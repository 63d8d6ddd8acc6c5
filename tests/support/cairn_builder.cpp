#include "support/cairn_builder.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/cairn_path_hash.h"

namespace umbra_test {

namespace {

void put_u16(std::string& out, uint16_t v) {
  out.push_back((char)(v & 0xFF));
  out.push_back((char)(v >> 8));
}
void put_u32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back((char)((v >> (8 * i)) & 0xFF));
}
void put_u64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back((char)((v >> (8 * i)) & 0xFF));
}
void pad_to(std::string& out, uint64_t alignment) {
  while (out.size() % alignment) out.push_back(0);
}

std::string deflate_with(const std::string& content, int window_bits) {
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
  std::string out(deflateBound(&z, content.size()) + 16, '\0');
  z.next_in = (Bytef*)content.data();
  z.avail_in = (uInt)content.size();
  z.next_out = (Bytef*)out.data();
  z.avail_out = (uInt)out.size();
  int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

// A stream exactly as long as the raw table would be read as the raw table.
std::string store_table(const std::string& raw, bool compress) {
  if (!compress) return raw;
  std::string stream = zlib_deflate(raw);
  return stream.size() == raw.size() ? raw : stream;
}

uint64_t hash_of(const std::string& path, uint16_t salt) {
  return umbra::cairn_hash_relative_path(path.data(), path.size(), salt);
}

}  // namespace

std::string zlib_deflate(const std::string& content) { return deflate_with(content, 15); }
std::string raw_deflate(const std::string& content) { return deflate_with(content, -15); }

std::string zstd_compress(const std::string& content) {
  std::string out(ZSTD_compressBound(content.size()), '\0');
  ZSTD_CCtx* context = ZSTD_createCCtx();
  // With a checksum a damaged frame is told from a good one.
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  size_t n = ZSTD_compress2(context, out.data(), out.size(), content.data(), content.size());
  ZSTD_freeCCtx(context);
  if (ZSTD_isError(n)) throw std::runtime_error("zstd");
  out.resize(n);
  return out;
}

// ---- version 2 ----

std::string v2_listing(const std::vector<std::string>& stored_names, std::optional<uint32_t> count,
                       const std::vector<uint8_t>& lengths) {
  std::string out;
  put_u32(out, count ? *count : (uint32_t)stored_names.size());
  for (size_t i = 0; i < stored_names.size(); ++i)
    out.push_back((char)(i < lengths.size() ? lengths[i] : (uint8_t)stored_names[i].size()));
  for (const auto& name : stored_names) out += name;
  return out;
}

std::vector<uint32_t> v2_chunk_words(uint64_t stored_size, uint64_t size, uint64_t offset, uint32_t compression,
                                     uint32_t attribute, uint32_t aux) {
  return {(uint32_t)(stored_size & 0x0FFFFFFF) | compression << 28, (uint32_t)(size & 0x0FFFFFFF) | attribute << 28,
          aux & 0x0FFFFFFF, (uint32_t)(offset / 16)};
}

int cairn_v2_builder_t::add_block(const std::string& stored, uint64_t size, uint32_t compression) {
  blocks_.push_back({stored, size, compression});
  return (int)blocks_.size() - 1;
}

void cairn_v2_builder_t::add_file(const std::string& path, int block) {
  add_entry({path, false, {{umbra::CAIRN_KIND_PLAIN_CHUNK, {}, block}}});
}

void cairn_v2_builder_t::add_directory(const std::string& path, int listing_block) {
  add_entry({path, true, {{umbra::CAIRN_KIND_LISTING_CHUNK, {}, listing_block}}});
}

void cairn_v2_builder_t::add_image(const std::string& path, const std::vector<uint32_t>& image_words,
                                   std::optional<uint32_t> sampler, int data_block) {
  std::vector<v2_record_t> records;
  if (!image_words.empty()) records.push_back({umbra::CAIRN_KIND_IMAGE, image_words});
  if (sampler) records.push_back({umbra::CAIRN_KIND_SAMPLER, {*sampler}});
  records.push_back({umbra::CAIRN_KIND_MIP_TAIL_CHUNK, {}, data_block, 3});
  add_entry({path, false, records});
}

uint64_t cairn_v2_builder_t::block_offset(int block) const {
  uint64_t offset = umbra::CAIRN_V2_DATA_OFFSET;
  for (int i = 0; i < block; ++i) offset = (offset + blocks_[i].stored.size() + 15) / 16 * 16;
  return offset;
}

std::string cairn_v2_builder_t::build() const {
  std::string out(umbra::CAIRN_V2_DATA_OFFSET, '\0');
  for (const auto& block : blocks_) {
    pad_to(out, 16);
    out += block.stored;
  }

  std::vector<const v2_entry_spec_t*> sorted;
  for (const auto& e : entries_) sorted.push_back(&e);
  std::stable_sort(sorted.begin(), sorted.end(), [&](const v2_entry_spec_t* a, const v2_entry_spec_t* b) {
    return hash_of(a->path, salt) < hash_of(b->path, salt);
  });

  std::vector<uint32_t> metadata;
  std::string entry_table;
  for (const v2_entry_spec_t* e : sorted) {
    const uint32_t first = (uint32_t)metadata.size();
    std::vector<uint32_t> index_words;
    uint32_t position = first + (uint32_t)e->records.size();
    std::vector<uint32_t> record_words;
    for (const auto& record : e->records) {
      index_words.push_back(record.kind << 24 | position);
      std::vector<uint32_t> words = record.words;
      if (record.block >= 0) {
        const v2_block_t& b = blocks_[record.block];
        words = v2_chunk_words(b.stored.size(), b.size, block_offset(record.block), b.compression, record.attribute);
      }
      record_words.insert(record_words.end(), words.begin(), words.end());
      position += (uint32_t)words.size();
    }
    if (e->index_words) index_words = *e->index_words;
    metadata.insert(metadata.end(), index_words.begin(), index_words.end());
    metadata.insert(metadata.end(), record_words.begin(), record_words.end());
    put_u64(entry_table, hash_of(e->path, salt));
    put_u32(entry_table, e->metadata_index ? *e->metadata_index : first);
    put_u16(entry_table, e->index_count ? *e->index_count : (uint16_t)index_words.size());
    put_u16(entry_table, e->directory ? 1 : 0);
  }
  std::string metadata_table;
  for (uint32_t w : metadata) put_u32(metadata_table, w);

  std::string stored_entries = stored_entry_table ? *stored_entry_table : store_table(entry_table, compress_tables);
  std::string stored_metadata =
      stored_metadata_table ? *stored_metadata_table : store_table(metadata_table, compress_tables);
  pad_to(out, 16);
  const uint64_t entries_at = out.size();
  out += stored_entries;
  pad_to(out, 16);
  const uint64_t metadata_at = out.size();
  out += stored_metadata;
  uint64_t security_at = security_descriptor_offset;
  if (!security_block.empty()) {
    pad_to(out, 16);
    security_at = out.size();
    out += security_block;
  }

  umbra::cairn_v2_header_t header;
  umbra::cairn_v2_header_init(&header, platform);
  header.version = version;
  header.salt = salt;
  header.entry_count = entry_count ? *entry_count : (uint32_t)sorted.size();
  header.entry_table_size = entry_table_size ? *entry_table_size : (uint32_t)stored_entries.size();
  header.metadata_count = metadata_count ? *metadata_count : (uint32_t)metadata.size();
  header.metadata_table_size = metadata_table_size ? *metadata_table_size : (uint32_t)stored_metadata.size();
  header.entry_table_offset = entry_table_offset ? *entry_table_offset : entries_at;
  header.metadata_table_offset = metadata_table_offset ? *metadata_table_offset : metadata_at;
  header.security_descriptor_offset = security_at;
  uint8_t bytes[umbra::CAIRN_V2_HEADER_SIZE];
  umbra::cairn_v2_encode_header(header, bytes);
  std::memcpy(out.data(), bytes, sizeof(bytes));
  return out;
}

// ---- version 1 ----

void cairn_v1_builder_t::add_file(const std::string& path, const std::string& content, bool compressed) {
  v1_entry_spec_t e;
  e.path = path;
  e.content = content;
  e.compressed = compressed;
  add(e);
}

void cairn_v1_builder_t::add_directory(const std::string& path, const std::string& listing) {
  v1_entry_spec_t e;
  e.path = path;
  e.directory = true;
  e.content = listing;
  add(e);
}

std::string cairn_v1_builder_t::build() const {
  std::string out(umbra::CAIRN_V1_HEADER_SIZE, '\0');
  struct placed_t {
    uint64_t hash;
    umbra::cairn_entry_t entry;
  };
  std::vector<placed_t> placed;
  for (const auto& e : entries_) {
    std::string stored = e.stored ? *e.stored : e.compressed ? zlib_deflate(e.content) : e.content;
    umbra::cairn_entry_t entry{};
    entry.hash = hash_of(e.path, salt);
    entry.offset = e.offset ? *e.offset : out.size();
    entry.flags =
        (e.directory ? umbra::CAIRN_V1_FLAG_DIRECTORY : 0) | (e.compressed ? umbra::CAIRN_V1_FLAG_COMPRESSED : 0);
    entry.size = e.size ? *e.size : (uint32_t)e.content.size();
    entry.stored_size = (uint32_t)stored.size();
    out += stored;
    placed.push_back({entry.hash, entry});
  }
  std::stable_sort(placed.begin(), placed.end(), [](const placed_t& a, const placed_t& b) { return a.hash < b.hash; });
  const uint64_t table_at = out.size();
  for (const auto& p : placed) {
    uint8_t bytes[umbra::CAIRN_V1_ENTRY_SIZE];
    umbra::cairn_v1_encode_entry(p.entry, bytes);
    out.append((const char*)bytes, sizeof(bytes));
  }
  umbra::cairn_v1_header_t header{};
  std::memcpy(header.magic, "QAR#", 4);
  header.version = version;
  header.salt = salt;
  std::memcpy(header.hash_method, "CITY", 4);
  header.entry_count = entry_count ? *entry_count : (uint32_t)placed.size();
  header.entry_table_offset = entry_table_offset ? *entry_table_offset : table_at;
  uint8_t bytes[umbra::CAIRN_V1_HEADER_SIZE];
  umbra::cairn_v1_encode_header(header, bytes);
  std::memcpy(out.data(), bytes, sizeof(bytes));
  return out;
}

void write_sparse_v1_archive(const std::string& path, uint32_t count) {
  cairn_v1_builder_t builder;
  builder.entry_count = count;
  builder.entry_table_offset = umbra::CAIRN_V1_HEADER_SIZE;
  std::string header = builder.build();
  int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) throw std::runtime_error("open " + path);
  bool ok = ::write(fd, header.data(), header.size()) == (ssize_t)header.size() &&
            ::ftruncate(fd, (off_t)umbra::CAIRN_V1_HEADER_SIZE + (off_t)count * umbra::CAIRN_V1_ENTRY_SIZE) == 0;
  ::close(fd);
  if (!ok) throw std::runtime_error("write " + path);
}

}  // namespace umbra_test
