#include "umbracore/ufs/cairn_device_common.h"

#include "umbracore/ufs/cairn_device_io.h"

#include <atomic>
#include <cinttypes>
#include <cstdarg>

#include "umbracore/log/log.h"
#include "umbracore/strings/path.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

namespace {

std::atomic<bool> g_info_shown{true};

constexpr u64 DEFLATE_MAX_RATIO = 1032;
constexpr u64 ZSTD_BLOCK_MAX = 128 * 1024;
constexpr u64 ZSTD_MIN_BLOCK_BYTES = 4;  // 3-byte block header + one byte of content

}  // namespace

void cairn_device_log_t::set_info_shown(bool shown) { g_info_shown.store(shown, std::memory_order_relaxed); }

void cairn_device_log_t::set_archive_path(const char* path) {
  name_.assign(path_last_component(path ? path : ""));
}

void cairn_device_log_t::emit(u32 level, const char* format, va_list args) const {
  mstring_t message;
  message.vformat(format, args);
  log_message(level, "[cairn] %s: %s", name_.c_str(), message.c_str());
}

void cairn_device_log_t::info(const char* format, ...) const {
  if (!g_info_shown.load(std::memory_order_relaxed)) return;
  va_list args;
  va_start(args, format);
  emit(LOG_LEVEL_INFO, format, args);
  va_end(args);
}

void cairn_device_log_t::error(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  emit(LOG_LEVEL_ERROR, format, args);
  va_end(args);
}

u64 cairn_max_decoded_size(u32 compression, u64 stored_size) {
  switch (compression) {
    case FS_COMPRESSION_NONE:
      return stored_size;
    case FS_COMPRESSION_ZLIB:
    case FS_COMPRESSION_DEFLATE:
    case FS_COMPRESSION_GDEFLATE:
      return (stored_size + 1) * DEFLATE_MAX_RATIO;
    case FS_COMPRESSION_ZSTD:
      return (stored_size / ZSTD_MIN_BLOCK_BYTES + 1) * ZSTD_BLOCK_MAX;
    default:
      return 0;
  }
}

bool cairn_check_chunk(const fs_chunk_t& chunk, u64 archive_size, string& problem) {
  problem.clear();
  if (!fs_compression_is_known(chunk.compression)) {
    problem.format("unsupported compression %u", (unsigned)chunk.compression);
    return false;
  }
  if (!cairn_range_in_archive(chunk.offset, chunk.stored_size, archive_size)) {
    problem.format("stored bytes %" PRIu64 "..%" PRIu64 " lie outside the archive (%" PRIu64 " bytes)", chunk.offset,
                   chunk.offset + chunk.stored_size, archive_size);
    return false;
  }
  if (chunk.compression == FS_COMPRESSION_NONE && chunk.size != chunk.stored_size) {
    problem.format("uncompressed size %" PRIu64 " differs from stored size %" PRIu64, chunk.size, chunk.stored_size);
    return false;
  }
  if (chunk.size > cairn_max_decoded_size(chunk.compression, chunk.stored_size)) {
    problem.format("size %" PRIu64 " cannot come from %" PRIu64 " stored bytes", chunk.size, chunk.stored_size);
    return false;
  }
  return true;
}

bool cairn_read_archive(file_t& archive, u64 archive_size, void* buffer, u64 size, u64 offset) {
  if (!cairn_range_in_archive(offset, size, archive_size)) return false;
  return archive.read_at(buffer, size, offset);
}

bool cairn_archive_path(file_t& archive, mstring_t& out) {
  if (archive.get_path(out)) return true;
  return out.assign(archive.get_name());
}

cairn_device_t::cairn_device_t(auto_ptr_t<file_t>& archive, const char* archive_path)
    : fs_device_t(FS_DEVICE_KIND_CAIRN), archive_(static_cast<auto_ptr_t<file_t>&&>(archive)) {
  name.assign(archive_path);
  read_only = true;
  log_.set_archive_path(archive_path);
}

cairn_device_t::~cairn_device_t() {
  if (io_handle_ != CAIRN_IO_HANDLE_NONE) {
    cairn_io_close(io_handle_);
    io_handle_ = CAIRN_IO_HANDLE_NONE;
  }
  log_.info("Unmounted.");
  archive_.reset();
}

bool cairn_device_t::stat_archive() {
  if (!archive_) {
    log_.error("Failed to read header!");
    return false;
  }
  fs_stat_t archive_stat;
  if (archive_->stat(&archive_stat)) {
    archive_time_ = archive_stat.time;
    archive_size_ = archive_stat.size;
  }
  return true;
}

fs_io_request_t* cairn_device_t::read_chunk(void* target, u32 target_kind, const char* label, const fs_chunk_t& chunk,
                                            string& problem) {
  if (!cairn_check_chunk(chunk, archive_size_, problem)) return nullptr;
  if (io_handle_ == CAIRN_IO_HANDLE_NONE) {
    problem.assign("the archive is not open for the IO server");
    return nullptr;
  }
  fs_io_request_t* request = cairn_io_chunk_read(this, io_handle_, target, target_kind, label, chunk, nullptr);
  if (!request) problem.assign("the IO server refused the read");
  return request;
}

void cairn_device_t::open_io_handle() { io_handle_ = cairn_io_open(name.c_str()); }

}  // namespace umbra
