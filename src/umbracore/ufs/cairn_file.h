// An open entry of a Cairn archive: a read-only view of one chunk of the archive file.
// Stored chunks are read straight from the archive at the chunk's offset; compressed
// ones are decoded on the calling thread and their requests are complete at once.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

class fs_device_t;
class fs_proc_t;

// What a file needs to know about the entry it was opened on.
struct cairn_file_source_t {
  fs_device_t* device;  // must outlive the file
  file_t* archive;      // owned by the device
  u64 archive_time;
  s64 entry_index;
  u32 kind;             // FS_KIND_FILE or FS_KIND_DIRECTORY
};

class cairn_file_t : public file_t {
 public:
  ~cairn_file_t() override;

  bool stat(fs_stat_t* out) override;
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32 flag) override;
  bool io_poll(fs_io_request_t* request) override;
  bool io_wait(fs_io_request_t* request) override;
  void io_release(fs_io_request_t* request) override;
  bool get_path(string& out) override;
  bool get_ufs_path(string& out) override;
  void get_debug_name(string& out) override;
  u16 get_device_id() override;

  const fs_chunk_t& chunk() const { return chunk_; }

 protected:
  // The chunk's stored bytes must lie inside the archive (the device checks them).
  cairn_file_t(const char* path, const cairn_file_source_t& source, const fs_chunk_t& chunk);
  // Takes a decompression proc for a compressed chunk, set to read the chunk's stored
  // bytes from the archive; false when the compression has no proc or none can be had
  // (stored chunks need none).
  bool start_decoding();

 private:
  // Requests of compressed reads are the shared completed request; all others are
  // the archive file's.
  bool is_decoded_request(const fs_io_request_t* request) const;

  cairn_file_source_t source_;
  fs_chunk_t chunk_;
  fs_proc_t* proc_ = nullptr;  // compressed chunks: the pooled proc that decodes them
};

}  // namespace umbra
