// File metadata: a small set of typed records (a token and a run of u32 words) that
// tells what a file is (image, model header) and where and how its bytes are stored.
// Devices fill a set per query; the packer reads it and stores its words in archives.
#pragma once

#include <cstddef>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/umbrautils/format/format_tools.h"

namespace umbra {

class file_t;

// A 64-bit identifier compared by value.
struct token_t {
  u64 value;
  constexpr bool operator==(const token_t& other) const { return value == other.value; }
  constexpr bool operator!=(const token_t& other) const { return value != other.value; }
};

// Record kinds. The values are part of the engine's interface, never renumber them.
constexpr token_t FS_TOKEN_IMAGE{25441ull};                   // 2 words, archive kind 1
constexpr token_t FS_TOKEN_SAMPLER{1235860843ull};            // 1 word, archive kind 2
constexpr token_t FS_TOKEN_UMA{76592274904ull};               // 8 words, archive kind 5
constexpr token_t FS_TOKEN_UMG{76592283568ull};               // 2 words, archive kind 6
constexpr token_t FS_TOKEN_CHUNK_PLAIN{51102578ull};          // 6 words, archive kind 128
constexpr token_t FS_TOKEN_CHUNK_130{93161ull};               // 6 words, archive kind 130
constexpr token_t FS_TOKEN_CHUNK_131{148033ull};              // 6 words, archive kind 131
constexpr token_t FS_TOKEN_CHUNK_MIP_TAIL{67770689585ull};    // 6 words, archive kind 132
constexpr token_t FS_TOKEN_ARCHIVE_KIND_3{4108957955745ull};  // named, never turned into a record
constexpr token_t FS_TOKEN_ARCHIVE_OTHER{74930710355ull};     // any other archive kind

constexpr u32 FS_META_IMAGE_WORDS = 2;
constexpr u32 FS_META_SAMPLER_WORDS = 1;
constexpr u32 FS_META_UMA_WORDS = 8;
constexpr u32 FS_META_UMG_WORDS = 2;
constexpr u32 FS_META_CHUNK_WORDS = 6;

// Archive metadata kind <-> token. Unknown kinds give FS_TOKEN_ARCHIVE_OTHER; tokens
// without an archive kind give false.
token_t fs_meta_token_for_archive_kind(u32 kind);
bool fs_meta_archive_kind_for_token(token_t token, u32* kind);

struct fs_meta_record_t {
  token_t token;
  u32 count;  // words of the record
};

// Fixed capacities: the largest set the system builds (a DDS file) has 3 records over
// 14 words.
constexpr u32 FS_MSTAT_MAX_RECORDS = 8;
constexpr u32 FS_MSTAT_MAX_WORDS = 16;

// One file's records in append order; a record's words start at the sum of the word
// counts of the records before it. Lookups find the first record of a token.
struct fs_mstat_t {
  array_local_t<fs_meta_record_t, FS_MSTAT_MAX_RECORDS> records;
  array_local_t<u32, FS_MSTAT_MAX_WORDS> words;
};

// Appends one record. Overflowing either capacity is a programming error: assertion
// "Meta data buffer too small!".
void fs_meta_append(fs_mstat_t* set, token_t token, size_t count, const u32* words);
// Whether a record of count words would still fit (for callers that copy records
// from untrusted data and must stop before the assertion).
bool fs_meta_can_append(const fs_mstat_t* set, size_t count);

constexpr size_t FS_META_NOT_FOUND = ~(size_t)0;
// Copies the first record of the token into out and returns its word count. With out
// null only the count is returned. FS_META_NOT_FOUND when the token is absent, its
// count exceeds max (out not null) or its words do not lie inside the set's words.
// Callers ask for the exact count of the kind and treat anything else as failure.
size_t fs_meta_get(u32* out, size_t max, const token_t* token, const fs_mstat_t* set);

// ---- image record ----

struct fs_meta_image_t {
  format_t format;
  u32 image_type;        // 0 single image, 1 cube
  u32 width;             // 1..65536
  u32 height;            // 1..65536
  u32 face_count;        // 1..64
  u32 mip_count;         // 1..16
  u32 pitch_alignment;   // bytes; stored as log2 (trailing zero bits), 0 counts as 1
  u32 image_alignment;
};

// False when a value does not fit its field (nothing is written or appended).
bool fs_meta_pack_image(const fs_meta_image_t& image, u32 out[FS_META_IMAGE_WORDS]);
void fs_meta_unpack_image(const u32 words[FS_META_IMAGE_WORDS], fs_meta_image_t* out);
bool fs_meta_append_image(fs_mstat_t* set, const fs_meta_image_t& image);
bool fs_meta_get_image(const fs_mstat_t* set, fs_meta_image_t* out);

// ---- chunk records ----

struct fs_chunk_t {
  u64 stored_size;     // compressed size when compression is not 0
  u64 aux_size;
  u64 size;            // uncompressed size
  u64 offset;          // of the stored bytes in their container
  u8 payload_offset;   // where the described payload starts inside the uncompressed bytes
  u8 compression;      // fs_compression_t
  u8 attribute;        // 0 plain, 1 DDS pixels, 3 raster / image entry data
};

// False when a value does not fit its field: compression or attribute above 15, a
// size above 32 bits.
bool fs_meta_pack_chunk(const fs_chunk_t& chunk, u32 out[FS_META_CHUNK_WORDS]);
void fs_meta_unpack_chunk(const u32 words[FS_META_CHUNK_WORDS], fs_chunk_t* out);
bool fs_meta_append_chunk(fs_mstat_t* set, token_t token, const fs_chunk_t& chunk);
bool fs_meta_get_chunk(const fs_mstat_t* set, token_t token, fs_chunk_t* out);

// An archive stores chunk records in four words (sizes in 28 bits, the offset in units
// of 16 bytes, no payload offset); readers widen them, writers narrow them. Narrowing
// fails when something would be lost.
void fs_chunk_widen(const u32 archive_words[4], u32 out[FS_META_CHUNK_WORDS]);
bool fs_chunk_narrow(const u32 words[FS_META_CHUNK_WORDS], u32 archive_out[4]);
// The chunk a four-word archive record describes (payload offset 0).
void fs_chunk_from_archive_words(const u32 archive_words[4], fs_chunk_t* out);

// ---- per-file builder ----

// Fills the set from the open file's own bytes: the type-specific records chosen by the
// file's name (".tobj", ".dds", raster images, ".uma", ".umg"), then the plain data
// chunk record. base_offset is where the file's bytes begin in their container, and
// compression the container's compression of them (0 and 0 for a loose file).
bool fs_meta_build(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression);

}  // namespace umbra
