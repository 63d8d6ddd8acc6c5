#include "umbracore/ufs/cairn_format.h"

#include <algorithm>
#include <cstring>

#include "umbracore/mem.h"

namespace umbra {

namespace {

constexpr char MAGIC_BYTES[4] = {'Q', 'A', 'R', '#'};
constexpr u32 SIZE_FIELD_MASK = 0x0FFFFFFF;

template <class T>
bool decode_records(const u8* bytes, size_t size, u64 count, u32 record_size, array_t<T>& out,
                    bool (*decode)(const u8*, size_t, T*)) {
  out.clear();
  if (count > size / record_size || (u64)size != count * record_size) return false;
  if (!out.resize(count)) return false;
  for (u64 i = 0; i < count; ++i) decode(bytes + i * record_size, record_size, &out[i]);
  return true;
}

}  // namespace

// ---- probe ----

bool cairn_decode_probe(const u8* bytes, size_t size, cairn_probe_t* out) {
  if (!bytes || size < CAIRN_PROBE_SIZE) return false;
  std::memcpy(out->magic, bytes, 4);
  out->version = load_le16(bytes + 4);
  out->salt = load_le16(bytes + 6);
  std::memcpy(out->hash_method, bytes + 8, 4);
  return true;
}

bool cairn_has_magic(const char magic[4]) { return std::memcmp(magic, MAGIC_BYTES, 4) == 0; }

// ---- v2 header ----

void cairn_v2_header_init(cairn_v2_header_t* header, u8 platform) {
  std::memset(header, 0, sizeof(*header));
  std::memcpy(header->magic, MAGIC_BYTES, 4);
  header->version = CAIRN_V2_VERSION;
  std::memcpy(header->hash_method, "CITY", 4);
  header->platform = platform;
}

void cairn_v2_encode_header(const cairn_v2_header_t& header, u8 out[CAIRN_V2_HEADER_SIZE]) {
  std::memcpy(out, header.magic, 4);
  store_le16(out + 4, header.version);
  store_le16(out + 6, header.salt);
  std::memcpy(out + 8, header.hash_method, 4);
  store_le32(out + 12, header.entry_count);
  store_le32(out + 16, header.entry_table_size);
  store_le32(out + 20, header.metadata_count);
  store_le32(out + 24, header.metadata_table_size);
  store_le64(out + 28, header.entry_table_offset);
  store_le64(out + 36, header.metadata_table_offset);
  store_le64(out + 44, header.security_descriptor_offset);
  out[52] = header.platform;
}

bool cairn_v2_decode_header(const u8* bytes, size_t size, cairn_v2_header_t* out) {
  if (!bytes || size < CAIRN_V2_HEADER_SIZE) return false;
  std::memcpy(out->magic, bytes, 4);
  out->version = load_le16(bytes + 4);
  out->salt = load_le16(bytes + 6);
  std::memcpy(out->hash_method, bytes + 8, 4);
  out->entry_count = load_le32(bytes + 12);
  out->entry_table_size = load_le32(bytes + 16);
  out->metadata_count = load_le32(bytes + 20);
  out->metadata_table_size = load_le32(bytes + 24);
  out->entry_table_offset = load_le64(bytes + 28);
  out->metadata_table_offset = load_le64(bytes + 36);
  out->security_descriptor_offset = load_le64(bytes + 44);
  out->platform = bytes[52];
  return true;
}

const char* cairn_platform_name(u8 platform) {
  static const char* const names[] = {"pc", "xbone", "xs", "ps4", "ps5"};
  return platform < sizeof(names) / sizeof(names[0]) ? names[platform] : "unknown";
}

// ---- v2 entries and tables ----

void cairn_v2_encode_entry(const cairn_v2_entry_t& entry, u8 out[CAIRN_V2_ENTRY_SIZE]) {
  store_le64(out, entry.hash);
  store_le32(out + 8, entry.metadata_index);
  store_le16(out + 12, entry.index_count);
  store_le16(out + 14, entry.flags);
}

bool cairn_v2_decode_entry(const u8* bytes, size_t size, cairn_v2_entry_t* out) {
  if (!bytes || size < CAIRN_V2_ENTRY_SIZE) return false;
  out->hash = load_le64(bytes);
  out->metadata_index = load_le32(bytes + 8);
  out->index_count = load_le16(bytes + 12);
  out->flags = load_le16(bytes + 14);
  return true;
}

bool cairn_v2_encode_entry_table(const cairn_v2_entry_t* entries, u64 count, array_t<u8>& out) {
  u64 start = out.count();
  if (count > (~0ull - start) / CAIRN_V2_ENTRY_SIZE || !out.resize(start + count * CAIRN_V2_ENTRY_SIZE)) return false;
  for (u64 i = 0; i < count; ++i) cairn_v2_encode_entry(entries[i], out.data() + start + i * CAIRN_V2_ENTRY_SIZE);
  return true;
}

bool cairn_v2_decode_entry_table(const u8* bytes, size_t size, u64 count, array_t<cairn_v2_entry_t>& out) {
  return decode_records<cairn_v2_entry_t>(bytes, size, count, CAIRN_V2_ENTRY_SIZE, out, cairn_v2_decode_entry);
}

bool cairn_v2_encode_metadata_table(const u32* words, u64 count, array_t<u8>& out) {
  u64 start = out.count();
  if (count > (~0ull - start) / 4 || !out.resize(start + count * 4)) return false;
  for (u64 i = 0; i < count; ++i) store_le32(out.data() + start + i * 4, words[i]);
  return true;
}

bool cairn_v2_decode_metadata_table(const u8* bytes, size_t size, u64 count, array_t<u32>& out) {
  out.clear();
  if (count > size / 4 || (u64)size != count * 4) return false;
  if (!out.resize(count)) return false;
  for (u64 i = 0; i < count; ++i) out[i] = load_le32(bytes + i * 4);
  return true;
}

void cairn_v2_entries_from_stored(cairn_v2_entry_t* entries, u64 count) {
  for (u64 i = 0; i < count; ++i) {
    u8 raw[CAIRN_V2_ENTRY_SIZE];
    std::memcpy(raw, &entries[i], sizeof(raw));
    cairn_v2_decode_entry(raw, sizeof(raw), &entries[i]);
  }
}

void cairn_v2_words_from_stored(u32* words, u64 count) {
  for (u64 i = 0; i < count; ++i) {
    u8 raw[4];
    std::memcpy(raw, &words[i], sizeof(raw));
    words[i] = load_le32(raw);
  }
}

// ---- index words ----

u32 cairn_record_word_count(u32 kind) {
  switch (kind) {
    case CAIRN_KIND_IMAGE: return 2;
    case CAIRN_KIND_SAMPLER: return 1;
    case CAIRN_KIND_UMA: return 8;
    case CAIRN_KIND_UMG: return 2;
    default:
      return cairn_kind_is_chunk(kind) ? CAIRN_CHUNK_RECORD_WORDS : 0;
  }
}

bool cairn_make_index_word(u32 kind, u64 position, u32* out) {
  if (kind > 0xFF || position > CAIRN_INDEX_POSITION_MASK) return false;
  *out = kind << 24 | (u32)position;
  return true;
}

bool cairn_rebase_index_word(u32 word, u64 base, u32* out) {
  u64 position = (u64)cairn_index_word_position(word) + base;
  if (base > CAIRN_INDEX_POSITION_MASK) return false;
  return cairn_make_index_word(cairn_index_word_kind(word), position, out);
}

// ---- chunk records ----

bool cairn_encode_chunk_record(const cairn_chunk_record_t& record, u32 out[CAIRN_CHUNK_RECORD_WORDS]) {
  if (record.stored_size > CAIRN_V2_MAX_CHUNK_SIZE || record.size > CAIRN_V2_MAX_CHUNK_SIZE ||
      record.aux > CAIRN_V2_MAX_CHUNK_SIZE || record.compression > 0xF || record.attribute > 0xF ||
      record.offset % CAIRN_V2_BLOCK_ALIGNMENT != 0 || record.offset / CAIRN_V2_BLOCK_ALIGNMENT > 0xFFFFFFFFull) {
    return false;
  }
  out[0] = (u32)record.compression << 28 | record.stored_size;
  out[1] = (u32)record.attribute << 28 | record.size;
  out[2] = record.aux;
  out[3] = (u32)(record.offset / CAIRN_V2_BLOCK_ALIGNMENT);
  return true;
}

void cairn_decode_chunk_record(const u32 words[CAIRN_CHUNK_RECORD_WORDS], cairn_chunk_record_t* out) {
  out->stored_size = words[0] & SIZE_FIELD_MASK;
  out->compression = (u8)(words[0] >> 28);
  out->size = words[1] & SIZE_FIELD_MASK;
  out->attribute = (u8)(words[1] >> 28);
  out->aux = words[2] & SIZE_FIELD_MASK;
  out->offset = (u64)words[3] * CAIRN_V2_BLOCK_ALIGNMENT;
}

bool cairn_relocate_chunk_record(u32 words[CAIRN_CHUNK_RECORD_WORDS], u64 block_offset) {
  if (block_offset % CAIRN_V2_BLOCK_ALIGNMENT != 0) return false;
  u64 offset16 = (u64)words[3] + block_offset / CAIRN_V2_BLOCK_ALIGNMENT;
  if (offset16 > 0xFFFFFFFFull) return false;
  words[2] &= SIZE_FIELD_MASK;
  words[3] = (u32)offset16;
  return true;
}

// ---- record lookup ----

const u32* cairn_v2_entry_index_words(const u32* metadata, u64 count, const cairn_v2_entry_t& entry) {
  if ((u64)entry.metadata_index + entry.index_count > count) return nullptr;
  return metadata + entry.metadata_index;
}

bool cairn_v2_record_in_table(u32 index_word, u64 count) {
  u64 position = cairn_index_word_position(index_word);
  u32 words = cairn_record_word_count(cairn_index_word_kind(index_word));
  return position + (words > 0 ? words : 1) <= count;
}

cairn_lookup_t cairn_v2_find_record(const u32* metadata, u64 count, const cairn_v2_entry_t& entry, u32 kind,
                                    u32* position) {
  if (entry.index_count == 0) return CAIRN_RECORD_ABSENT;
  const u32* index_words = cairn_v2_entry_index_words(metadata, count, entry);
  if (!index_words) return CAIRN_RECORD_MALFORMED;
  for (u32 i = 0; i < entry.index_count; ++i) {
    u32 word = index_words[i];
    if (cairn_index_word_kind(word) != kind) continue;
    if (!cairn_v2_record_in_table(word, count)) return CAIRN_RECORD_MALFORMED;
    *position = cairn_index_word_position(word);
    return CAIRN_RECORD_FOUND;
  }
  return CAIRN_RECORD_ABSENT;
}

cairn_lookup_t cairn_v2_find_chunk_record(const u32* metadata, u64 count, const cairn_v2_entry_t& entry,
                                          u32 kind, cairn_chunk_record_t* out) {
  if (!cairn_kind_is_chunk(kind)) return CAIRN_RECORD_ABSENT;
  u32 position = 0;
  cairn_lookup_t result = cairn_v2_find_record(metadata, count, entry, kind, &position);
  if (result == CAIRN_RECORD_FOUND) cairn_decode_chunk_record(metadata + position, out);
  return result;
}

// ---- directory listings ----

namespace {

// A stored name must be one path component: a zero byte would cut it when it becomes
// a C string and an inner '/' would make it a path of several components.
bool is_valid_stored_name(const char* bytes, u64 length) {
  if (length == 0 || length > CAIRN_V2_MAX_STORED_NAME) return false;
  u64 first = bytes[0] == '/' ? 1 : 0;
  if (first == length) return false;
  for (u64 i = first; i < length; ++i) {
    if (bytes[i] == '/' || bytes[i] == 0) return false;
  }
  return true;
}

}  // namespace

int cairn_compare_stored_names(const cairn_stored_name_t& a, const cairn_stored_name_t& b) {
  return compare_bytes(a.bytes, a.length, b.bytes, b.length);
}

void cairn_sort_stored_names(cairn_stored_name_t* names, u64 count) {
  std::sort(names, names + count, [](const cairn_stored_name_t& a, const cairn_stored_name_t& b) {
    return cairn_compare_stored_names(a, b) < 0;
  });
}

bool cairn_encode_listing(const cairn_stored_name_t* names, u64 count, array_t<u8>& out) {
  if (count > CAIRN_V2_MAX_LISTING_CHILDREN) return false;
  u64 names_size = 0;
  for (u64 i = 0; i < count; ++i) {
    if (!is_valid_stored_name(names[i].bytes, names[i].length)) return false;
    if (i > 0 && cairn_compare_stored_names(names[i - 1], names[i]) >= 0) return false;
    names_size += names[i].length;
  }
  u64 start = out.count();
  if (!out.resize(start + 4 + count + names_size)) return false;
  u8* p = out.data() + start;
  store_le32(p, (u32)count);
  p += 4;
  for (u64 i = 0; i < count; ++i) *p++ = (u8)names[i].length;
  for (u64 i = 0; i < count; ++i) {
    std::memcpy(p, names[i].bytes, names[i].length);
    p += names[i].length;
  }
  return true;
}

bool cairn_encode_listing(const array_t<path_string_t>& names, array_t<u8>& out) {
  if (names.count() > CAIRN_V2_MAX_LISTING_CHILDREN) return false;
  array_dyn_t<cairn_stored_name_t> views;
  if (!views.resize(names.count())) return false;
  for (u64 i = 0; i < names.count(); ++i) views[i] = {names[i].c_str(), names[i].length()};
  return cairn_encode_listing(views.data(), views.count(), out);
}

bool cairn_decode_listing(const u8* bytes, size_t size, array_t<cairn_listing_child_t>& out) {
  out.clear();
  if (!bytes || size < 4) return false;
  u64 count = load_le32(bytes);
  if (count > CAIRN_V2_MAX_LISTING_CHILDREN || count > size - 4) return false;
  const u8* lengths = bytes + 4;
  u64 name_offset = 4 + count;
  if (!out.resize(count)) return false;
  for (u64 i = 0; i < count; ++i) {
    u64 length = lengths[i];
    const char* name = reinterpret_cast<const char*>(bytes + name_offset);
    if (length > size - name_offset || !is_valid_stored_name(name, length)) {
      out.clear();
      return false;
    }
    bool is_directory = name[0] == '/';
    out[i] = {name + (is_directory ? 1 : 0), (u32)(length - (is_directory ? 1 : 0)), is_directory};
    name_offset += length;
  }
  return true;
}

// ---- version 1 ----

void cairn_v1_encode_header(const cairn_v1_header_t& header, u8 out[CAIRN_V1_HEADER_SIZE]) {
  std::memcpy(out, header.magic, 4);
  store_le16(out + 4, header.version);
  store_le16(out + 6, header.salt);
  std::memcpy(out + 8, header.hash_method, 4);
  store_le32(out + 12, header.entry_count);
  store_le64(out + 16, header.entry_table_offset);
  store_le64(out + 24, header.reserved);
}

bool cairn_v1_decode_header(const u8* bytes, size_t size, cairn_v1_header_t* out) {
  if (!bytes || size < CAIRN_V1_HEADER_SIZE) return false;
  std::memcpy(out->magic, bytes, 4);
  out->version = load_le16(bytes + 4);
  out->salt = load_le16(bytes + 6);
  std::memcpy(out->hash_method, bytes + 8, 4);
  out->entry_count = load_le32(bytes + 12);
  out->entry_table_offset = load_le64(bytes + 16);
  out->reserved = load_le64(bytes + 24);
  return true;
}

void cairn_v1_encode_entry(const cairn_entry_t& entry, u8 out[CAIRN_V1_ENTRY_SIZE]) {
  store_le64(out, entry.hash);
  store_le64(out + 8, entry.offset);
  store_le32(out + 16, entry.flags);
  store_le32(out + 20, entry.reserved);
  store_le32(out + 24, entry.size);
  store_le32(out + 28, entry.stored_size);
}

bool cairn_v1_decode_entry(const u8* bytes, size_t size, cairn_entry_t* out) {
  if (!bytes || size < CAIRN_V1_ENTRY_SIZE) return false;
  out->hash = load_le64(bytes);
  out->offset = load_le64(bytes + 8);
  out->flags = load_le32(bytes + 16);
  out->reserved = load_le32(bytes + 20);
  out->size = load_le32(bytes + 24);
  out->stored_size = load_le32(bytes + 28);
  return true;
}

bool cairn_v1_decode_entry_table(const u8* bytes, size_t size, u64 count, array_t<cairn_entry_t>& out) {
  return decode_records<cairn_entry_t>(bytes, size, count, CAIRN_V1_ENTRY_SIZE, out, cairn_v1_decode_entry);
}

void cairn_v1_entries_from_stored(cairn_entry_t* entries, u64 count) {
  for (u64 i = 0; i < count; ++i) {
    u8 raw[CAIRN_V1_ENTRY_SIZE];
    std::memcpy(raw, &entries[i], sizeof(raw));
    cairn_v1_decode_entry(raw, sizeof(raw), &entries[i]);
  }
}

}  // namespace umbra
