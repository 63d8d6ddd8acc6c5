#include "umbracore/ufs/cairn_v1_device.h"

#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/ufs/cairn_device_io.h"
#include "umbracore/ufs/cairn_path_hash.h"
#include "umbracore/ufs/cairn_v1_file.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

namespace {

constexpr u32 V1_MAX_LINE = 255;

bool is_line_break(char c) { return c == '\r' || c == '\n'; }

}  // namespace

bool cairn_v1_parse_listing(const char* text, u64 size, fs_dir_list_t& out) {
  if (std::memchr(text, 0, size)) return false;
  path_string_t name;
  u64 i = 0;
  while (i < size) {
    while (i < size && is_line_break(text[i])) ++i;
    u64 start = i;
    while (i < size && !is_line_break(text[i])) ++i;
    if (i == start) break;
    u64 length = i - start;
    if (length > V1_MAX_LINE) length = V1_MAX_LINE;
    const bool directory = text[start] == '*';
    const u64 skip = directory ? 1 : 0;
    name.assign(text + start + skip, length - skip);
    if (!out.add(name.c_str(), directory ? FS_KIND_DIRECTORY : FS_KIND_FILE)) return false;
  }
  return true;
}

cairn_v1_device_t::cairn_v1_device_t(auto_ptr_t<file_t>& archive, const char* archive_path)
    : cairn_device_t(archive, archive_path) {
  if (!mount()) available = false;
  open_io_handle();
}

cairn_v1_device_t::~cairn_v1_device_t() = default;

bool cairn_v1_device_t::mount() {
  if (!stat_archive()) return false;
  u8 bytes[CAIRN_V1_HEADER_SIZE];
  if (!cairn_read_archive(*archive_, archive_size_, bytes, sizeof(bytes), 0) ||
      !cairn_v1_decode_header(bytes, sizeof(bytes), &header_)) {
    log_.error("Failed to read header!");
    return false;
  }
  if (header_.version != CAIRN_V1_VERSION) {
    log_.error("Unsupported Cairn version (v%u)", (unsigned)header_.version);
    return false;
  }
  if (header_.entry_count > CAIRN_V1_MAX_ENTRIES) {
    log_.error("Entry table size exceeds internal limits!");
    return false;
  }
  const u64 table_size = (u64)header_.entry_count * CAIRN_V1_ENTRY_SIZE;
  // The table must be in the archive before memory is set aside for it.
  if (!cairn_range_in_archive(header_.entry_table_offset, table_size, archive_size_)) {
    log_.error("Failed to read entry table!");
    return false;
  }
  if (!entries_.resize(header_.entry_count)) {
    log_.error("Failed to allocate entry table!");
    return false;
  }
  if (!archive_->read_at(entries_.data(), table_size, header_.entry_table_offset)) {
    log_.error("Failed to read entry table!");
    return false;
  }
  cairn_v1_entries_from_stored(entries_.data(), entries_.count());
  log_.info("Created, %zu entries", (size_t)header_.entry_count);
  entry_count = header_.entry_count;
  return true;
}

const cairn_entry_t* cairn_v1_device_t::find_entry(const char* path) const {
  u64 hash = 0;
  if (!path || !cairn_hash_device_path(path, header_.salt, &hash)) return nullptr;
  return cairn_search_hash(entries_, hash);
}

cairn_v1_file_t* cairn_v1_device_t::open_entry(const cairn_entry_t& entry, const char* path) {
  const fs_chunk_t chunk = cairn_v1_entry_chunk(entry);
  path_string_t problem;
  if (!cairn_check_chunk(chunk, archive_size_, problem)) {
    log_.error("Data of '%s' cannot be read: %s", path, problem.c_str());
    return nullptr;
  }
  cairn_file_source_t source{this, archive_.get(), archive_time_, (s64)(&entry - entries_.data()),
                             (entry.flags & CAIRN_V1_FLAG_DIRECTORY) ? (u32)FS_KIND_DIRECTORY : (u32)FS_KIND_FILE};
  return cairn_v1_file_t::create(path, source, chunk, entry);
}

file_t* cairn_v1_device_t::open(const char* path, u32 mode) {
  if (mode != FS_MODE_READ_ONLY || !available) return nullptr;
  const cairn_entry_t* entry = find_entry(path);
  if (!entry) return nullptr;
  return open_entry(*entry, path);
}

bool cairn_v1_device_t::stat(const char* path, fs_stat_t* out) {
  const cairn_entry_t* entry = find_entry(path);
  if (!entry) return false;
  if (!out) return true;
  out->kind = (entry->flags & CAIRN_V1_FLAG_DIRECTORY) ? FS_KIND_DIRECTORY : FS_KIND_FILE;
  out->time = archive_time_;
  out->size = entry->size;
  out->stored_size = entry->stored_size;
  out->device_reference = (u64)(uintptr_t)this;
  out->entry_index = (s64)(entry - entries_.data());
  return true;
}

bool cairn_v1_device_t::mstat(const char* path, fs_mstat_t* out) {
  const cairn_entry_t* entry = find_entry(path);
  if (!entry || !out) return false;
  auto_ptr_t<file_t> file(open_entry(*entry, path));
  if (!file) return false;
  const u8 compression = (entry->flags & CAIRN_V1_FLAG_COMPRESSED) ? FS_COMPRESSION_ZLIB : FS_COMPRESSION_NONE;
  return fs_meta_build(out, *file, entry->offset, compression);
}

auto_ptr_t<fs_dir_list_t> cairn_v1_device_t::read_dir(const char* path) {
  auto_ptr_t<fs_dir_list_t> none;
  const cairn_entry_t* entry = find_entry(path);
  if (!entry) return none;
  if (!(entry->flags & CAIRN_V1_FLAG_DIRECTORY)) {
    log_.error("read_dir: called on file entry (%s)", path);
    return none;
  }
  auto_ptr_t<cairn_v1_file_t> file(open_entry(*entry, path));
  if (!file) {
    log_.error("read_dir: failed to open dirlist entry (%s)", path);
    return none;
  }
  const u64 size = entry->size;
  array_dyn_t<char> text;
  if (!text.resize_uninitialized(size + 1) || !file->read_at(text.data(), size, 0)) return none;
  text[size] = 0;
  file.reset();
  auto_ptr_t<fs_dir_list_t> list(new fs_dir_list_t());
  if (!cairn_v1_parse_listing(text.data(), size, *list)) {
    log_.error("read_dir: malformed directory listing (%s)", path);
    return none;
  }
  return list;
}

fs_io_request_t* cairn_v1_device_t::chunk_read(void* target, u32 target_kind, const char* path,
                                               const fs_chunk_t& chunk, fs_io_callback_t callback) {
  if (!find_entry(path)) return nullptr;
  path_string_t problem;
  if (!cairn_check_chunk(chunk, archive_size_, problem)) {
    log_.error("Chunk of '%s' cannot be read: %s", path, problem.c_str());
    return nullptr;
  }
  if (io_handle_ == CAIRN_IO_HANDLE_NONE) {
    log_.error("Chunk of '%s' cannot be read: the archive is not open for the IO server", path);
    return nullptr;
  }
  return cairn_io_chunk_read(this, io_handle_, target, target_kind, path, chunk, callback);
}

bool cairn_v1_device_t::io_wait(fs_io_request_t* request) { return cairn_io_wait(request); }

}  // namespace umbra
