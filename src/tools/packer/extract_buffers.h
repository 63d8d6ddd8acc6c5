// The data buffers of extraction jobs. A file's content is decoded into fresh memory
// that the system must fault in page by page (and zero) before the decoder can write
// it, which costs more than the decoding itself for large files. Finished jobs' large
// buffers are therefore kept and handed to later jobs, and the pages of a fresh large
// buffer are committed in one call.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"

namespace umbra {

class extract_buffer_pool_t {
 public:
  // Keeps at most keep_limit bytes of finished buffers.
  explicit extract_buffer_pool_t(u64 keep_limit);

  // Gives data (which must be empty) room for size bytes and that count: a kept buffer
  // when one fits, else a fresh one. False when no memory can be had.
  bool take(u64 size, array_dyn_t<u8>& data);
  // Keeps the buffer of a finished job, or frees it; data is empty afterwards.
  void give(array_dyn_t<u8>& data);

  u64 kept_bytes() const { return kept_bytes_; }
  u64 kept_count() const { return buffers_.count(); }

 private:
  // The smallest kept buffer that fits size and is not more than twice as large (which
  // is left for a larger job that may start meanwhile); count() when none is.
  u64 find_fit(u64 size) const;
  u64 find_smallest() const;
  void drop(u64 index);

  array_dyn_t<array_dyn_t<u8>> buffers_;
  u64 kept_bytes_ = 0;
  u64 keep_limit_;
};

}  // namespace umbra
