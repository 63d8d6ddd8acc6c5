// A mounted Cairn version 1 archive: a flat table of 32-byte entries sorted by path
// hash, each a file or a directory whose data (raw or one zlib stream) lies at the
// entry's offset; a directory's data is a text listing of its children. Read only.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

class cairn_v1_file_t;

class cairn_v1_device_t final : public cairn_device_t {
 public:
  // Takes the archive file; a failed mount clears the available flag.
  cairn_v1_device_t(auto_ptr_t<file_t>& archive, const char* archive_path);
  ~cairn_v1_device_t() override;

  file_t* open(const char* path, u32 mode) override;
  bool stat(const char* path, fs_stat_t* out) override;
  bool mstat(const char* path, fs_mstat_t* out) override;
  fs_io_request_t* chunk_read(void* target, u32 target_kind, const char* path, const fs_chunk_t& chunk,
                              fs_io_callback_t callback) override;
  bool io_wait(fs_io_request_t* request) override;
  auto_ptr_t<fs_dir_list_t> read_dir(const char* path) override;

  const cairn_v1_header_t& header() const { return header_; }
  // The entry table as mounted, in stored (hash) order.
  const array_t<cairn_entry_t>& entries() const { return entries_; }
  const cairn_entry_t* find_entry(const char* path) const;

 private:
  bool mount();
  cairn_v1_file_t* open_entry(const cairn_entry_t& entry, const char* path);

  cairn_v1_header_t header_{};
  array_dyn_t<cairn_entry_t> entries_;
};

// Splits a version 1 listing into its children: any run of CR and LF separates two
// lines, a line beginning with '*' names a directory (the rest of the line, possibly
// empty), any other line a file; lines are cut to 255 bytes. False when the text holds
// a zero byte or memory runs out.
bool cairn_v1_parse_listing(const char* text, u64 size, fs_dir_list_t& out);

}  // namespace umbra
