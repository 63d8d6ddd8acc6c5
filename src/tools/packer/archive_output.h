// The archive's data area as the main thread writes it: blocks are appended at 16-byte
// boundaries into a staging buffer that goes to the file in large writes, one in flight
// while the next fills, so thousands of small blocks cost a handful of requests.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

class archive_output_t {
 public:
  // Appends from the archive's current position. holds reads the bytes already written
  // through reader (the archive itself when null).
  explicit archive_output_t(file_t* archive, file_t* reader = nullptr);
  // Waits for a write still in flight; what was not flushed is dropped.
  ~archive_output_t();

  // Where the next appended byte lands in the archive.
  u64 position() const { return position_; }
  // Pads with zeros up to the next multiple of 16.
  bool align16();
  bool append(const void* bytes, u64 size);
  // Appends the whole of a memory block, reading it in pieces.
  bool append_file(file_t* block);
  // Writes what is staged, waits for every write and leaves the archive's position after
  // the last appended byte.
  bool flush();
  // Whether the bytes appended at offset are exactly the block's: read back from the
  // staging buffer, or from the archive once the write in flight is done.
  bool holds(u64 offset, file_t* block);

 private:
  u8* staging() { return buffers_[active_].data(); }
  // Free bytes in the staging buffer, sending it first when full; 0 after a failure.
  u64 room();
  void commit(u64 size);
  // Sends the staged bytes and switches to the other buffer once its write is done.
  bool send_staged();
  bool wait_in_flight();

  file_t* archive_;
  file_t* reader_;
  array_dyn_t<u8> buffers_[2];
  u32 active_ = 0;
  u64 staged_ = 0;
  u64 staged_offset_;  // archive offset of the staging buffer's first byte
  u64 position_;
  fs_io_request_t* in_flight_ = nullptr;
  array_dyn_t<u8> compared_[2];  // holds' pieces of the block and of the archive
  bool ok_ = true;
};

}  // namespace umbra
