#include "umbracore/ufs/cairn_v2_device.h"

#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/ufs/cairn_device_io.h"
#include "umbracore/ufs/cairn_path_hash.h"
#include "umbracore/ufs/cairn_table_inflate.h"
#include "umbracore/ufs/cairn_v2_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace umbra {

namespace {

constexpr const char* ALLOCATE_TABLE_MESSAGE = "Failed to allocate entry table!";

}  // namespace

cairn_v2_device_t::cairn_v2_device_t(auto_ptr_t<file_t>& archive, const char* archive_path)
    : cairn_device_t(archive, archive_path) {
  if (!mount()) available = false;
  open_io_handle();
}

cairn_v2_device_t::~cairn_v2_device_t() = default;

// ---------------------------------------------------------------------------------
// Mount

bool cairn_v2_device_t::mount() {
  if (!stat_archive()) return false;
  if (!read_header() || !read_security_block()) return false;
  if (!read_table(entries_, header_.entry_count, CAIRN_V2_ENTRY_SIZE, header_.entry_table_size,
                  header_.entry_table_offset, "cairn-entry-table", "Failed to read entry table!",
                  "Failed to decompress entry table!"))
    return false;
  cairn_v2_entries_from_stored(entries_.data(), entries_.count());
  if (!read_table(metadata_, header_.metadata_count, 4, header_.metadata_table_size, header_.metadata_table_offset,
                  "cairn-metadata-table", "Failed to read metadata table!", "Failed to decompress metadata table!"))
    return false;
  cairn_v2_words_from_stored(metadata_.data(), metadata_.count());
  log_.info("Created, %zu entries", (size_t)header_.entry_count);
  entry_count = header_.entry_count;
  return true;
}

bool cairn_v2_device_t::read_header() {
  u8 bytes[CAIRN_V2_HEADER_SIZE];
  if (!cairn_read_archive(*archive_, archive_size_, bytes, sizeof(bytes), 0) ||
      !cairn_v2_decode_header(bytes, sizeof(bytes), &header_)) {
    log_.error("Failed to read header!");
    return false;
  }
  if (header_.version != CAIRN_V2_VERSION) {
    log_.error("Unsupported Cairn version (v%u)", (unsigned)header_.version);
    return false;
  }
  if (header_.platform != 0)
    log_warning("Opening platform incompatible Cairn archive (%s)", cairn_platform_name(header_.platform));
  return true;
}

bool cairn_v2_device_t::read_security_block() {
  std::memset(security_block_, 0, sizeof(security_block_));
  if (header_.security_descriptor_offset == 0) return true;
  if (!cairn_read_archive(*archive_, archive_size_, security_block_, sizeof(security_block_),
                          header_.security_descriptor_offset)) {
    log_.error("Failed to read security descriptor");
    return false;
  }
  return true;
}

template <class record_t>
bool cairn_v2_device_t::read_table(array_dyn_t<record_t>& table, u64 count, u64 record_size, u64 stored_size,
                                   u64 offset, const char* memory_name, const char* read_message,
                                   const char* inflate_message) {
  const u64 raw_size = count * record_size;
  const bool raw = cairn_table_is_raw(stored_size, raw_size);
  // The header's counts are only claims: before anything is allocated the stored bytes
  // must be in the archive, and a compressed table must be one they can inflate to.
  if (!cairn_range_in_archive(offset, stored_size, archive_size_) ||
      (!raw && raw_size > cairn_max_decoded_size(FS_COMPRESSION_ZLIB, stored_size))) {
    log_.error("%s", raw ? read_message : inflate_message);
    return false;
  }
  if (!table.resize(count)) {
    log_.error("%s", ALLOCATE_TABLE_MESSAGE);
    return false;
  }
  if (raw) {
    if (!archive_->read_at(table.data(), raw_size, offset)) {
      log_.error("%s", read_message);
      return false;
    }
    return true;
  }
  u8 no_storage = 0;
  void* storage = raw_size ? static_cast<void*>(table.data()) : static_cast<void*>(&no_storage);
  auto_ptr_t<file_t> memory = mem_file_create_over(storage, raw_size, memory_name);
  archive_->set_position(offset);
  if (!memory || !cairn_table_inflate(*memory, *archive_, stored_size)) {
    log_.error("%s", inflate_message);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------
// Lookups

const cairn_v2_entry_t* cairn_v2_device_t::find_entry(const char* path) const {
  u64 hash = 0;
  if (!path || !cairn_hash_device_path(path, header_.salt, &hash)) return nullptr;
  return cairn_search_hash(entries_, hash);
}

const u32* cairn_v2_device_t::find_metadata(const cairn_v2_entry_t& entry, u32 kind, const char* path,
                                            bool* malformed) const {
  *malformed = false;
  u32 position = 0;
  switch (cairn_v2_find_record(metadata_.data(), metadata_.count(), entry, kind, &position)) {
    case CAIRN_RECORD_FOUND:
      return metadata_.data() + position;
    case CAIRN_RECORD_MALFORMED:
      *malformed = true;
      log_.error("Metadata of '%s' lies outside the metadata table!", path);
      return nullptr;
    default:
      return nullptr;
  }
}

bool cairn_v2_device_t::check_chunk(const fs_chunk_t& chunk, const char* path) const {
  path_string_t problem;
  if (cairn_check_chunk(chunk, archive_size_, problem)) return true;
  log_.error("Chunk of '%s' cannot be read: %s", path, problem.c_str());
  return false;
}

// ---------------------------------------------------------------------------------
// Device operations

cairn_v2_file_t* cairn_v2_device_t::open_chunk(const cairn_v2_entry_t& entry, const char* path, u32 kind) {
  if (kind != CAIRN_KIND_PLAIN_CHUNK && kind != CAIRN_KIND_LISTING_CHUNK) return nullptr;
  bool malformed = false;
  const u32* words = find_metadata(entry, kind, path, &malformed);
  if (!words) return nullptr;
  fs_chunk_t chunk{};
  fs_chunk_from_archive_words(words, &chunk);
  if (!check_chunk(chunk, path)) return nullptr;
  // GDeflate tile streams are decoded whole by the IO server, never through a file.
  if (chunk.compression == FS_COMPRESSION_GDEFLATE) return nullptr;
  cairn_file_source_t source{this, archive_.get(), archive_time_, entry_index(entry),
                             cairn_v2_entry_is_directory(entry) ? (u32)FS_KIND_DIRECTORY : (u32)FS_KIND_FILE};
  return cairn_v2_file_t::create(path, source, chunk, entry);
}

file_t* cairn_v2_device_t::open(const char* path, u32 mode) {
  if (mode != FS_MODE_READ_ONLY || !available) return nullptr;
  const cairn_v2_entry_t* entry = find_entry(path);
  if (!entry) return nullptr;
  return open_chunk(*entry, path, CAIRN_KIND_PLAIN_CHUNK);
}

bool cairn_v2_device_t::stat(const char* path, fs_stat_t* out) {
  const cairn_v2_entry_t* entry = find_entry(path);
  if (!entry) return false;
  if (!out) return true;
  const bool directory = cairn_v2_entry_is_directory(*entry);
  bool malformed = false;
  const u32* words =
      find_metadata(*entry, directory ? CAIRN_KIND_LISTING_CHUNK : CAIRN_KIND_PLAIN_CHUNK, path, &malformed);
  if (malformed) return false;
  fs_chunk_t chunk{};
  if (words) fs_chunk_from_archive_words(words, &chunk);  // image entries have none: sizes 0
  out->kind = directory ? FS_KIND_DIRECTORY : FS_KIND_FILE;
  out->time = archive_time_;
  out->size = chunk.size;
  out->stored_size = chunk.stored_size;
  out->device_reference = (u64)(uintptr_t)this;
  out->entry_index = entry_index(*entry);
  return true;
}

bool cairn_v2_device_t::mstat(const char* path, fs_mstat_t* out) {
  const cairn_v2_entry_t* entry = find_entry(path);
  if (!entry || !out) return false;
  if (entry->index_count == 0) return true;
  const u32* index_words = cairn_v2_entry_index_words(metadata_.data(), metadata_.count(), *entry);
  if (!index_words) {
    log_.error("Metadata of '%s' lies outside the metadata table!", path);
    return false;
  }
  for (u32 i = 0; i < entry->index_count; ++i) {
    const u32 word = index_words[i];
    const u32 kind = cairn_index_word_kind(word);
    u32 widened[FS_META_CHUNK_WORDS];
    const u32* words = nullptr;
    u32 count = 0;
    switch (kind) {
      case CAIRN_KIND_IMAGE:
      case CAIRN_KIND_SAMPLER:
      case CAIRN_KIND_UMA:
      case CAIRN_KIND_UMG:
      case CAIRN_KIND_PLAIN_CHUNK:
      case CAIRN_KIND_CHUNK_130:
      case CAIRN_KIND_CHUNK_131:
      case CAIRN_KIND_MIP_TAIL_CHUNK:
        break;
      default:
        continue;  // kind 3, listings and unknown kinds are not reported
    }
    if (!cairn_v2_record_in_table(word, metadata_.count())) {
      log_.error("Metadata of '%s' lies outside the metadata table!", path);
      return false;
    }
    words = metadata_.data() + cairn_index_word_position(word);
    count = cairn_record_word_count(kind);
    if (cairn_kind_is_chunk(kind)) {
      fs_chunk_widen(words, widened);
      words = widened;
      count = FS_META_CHUNK_WORDS;
    }
    if (!fs_meta_can_append(out, count)) {
      log_.error("Metadata of '%s' holds more records than a metadata set!", path);
      return false;
    }
    fs_meta_append(out, fs_meta_token_for_archive_kind(kind), count, words);
  }
  return true;
}

auto_ptr_t<fs_dir_list_t> cairn_v2_device_t::read_dir(const char* path) {
  auto_ptr_t<fs_dir_list_t> none;
  const cairn_v2_entry_t* entry = find_entry(path);
  if (!entry) return none;
  if (!cairn_v2_entry_is_directory(*entry)) {
    log_.error("read_dir: called on file entry (%s)", path);
    return none;
  }
  auto_ptr_t<cairn_v2_file_t> file(open_chunk(*entry, path, CAIRN_KIND_LISTING_CHUNK));
  if (!file) {
    log_.error("read_dir: failed to open dirlist entry (%s)", path);
    return none;
  }
  const u64 size = file->chunk().size;
  array_dyn_t<u8> bytes;
  if (!bytes.resize_uninitialized(size) || !file->read_at(bytes.data(), size, 0)) return none;
  file.reset();

  array_dyn_t<cairn_listing_child_t> children;
  if (!cairn_decode_listing(bytes.data(), size, children)) {
    // Counts or lengths past the listing's bytes, empty names, names that are not one
    // path component: nothing of it can be trusted.
    log_.error("read_dir: malformed directory listing (%s)", path);
    return none;
  }
  auto_ptr_t<fs_dir_list_t> list(new fs_dir_list_t());
  path_string_t child_name;
  for (const cairn_listing_child_t& child : children) {
    child_name.assign(child.name, child.length);
    if (!list->add(child_name.c_str(), child.is_directory ? FS_KIND_DIRECTORY : FS_KIND_FILE)) return none;
  }
  return list;
}

fs_io_request_t* cairn_v2_device_t::chunk_read(void* target, u32 target_kind, const char* path,
                                               const fs_chunk_t& chunk, fs_io_callback_t callback) {
  if (!find_entry(path)) return nullptr;
  // The chunk is the caller's: it must still describe bytes of this archive that the
  // IO server can decode, or the read would go past the archive or the target.
  if (!check_chunk(chunk, path)) return nullptr;
  if (io_handle_ == CAIRN_IO_HANDLE_NONE) {
    log_.error("Chunk of '%s' cannot be read: the archive is not open for the IO server", path);
    return nullptr;
  }
  return cairn_io_chunk_read(this, io_handle_, target, target_kind, path, chunk, callback);
}

bool cairn_v2_device_t::io_wait(fs_io_request_t* request) { return cairn_io_wait(request); }

bool cairn_v2_device_t::get_security_descriptor(array_t<u8>& out) {
  if (header_.security_descriptor_offset == 0) return false;
  return out.append_block(security_block_, 32);
}

}  // namespace umbra
