#include "umbracore/ufs/fs_file.h"

#include <cstdlib>
#include <cstring>

#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"

namespace umbra {

fs_block_counters_t fs_block_counters;

namespace {

// Constant-initialised, so it is usable from any thread at any time, and never written.
fs_io_request_t g_completed_request{FS_IO_STATE_FINISHED, 1};

u64 min_u64(u64 a, u64 b) { return a < b ? a : b; }

}  // namespace

fs_io_request_t* fs_completed_request() { return &g_completed_request; }

void fs_count_block_read(u64 size) {
  fs_block_counters.read_requests.add(1);
  fs_block_counters.finish_requests.add(1);
  fs_block_counters.read_bytesize.add(size);
  fs_block_counters.finish_bytesize.add(size);
}

const char* fs_device_type_name(u32 device_type) {
  switch (device_type) {
    case FS_DEVICE_NONE:
      return "UNKNOWNFS";
    case FS_DEVICE_UFS:
      return "UFS";
    case FS_DEVICE_SYSFS:
      return "SYSFS";
    default:
      return "BADFS";
  }
}

const char* fs_open_mode_name(u32 mode) {
  switch (mode) {
    case FS_MODE_READ_ONLY:
      return "read_only";
    case FS_MODE_CREATE_NEW:
      return "create_new";
    case FS_MODE_CREATE_TRUNCATE:
      return "create_truncate";
    case FS_MODE_CREATE_OR_READ_WRITE:
      return "create_or_read_write";
    default:
      return "unknown";
  }
}

file_t::~file_t() { std::free(cache_); }

bool file_t::write_at(const void* buffer, u64 size, u64 offset) {
  fs_io_request_t* request = io_write(buffer, size, offset);
  return request && io_wait(request);
}

bool file_t::write_owned(void* buffer, u64 size) {
  if (!write(buffer, size)) return false;
  std::free(buffer);
  return true;
}

bool file_t::commit_atomic() {
  log_error("[file_t] Cannot use commit atomic operation on file %s", file_debug_name(this).c_str());
  return false;
}

bool file_t::cancel_atomic() {
  log_error("[file_t] Cannot use cancel atomic operation on file %s", file_debug_name(this).c_str());
  return false;
}

void file_t::drop_read_cache() {
  std::free(cache_);
  cache_ = nullptr;
  cache_length_ = 0;
  cache_offset_ = 0;
}

bool file_t::read_at(void* buffer, u64 size, u64 offset) {
  if (size == 0) return true;
  if (!buffer) return false;
  fs_io_request_t* request = io_read(buffer, size, offset, FS_IO_FLAG_BLOCKING);
  if (!request || !io_wait(request)) return false;
  fs_count_block_read(size);
  return true;
}

bool file_t::write(const void* buffer, u64 size) {
  if (size == 0) return true;
  if (!buffer) return false;
  // Whatever the cache holds may be what this write replaces.
  drop_read_cache();
  fs_io_request_t* request = io_write(buffer, size, position);
  if (!request || !io_wait(request)) return false;
  position += size;
  return true;
}

bool file_t::read(void* buffer, u64 size) {
  if (size == 0) return true;
  if (!buffer) return false;
  if (!uses_read_cache()) {
    if (!read_at(buffer, size, position)) return false;
    position += size;
    return true;
  }
  return read_through_cache(static_cast<u8*>(buffer), size);
}

bool file_t::read_through_cache(u8* out, u64 size) {
  if (!cache_) {
    cache_ = static_cast<u8*>(std::malloc(FS_READ_CACHE_SIZE));
    if (!cache_) return false;
    cache_length_ = 0;
  }
  u64 remaining = size;
  // What the window already holds.
  if (position >= cache_offset_ && position - cache_offset_ < cache_length_) {
    u64 piece = min_u64(cache_length_ - (position - cache_offset_), remaining);
    std::memcpy(out, cache_ + (position - cache_offset_), piece);
    out += piece;
    remaining -= piece;
    position += piece;
  }
  if (remaining == 0) return true;
  // Large reads would only pass through the cache twice.
  if (remaining > FS_READ_CACHE_SIZE) {
    if (!read_at(out, remaining, position)) return false;
    position += remaining;
    return true;
  }
  bool inside_window = position >= cache_offset_ && position - cache_offset_ <= cache_length_ &&
                       remaining <= cache_length_ - (position - cache_offset_);
  if (!inside_window) {
    u64 file_size = 0;
    if (!find_size(&file_size)) return false;
    cache_offset_ = position;
    cache_length_ = position < file_size ? min_u64(file_size - position, FS_READ_CACHE_SIZE) : 0;
    if (!read_at(cache_, cache_length_, cache_offset_)) {
      cache_length_ = 0;
      log_error("[fs] cached read - buffer update failed (%s)", file_debug_name(this).c_str());
      return false;
    }
    if (cache_length_ < remaining) {
      log_error("[fs] cached read - read request too big (%s)", file_debug_name(this).c_str());
      return false;
    }
  }
  std::memcpy(out, cache_ + (position - cache_offset_), remaining);
  position += remaining;
  return true;
}

bool file_t::find_size(u64* out) {
  fs_stat_t info;
  if (!stat(&info)) {
    log_error("[fs] failed to stat opened file (%s)!", file_debug_name(this).c_str());
    return false;
  }
  *out = info.size;
  return true;
}

u64 file_t::get_size() {
  u64 size = 0;
  if (!find_size(&size)) UMBRA_FAIL("Failed to stat opened file!");
  return size;
}

}  // namespace umbra
