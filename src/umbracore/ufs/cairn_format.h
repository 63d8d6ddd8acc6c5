// The one definition of the Cairn archive format: header, entry records, metadata
// index words, chunk records and directory listing blocks, with their encoders and
// decoders. Everything on disk is little-endian and is read and written byte by byte
// here, so no caller depends on the host's struct layout.
//
// Decoders take the bytes they may look at and never read past them: anything that
// would need a byte outside is reported as malformed (false / CAIRN_RECORD_MALFORMED).
#pragma once

#include <cstddef>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_compression.h"

namespace umbra {

// ---------------------------------------------------------------------------------
// Both versions: the first 12 bytes tell which reader applies.

constexpr u32 CAIRN_PROBE_SIZE = 12;

struct cairn_probe_t {
  char magic[4];
  u16 version;
  u16 salt;
  char hash_method[4];
};

bool cairn_decode_probe(const u8* bytes, size_t size, cairn_probe_t* out);
// "QAR#": every Cairn archive, whatever its version.
bool cairn_has_magic(const char magic[4]);

// ---------------------------------------------------------------------------------
// Version 2 layout and limits.

constexpr u16 CAIRN_V2_VERSION = 2;
constexpr u32 CAIRN_V2_HEADER_SIZE = 53;
constexpr u64 CAIRN_V2_DATA_OFFSET = 4096;    // first data block; 53..4095 stay zero
constexpr u64 CAIRN_V2_BLOCK_ALIGNMENT = 16;  // data blocks and both tables
constexpr u32 CAIRN_V2_ENTRY_SIZE = 16;
constexpr u32 CAIRN_V2_SECURITY_DESCRIPTOR_SIZE = 596;
constexpr u64 CAIRN_V2_MAX_METADATA_WORDS = 1ull << 24;  // index words address 24 bits
constexpr u32 CAIRN_V2_MAX_INDEX_WORDS = 0xFFFF;         // index_count is a u16
constexpr u32 CAIRN_V2_MAX_CHUNK_SIZE = (1u << 28) - 1;  // 28-bit size fields
constexpr u32 CAIRN_V2_MAX_LISTING_CHILDREN = 0x40000;
constexpr u32 CAIRN_V2_MAX_STORED_NAME = 255;  // one length byte
constexpr u16 CAIRN_V2_ENTRY_FLAG_DIRECTORY = 1;

// Packed so that sizeof matches the stored header; the bytes are still only ever
// produced and consumed by cairn_v2_encode_header / cairn_v2_decode_header.
#pragma pack(push, 1)
struct cairn_v2_header_t {
  char magic[4];
  u16 version;
  u16 salt;
  char hash_method[4];
  u32 entry_count;
  u32 entry_table_size;     // stored bytes; entry_count * 16 means raw
  u32 metadata_count;       // u32 words
  u32 metadata_table_size;  // stored bytes; metadata_count * 4 means raw
  u64 entry_table_offset;
  u64 metadata_table_offset;
  u64 security_descriptor_offset;  // 0: none
  u8 platform;
};
#pragma pack(pop)
static_assert(sizeof(cairn_v2_header_t) == CAIRN_V2_HEADER_SIZE, "stored header size");

// What a writer starts from: "QAR#", version 2, salt 0, "CITY", the platform, all
// counts, sizes and offsets 0.
void cairn_v2_header_init(cairn_v2_header_t* header, u8 platform);
void cairn_v2_encode_header(const cairn_v2_header_t& header, u8 out[CAIRN_V2_HEADER_SIZE]);
// Fields only: the caller judges magic and version (it owns the messages for them).
bool cairn_v2_decode_header(const u8* bytes, size_t size, cairn_v2_header_t* out);

// "pc", "xbone", "xs", "ps4", "ps5"; "unknown" for any other value.
const char* cairn_platform_name(u8 platform);

struct cairn_v2_entry_t {
  u64 hash;
  u32 metadata_index;  // first index word in the metadata table
  u16 index_count;
  u16 flags;  // CAIRN_V2_ENTRY_FLAG_DIRECTORY
};
static_assert(sizeof(cairn_v2_entry_t) == CAIRN_V2_ENTRY_SIZE, "stored entry size");

inline bool cairn_v2_entry_is_directory(const cairn_v2_entry_t& entry) {
  return (entry.flags & CAIRN_V2_ENTRY_FLAG_DIRECTORY) != 0;
}

void cairn_v2_encode_entry(const cairn_v2_entry_t& entry, u8 out[CAIRN_V2_ENTRY_SIZE]);
bool cairn_v2_decode_entry(const u8* bytes, size_t size, cairn_v2_entry_t* out);

// Raw (uncompressed) table forms. Decoding wants exactly count records' worth of bytes.
bool cairn_v2_encode_entry_table(const cairn_v2_entry_t* entries, u64 count, array_t<u8>& out);
bool cairn_v2_decode_entry_table(const u8* bytes, size_t size, u64 count, array_t<cairn_v2_entry_t>& out);
bool cairn_v2_encode_metadata_table(const u32* words, u64 count, array_t<u8>& out);
bool cairn_v2_decode_metadata_table(const u8* bytes, size_t size, u64 count, array_t<u32>& out);
// For a reader that loads stored bytes straight into the arrays: turns the loaded
// little-endian records into host values (nothing to do on a little-endian host).
void cairn_v2_entries_from_stored(cairn_v2_entry_t* entries, u64 count);
void cairn_v2_words_from_stored(u32* words, u64 count);

// A table is stored raw exactly when its stored size equals its raw size; any other
// stored size means one zlib stream of the raw form.
constexpr u64 cairn_v2_entry_table_raw_size(u64 entry_count) { return entry_count * CAIRN_V2_ENTRY_SIZE; }
constexpr u64 cairn_v2_metadata_table_raw_size(u64 word_count) { return word_count * 4; }
constexpr bool cairn_table_is_raw(u64 stored_size, u64 raw_size) { return stored_size == raw_size; }

// ---------------------------------------------------------------------------------
// Metadata index words and record kinds.

enum cairn_record_kind_t : u32 {
  CAIRN_KIND_IMAGE = 1,
  CAIRN_KIND_SAMPLER = 2,
  CAIRN_KIND_RESERVED_3 = 3,  // known to readers, never written, never reported
  CAIRN_KIND_UMA = 5,
  CAIRN_KIND_UMG = 6,
  CAIRN_KIND_PLAIN_CHUNK = 128,
  CAIRN_KIND_LISTING_CHUNK = 129,
  CAIRN_KIND_CHUNK_130 = 130,
  CAIRN_KIND_CHUNK_131 = 131,
  CAIRN_KIND_MIP_TAIL_CHUNK = 132,
};

constexpr u32 CAIRN_FIRST_CHUNK_KIND = 128;
constexpr u32 CAIRN_CHUNK_RECORD_WORDS = 4;
constexpr u32 CAIRN_INDEX_POSITION_MASK = 0xFFFFFF;

constexpr bool cairn_kind_is_chunk(u32 kind) { return kind >= CAIRN_FIRST_CHUNK_KIND; }
constexpr u32 cairn_index_word_kind(u32 word) { return word >> 24; }
constexpr u32 cairn_index_word_position(u32 word) { return word & CAIRN_INDEX_POSITION_MASK; }
// Words a record of the kind occupies; 0 for kinds whose length is not known.
u32 cairn_record_word_count(u32 kind);
// kind << 24 | position; false when the kind exceeds 8 bits or the position 24 bits.
bool cairn_make_index_word(u32 kind, u64 position, u32* out);
// Re-numbers an index word from block-relative to table position by adding base.
bool cairn_rebase_index_word(u32 word, u64 base, u32* out);

// ---------------------------------------------------------------------------------
// Chunk records (kinds 128 and above): four words locating a block in the data area.

struct cairn_chunk_record_t {
  u32 stored_size;  // < 2^28
  u32 size;         // < 2^28, content size once decompressed
  u32 aux;          // < 2^28
  u64 offset;       // byte offset, a multiple of 16 below 2^36
  u8 compression;   // fs_compression_t, 4 bits
  u8 attribute;     // 4 bits
};

// False, with out untouched, when a field does not fit its bits or the offset is not
// a multiple of 16.
bool cairn_encode_chunk_record(const cairn_chunk_record_t& record, u32 out[CAIRN_CHUNK_RECORD_WORDS]);
void cairn_decode_chunk_record(const u32 words[CAIRN_CHUNK_RECORD_WORDS], cairn_chunk_record_t* out);
// Placing an entry's block at block_offset: offset16 grows by block_offset / 16 and the
// top bits of word 2 are cleared. False, words untouched, when block_offset is not a
// multiple of 16 or the offset would leave 32 bits.
bool cairn_relocate_chunk_record(u32 words[CAIRN_CHUNK_RECORD_WORDS], u64 block_offset);

// ---------------------------------------------------------------------------------
// Finding an entry's records in a loaded metadata table (count words).

enum cairn_lookup_t : u32 {
  CAIRN_RECORD_FOUND = 0,
  CAIRN_RECORD_ABSENT = 1,
  CAIRN_RECORD_MALFORMED = 2,  // index words or the record run past the table
};

// The entry's index words, or null when they run past the table (a null result for
// an entry with index_count 0 is not malformed: check index_count first).
const u32* cairn_v2_entry_index_words(const u32* metadata, u64 count, const cairn_v2_entry_t& entry);
// Whether the record an index word points to lies inside the table: all its words
// for a kind of known length, its first word otherwise.
bool cairn_v2_record_in_table(u32 index_word, u64 count);
// The first index word of the kind gives the record's position.
cairn_lookup_t cairn_v2_find_record(const u32* metadata, u64 count, const cairn_v2_entry_t& entry, u32 kind,
                                    u32* position);
// Finds and decodes the entry's chunk record of the kind (128..255).
cairn_lookup_t cairn_v2_find_chunk_record(const u32* metadata, u64 count, const cairn_v2_entry_t& entry,
                                          u32 kind, cairn_chunk_record_t* out);

// ---------------------------------------------------------------------------------
// Directory listing blocks: u32 count, count length bytes, the stored names.
// A stored name is a child's last path component, with one '/' in front for a
// directory; names are in byte-wise order (unsigned, a prefix first).

struct cairn_stored_name_t {
  const char* bytes;
  u32 length;
};

struct cairn_listing_child_t {
  const char* name;  // without the directory '/'; points into the decoded block
  u32 length;
  bool is_directory;
};

int cairn_compare_stored_names(const cairn_stored_name_t& a, const cairn_stored_name_t& b);
void cairn_sort_stored_names(cairn_stored_name_t* names, u64 count);
// Appends the block to out. False, out unchanged, when the names do not make a valid
// listing: more than 262,144, a name empty, longer than 255 bytes, holding a zero
// byte or a '/' after its first byte, a lone "/", or names not strictly ascending.
bool cairn_encode_listing(const cairn_stored_name_t* names, u64 count, array_t<u8>& out);
bool cairn_encode_listing(const array_t<path_string_t>& names, array_t<u8>& out);
// Replaces out with the children in listing order. False, out empty, when the block
// is malformed by the rules above or its count or lengths run past its bytes.
// Bytes after the last name are ignored.
bool cairn_decode_listing(const u8* bytes, size_t size, array_t<cairn_listing_child_t>& out);

// ---------------------------------------------------------------------------------
// Version 1 (read only by this tool; the encoders serve tests and tools).

constexpr u16 CAIRN_V1_VERSION = 1;
constexpr u32 CAIRN_V1_HEADER_SIZE = 32;
constexpr u32 CAIRN_V1_ENTRY_SIZE = 32;
constexpr u32 CAIRN_V1_MAX_ENTRIES = 250000;
constexpr u32 CAIRN_V1_FLAG_DIRECTORY = 1;
constexpr u32 CAIRN_V1_FLAG_COMPRESSED = 2;  // data is one zlib stream

struct cairn_v1_header_t {
  char magic[4];
  u16 version;
  u16 salt;
  char hash_method[4];
  u32 entry_count;
  u64 entry_table_offset;
  u64 reserved;  // not interpreted
};
static_assert(sizeof(cairn_v1_header_t) == CAIRN_V1_HEADER_SIZE, "stored v1 header size");

struct cairn_entry_t {
  u64 hash;
  u64 offset;
  u32 flags;
  u32 reserved;  // not interpreted
  u32 size;
  u32 stored_size;
};
static_assert(sizeof(cairn_entry_t) == CAIRN_V1_ENTRY_SIZE, "stored v1 entry size");

void cairn_v1_encode_header(const cairn_v1_header_t& header, u8 out[CAIRN_V1_HEADER_SIZE]);
bool cairn_v1_decode_header(const u8* bytes, size_t size, cairn_v1_header_t* out);
void cairn_v1_encode_entry(const cairn_entry_t& entry, u8 out[CAIRN_V1_ENTRY_SIZE]);
bool cairn_v1_decode_entry(const u8* bytes, size_t size, cairn_entry_t* out);
bool cairn_v1_decode_entry_table(const u8* bytes, size_t size, u64 count, array_t<cairn_entry_t>& out);
void cairn_v1_entries_from_stored(cairn_entry_t* entries, u64 count);

}  // namespace umbra
