// Byte arrays for the large buffers create fills and drops once per file: the sources
// read whole and the blocks made of them. Storage from POOLED_BYTES_MIN_SIZE up is runs
// of whole pages that go back to a process-wide pool when released, so the next file
// reuses pages that are already mapped instead of faulting in fresh ones (on this
// workload the faults of fresh memory cost more than reading the files); smaller storage
// is the heap's, which recycles small blocks well by itself.
#pragma once

#include "umbracore/collections/arrays/array.h"

namespace umbra {

constexpr u64 POOLED_BYTES_MIN_SIZE = 256ull << 10;
// Released runs beyond this many bytes go back to the system.
constexpr u64 POOLED_BYTES_RETAINED = 16ull << 20;

class pooled_bytes_t final : public array_t<u8> {
 public:
  pooled_bytes_t() = default;
  pooled_bytes_t(pooled_bytes_t&& other) noexcept { take(other); }
  pooled_bytes_t& operator=(pooled_bytes_t&& other) noexcept;
  ~pooled_bytes_t() override { release_storage(); }

  // Keeps the bytes held; a run goes back to the pool.
  bool request_capacity(u64 n) override;
  void release_storage() override;
  // Moves the bytes into storage of their own size when that frees at least half of a
  // run (a finished block that waits for its turn then holds no more than it needs).
  void compact() override;

 private:
  // New storage of at least capacity bytes (a run of at most limit), the bytes copied.
  bool replace_storage(u64 capacity, u64 limit);
  void take(pooled_bytes_t& other);

  bool pooled_ = false;
};

// Bytes of released runs the pool holds for reuse.
u64 pooled_bytes_retained();
// Gives every run the pool holds back to the system (once no more files come).
void pooled_bytes_trim();

}  // namespace umbra
