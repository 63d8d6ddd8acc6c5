#include "umbracore/ufs/fs_meta.h"

#include "umbracore/log/assert.h"
#include "umbracore/ufs/cairn_format.h"

namespace umbra {

namespace {

struct kind_token_t {
  u32 kind;
  token_t token;
};

constexpr kind_token_t KIND_TOKENS[] = {
    {CAIRN_KIND_IMAGE, FS_TOKEN_IMAGE},
    {CAIRN_KIND_SAMPLER, FS_TOKEN_SAMPLER},
    {CAIRN_KIND_RESERVED_3, FS_TOKEN_ARCHIVE_KIND_3},
    {CAIRN_KIND_UMA, FS_TOKEN_UMA},
    {CAIRN_KIND_UMG, FS_TOKEN_UMG},
    {CAIRN_KIND_PLAIN_CHUNK, FS_TOKEN_CHUNK_PLAIN},
    {CAIRN_KIND_CHUNK_130, FS_TOKEN_CHUNK_130},
    {CAIRN_KIND_CHUNK_131, FS_TOKEN_CHUNK_131},
    {CAIRN_KIND_MIP_TAIL_CHUNK, FS_TOKEN_CHUNK_MIP_TAIL},
};

// log2 of an alignment as stored: its trailing zero bits, 0 standing for 1.
u32 alignment_exponent(u32 alignment) { return alignment == 0 ? 0 : (u32)__builtin_ctz(alignment); }

}  // namespace

token_t fs_meta_token_for_archive_kind(u32 kind) {
  for (const kind_token_t& entry : KIND_TOKENS) {
    if (entry.kind == kind) return entry.token;
  }
  return FS_TOKEN_ARCHIVE_OTHER;
}

bool fs_meta_archive_kind_for_token(token_t token, u32* kind) {
  for (const kind_token_t& entry : KIND_TOKENS) {
    if (entry.token == token) {
      *kind = entry.kind;
      return true;
    }
  }
  return false;
}

// ---- the set ----

bool fs_meta_can_append(const fs_mstat_t* set, size_t count) {
  return set->records.count() < set->records.capacity() && count <= set->words.capacity() - set->words.count();
}

void fs_meta_append(fs_mstat_t* set, token_t token, size_t count, const u32* words) {
  UMBRA_ASSERT(fs_meta_can_append(set, count), "Meta data buffer too small!");
  UMBRA_ASSERT(words || count == 0, "Meta data record without words!");
  set->records.append(fs_meta_record_t{token, (u32)count});
  set->words.append_block(words, count);
}

size_t fs_meta_get(u32* out, size_t max, const token_t* token, const fs_mstat_t* set) {
  u64 start = 0;
  for (const fs_meta_record_t& record : set->records) {
    if (record.token != *token) {
      start += record.count;
      continue;
    }
    if (start + record.count > set->words.count()) return FS_META_NOT_FOUND;
    if (!out) return record.count;
    if (record.count > max) return FS_META_NOT_FOUND;
    for (u32 i = 0; i < record.count; ++i) out[i] = set->words[start + i];
    return record.count;
  }
  return FS_META_NOT_FOUND;
}

// ---- image record ----

bool fs_meta_pack_image(const fs_meta_image_t& image, u32 out[FS_META_IMAGE_WORDS]) {
  u32 pitch_exponent = alignment_exponent(image.pitch_alignment);
  u32 image_exponent = alignment_exponent(image.image_alignment);
  if (image.mip_count < 1 || image.mip_count > 16 || image.image_type > 3 || image.face_count < 1 ||
      image.face_count > 64 || pitch_exponent > 15 || image_exponent > 15 || image.width < 1 ||
      image.width > 65536 || image.height < 1 || image.height > 65536) {
    return false;
  }
  out[0] = (image.mip_count - 1) | (u32)image.format << 4 | image.image_type << 12 | (image.face_count - 1) << 14 |
           pitch_exponent << 20 | image_exponent << 24;
  out[1] = (image.width - 1) | (image.height - 1) << 16;
  return true;
}

void fs_meta_unpack_image(const u32 words[FS_META_IMAGE_WORDS], fs_meta_image_t* out) {
  out->mip_count = (words[0] & 0xF) + 1;
  out->format = (format_t)(u8)(words[0] >> 4);
  out->image_type = (words[0] >> 12) & 0x3;
  out->face_count = ((words[0] >> 14) & 0x3F) + 1;
  out->pitch_alignment = 1u << ((words[0] >> 20) & 0xF);
  out->image_alignment = 1u << ((words[0] >> 24) & 0xF);
  out->width = (words[1] & 0xFFFF) + 1;
  out->height = (words[1] >> 16) + 1;
}

bool fs_meta_append_image(fs_mstat_t* set, const fs_meta_image_t& image) {
  u32 words[FS_META_IMAGE_WORDS];
  if (!fs_meta_pack_image(image, words)) return false;
  fs_meta_append(set, FS_TOKEN_IMAGE, FS_META_IMAGE_WORDS, words);
  return true;
}

bool fs_meta_get_image(const fs_mstat_t* set, fs_meta_image_t* out) {
  u32 words[FS_META_IMAGE_WORDS];
  if (fs_meta_get(words, FS_META_IMAGE_WORDS, &FS_TOKEN_IMAGE, set) != FS_META_IMAGE_WORDS) return false;
  fs_meta_unpack_image(words, out);
  return true;
}

// ---- chunk records ----

bool fs_meta_pack_chunk(const fs_chunk_t& chunk, u32 out[FS_META_CHUNK_WORDS]) {
  if (chunk.compression > 0xF || chunk.attribute > 0xF || chunk.stored_size > 0xFFFFFFFFull ||
      chunk.aux_size > 0xFFFFFFFFull || chunk.size > 0xFFFFFFFFull) {
    return false;
  }
  out[0] = (u32)chunk.compression | (u32)chunk.attribute << 4 | (u32)chunk.payload_offset << 8;
  out[1] = (u32)chunk.stored_size;
  out[2] = (u32)chunk.aux_size;
  out[3] = (u32)chunk.size;
  out[4] = (u32)chunk.offset;
  out[5] = (u32)(chunk.offset >> 32);
  return true;
}

void fs_meta_unpack_chunk(const u32 words[FS_META_CHUNK_WORDS], fs_chunk_t* out) {
  out->compression = (u8)(words[0] & 0xF);
  out->attribute = (u8)((words[0] >> 4) & 0xF);
  out->payload_offset = (u8)(words[0] >> 8);
  out->stored_size = words[1];
  out->aux_size = words[2];
  out->size = words[3];
  out->offset = (u64)words[4] | (u64)words[5] << 32;
}

bool fs_meta_append_chunk(fs_mstat_t* set, token_t token, const fs_chunk_t& chunk) {
  u32 words[FS_META_CHUNK_WORDS];
  if (!fs_meta_pack_chunk(chunk, words)) return false;
  fs_meta_append(set, token, FS_META_CHUNK_WORDS, words);
  return true;
}

bool fs_meta_get_chunk(const fs_mstat_t* set, token_t token, fs_chunk_t* out) {
  u32 words[FS_META_CHUNK_WORDS];
  if (fs_meta_get(words, FS_META_CHUNK_WORDS, &token, set) != FS_META_CHUNK_WORDS) return false;
  fs_meta_unpack_chunk(words, out);
  return true;
}

void fs_chunk_from_archive_words(const u32 archive_words[4], fs_chunk_t* out) {
  cairn_chunk_record_t record;
  cairn_decode_chunk_record(archive_words, &record);
  out->stored_size = record.stored_size;
  out->aux_size = record.aux;
  out->size = record.size;
  out->offset = record.offset;
  out->payload_offset = 0;
  out->compression = record.compression;
  out->attribute = record.attribute;
}

void fs_chunk_widen(const u32 archive_words[4], u32 out[FS_META_CHUNK_WORDS]) {
  fs_chunk_t chunk;
  fs_chunk_from_archive_words(archive_words, &chunk);
  // Every field of a four-word record fits the six-word one.
  fs_meta_pack_chunk(chunk, out);
}

bool fs_chunk_narrow(const u32 words[FS_META_CHUNK_WORDS], u32 archive_out[4]) {
  // The archive has no room for a payload offset or for the unused bits of word 0.
  if ((words[0] & 0xFFFFFF00u) != 0) return false;
  fs_chunk_t chunk;
  fs_meta_unpack_chunk(words, &chunk);
  cairn_chunk_record_t record;
  record.stored_size = (u32)chunk.stored_size;
  record.size = (u32)chunk.size;
  record.aux = (u32)chunk.aux_size;
  record.offset = chunk.offset;
  record.compression = chunk.compression;
  record.attribute = chunk.attribute;
  return cairn_encode_chunk_record(record, archive_out);
}

}  // namespace umbra
