#include "tools/packer/extract_buffers.h"

#include <utility>

#include "umbracore/platform/platform_fs.h"

namespace umbra {

namespace {

// At most this many buffers are kept, and only buffers of at least this size: the
// allocator recycles small blocks well by itself.
constexpr u64 MAX_KEPT_BUFFERS = 64;
constexpr u64 MIN_KEPT_BUFFER = 64ull << 10;
// Fresh buffers of these sizes have their pages committed in one call. Above the upper
// bound the pages are left to come as the decoder writes them: a hostile archive's
// chunk may claim far more content than its stream will ever produce.
constexpr u64 PREFETCH_MIN_BYTES = 256ull << 10;
constexpr u64 PREFETCH_MAX_BYTES = 64ull << 20;

}  // namespace

extract_buffer_pool_t::extract_buffer_pool_t(u64 keep_limit) : keep_limit_(keep_limit) {}

u64 extract_buffer_pool_t::find_fit(u64 size) const {
  u64 best = buffers_.count();
  for (u64 i = 0; i < buffers_.count(); ++i) {
    u64 capacity = buffers_[i].capacity();
    if (capacity < size || capacity / 2 > size) continue;
    if (best == buffers_.count() || capacity < buffers_[best].capacity()) best = i;
  }
  return best;
}

u64 extract_buffer_pool_t::find_smallest() const {
  u64 smallest = 0;
  for (u64 i = 1; i < buffers_.count(); ++i) {
    if (buffers_[i].capacity() < buffers_[smallest].capacity()) smallest = i;
  }
  return smallest;
}

void extract_buffer_pool_t::drop(u64 index) {
  kept_bytes_ -= buffers_[index].capacity();
  buffers_.remove_fast(index);
}

bool extract_buffer_pool_t::take(u64 size, array_dyn_t<u8>& data) {
  if (size >= MIN_KEPT_BUFFER) {
    u64 fit = find_fit(size);
    if (fit != buffers_.count()) {
      kept_bytes_ -= buffers_[fit].capacity();
      data = std::move(buffers_[fit]);
      buffers_.remove_fast(fit);
      return data.resize_uninitialized(size);
    }
  }
  if (!data.resize_uninitialized(size)) return false;
  if (size >= PREFETCH_MIN_BYTES && size <= PREFETCH_MAX_BYTES) platform_prefetch_buffer(data.data(), size);
  return true;
}

void extract_buffer_pool_t::give(array_dyn_t<u8>& data) {
  u64 capacity = data.capacity();
  if (capacity < MIN_KEPT_BUFFER || capacity > keep_limit_) {
    data.release_storage();
    return;
  }
  // Room is made by dropping smaller buffers: a large one serves more jobs.
  while (!buffers_.empty() && (buffers_.count() >= MAX_KEPT_BUFFERS || capacity > keep_limit_ - kept_bytes_)) {
    u64 smallest = find_smallest();
    if (buffers_[smallest].capacity() >= capacity) break;
    drop(smallest);
  }
  if (buffers_.count() >= MAX_KEPT_BUFFERS || capacity > keep_limit_ - kept_bytes_) {
    data.release_storage();
    return;
  }
  data.clear();
  if (!buffers_.append(std::move(data))) {
    data.release_storage();
    return;
  }
  kept_bytes_ += capacity;
}

}  // namespace umbra
