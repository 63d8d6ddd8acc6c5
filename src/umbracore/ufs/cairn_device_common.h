// What the two Cairn read devices share: their log, the hash lookup in a sorted entry
// table, and the checks that keep a hostile archive from making the reader allocate or
// read what the archive's real size cannot back.
#pragma once

#include <cstdarg>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

class file_t;
struct fs_chunk_t;

// No platform handle of the archive is held.
constexpr u64 CAIRN_IO_HANDLE_NONE = ~0ull;

// Messages of one archive device: "[cairn] %s: %s" with the archive's file name (what
// follows its last '/' or '\').
class cairn_device_log_t {
 public:
  // The information lines ("Created, %zu entries", "Unmounted.") of every device, shown
  // by default. Commands whose standard output is their result (a listing, a JSON
  // document, a file's bytes) switch them off.
  static void set_info_shown(bool shown);

 public:
  void set_archive_path(const char* path);
  const char* archive_name() const { return name_.c_str(); }
  void info(const char* format, ...) const UMBRA_PRINTF(2, 3);
  void error(const char* format, ...) const UMBRA_PRINTF(2, 3);

 private:
  void emit(u32 level, const char* format, va_list args) const;

  path_string_t name_;
};

// What both archive devices hold and do alike: the archive file (owned), its log, its
// time and size, and the IO server's handle of it.
class cairn_device_t : public fs_device_t {
 public:
  u64 archive_size() const { return archive_size_; }

  // Reads a chunk of this archive that the caller describes, whichever entry (named by
  // a listing or not) it belongs to; label names the read in the IO server's messages.
  // Null, with problem set, when the chunk cannot be read from this archive.
  fs_io_request_t* read_chunk(void* target, u32 target_kind, const char* label, const fs_chunk_t& chunk,
                              string& problem);

 protected:
  // Takes the archive file over.
  cairn_device_t(auto_ptr_t<file_t>& archive, const char* archive_path);
  // Closes the IO handle, says "Unmounted." and destroys the archive file.
  ~cairn_device_t() override;

  // First step of every mount: the archive's time and size; false, with the header
  // message, when there is no archive.
  bool stat_archive();
  // The IO server reads chunks through a handle of its own, opened even after a failed
  // mount so that destruction is the same either way.
  void open_io_handle();

  cairn_device_log_t log_;
  auto_ptr_t<file_t> archive_;
  u64 archive_time_ = 0;
  u64 archive_size_ = 0;
  u64 io_handle_ = CAIRN_IO_HANDLE_NONE;
};

// Binary search of a table sorted by ascending unsigned hash; null when absent.
template <class entry_t>
const entry_t* cairn_search_hash(const array_t<entry_t>& entries, u64 hash) {
  u64 lo = 0, hi = entries.count();
  const entry_t* data = entries.data();
  while (lo < hi) {
    u64 mid = (lo + hi) / 2;
    if (hash < data[mid].hash) {
      hi = mid;
    } else if (hash > data[mid].hash) {
      lo = mid + 1;
    } else {
      return data + mid;
    }
  }
  return nullptr;
}

// Whether size bytes at offset lie inside an archive of archive_size bytes.
constexpr bool cairn_range_in_archive(u64 offset, u64 size, u64 archive_size) {
  return offset <= archive_size && size <= archive_size - offset;
}

// The most content that stored_size bytes of the compression can decode to. Deflate
// codes at most 258 bytes in two bits (1032:1), and GDeflate is deflate cut into lanes;
// a Zstandard block of at most 128 KiB needs at least a 3-byte header and one byte.
// Anything claiming more is corrupt, and is refused before a buffer is sized for it.
u64 cairn_max_decoded_size(u32 compression, u64 stored_size);

// Why a chunk cannot be read from an archive of archive_size bytes (into problem), or
// true when it can: a known compression, stored bytes inside the archive, a stored
// chunk as large as its content, and a content size its stored bytes can produce.
bool cairn_check_chunk(const fs_chunk_t& chunk, u64 archive_size, string& problem);

// Reads size bytes at offset into buffer (one waited request, counted in the block
// counters); false when they do not all lie inside the archive.
bool cairn_read_archive(file_t& archive, u64 archive_size, void* buffer, u64 size, u64 offset);

// The archive file's name for the device and the file names: what get_path answers.
bool cairn_archive_path(file_t& archive, mstring_t& out);

}  // namespace umbra
