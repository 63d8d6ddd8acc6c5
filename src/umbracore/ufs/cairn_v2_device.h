// A mounted Cairn version 2 archive: a read-only device that finds every path by the
// CityHash64 of its hashed form in the sorted entry table and reads what the entry's
// metadata records describe. Everything read from the archive is checked against the
// archive's size and the tables' bounds before it is used, so a damaged or hostile
// archive fails the operation that meets the damage (or the mount, when the tables
// themselves cannot be read) instead of reading or allocating past what is there.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

class cairn_v2_file_t;

class cairn_v2_device_t final : public cairn_device_t {
 public:
  // Takes the archive file; a failed mount clears the available flag.
  cairn_v2_device_t(auto_ptr_t<file_t>& archive, const char* archive_path);
  ~cairn_v2_device_t() override;

  file_t* open(const char* path, u32 mode) override;
  bool stat(const char* path, fs_stat_t* out) override;
  bool mstat(const char* path, fs_mstat_t* out) override;
  fs_io_request_t* chunk_read(void* target, u32 target_kind, const char* path, const fs_chunk_t& chunk,
                              fs_io_callback_t callback) override;
  bool io_wait(fs_io_request_t* request) override;
  auto_ptr_t<fs_dir_list_t> read_dir(const char* path) override;
  bool get_security_descriptor(array_t<u8>& out) override;

  const cairn_v2_header_t& header() const { return header_; }
  // The tables as mounted: the entries in stored (hash) order and the metadata words.
  const array_t<cairn_v2_entry_t>& entries() const { return entries_; }
  const array_t<u32>& metadata() const { return metadata_; }
  // The entry of an absolute path ("/" is the root); null when it is not in the archive.
  const cairn_v2_entry_t* find_entry(const char* path) const;

 private:
  bool mount();
  bool read_header();
  bool read_security_block();
  template <class record_t>
  bool read_table(array_dyn_t<record_t>& table, u64 count, u64 record_size, u64 stored_size, u64 offset,
                  const char* memory_name, const char* read_message, const char* inflate_message);

  // The entry's record of the kind; null when it has none or, with a message, when its
  // words lie outside the metadata table.
  const u32* find_metadata(const cairn_v2_entry_t& entry, u32 kind, const char* path, bool* malformed) const;
  cairn_v2_file_t* open_chunk(const cairn_v2_entry_t& entry, const char* path, u32 kind);
  bool check_chunk(const fs_chunk_t& chunk, const char* path) const;
  s64 entry_index(const cairn_v2_entry_t& entry) const { return (s64)(&entry - entries_.data()); }

  cairn_v2_header_t header_{};
  u8 security_block_[CAIRN_V2_SECURITY_DESCRIPTOR_SIZE] = {};
  array_dyn_t<cairn_v2_entry_t> entries_;
  array_dyn_t<u32> metadata_;
};

}  // namespace umbra
