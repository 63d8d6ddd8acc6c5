#include "umbracore/ufs/cairn_file.h"

#include "umbracore/strings/path.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_proc.h"

namespace umbra {

cairn_file_t::cairn_file_t(const char* path, const cairn_file_source_t& source, const fs_chunk_t& chunk)
    : file_t(path), source_(source), chunk_(chunk) {
  device_type = FS_DEVICE_UFS;
}

cairn_file_t::~cairn_file_t() {
  if (proc_) release_io_proc(proc_);
}

bool cairn_file_t::start_decoding() {
  switch (chunk_.compression) {
    case FS_COMPRESSION_NONE:
      return true;
    case FS_COMPRESSION_ZLIB:
    case FS_COMPRESSION_DEFLATE:
    case FS_COMPRESSION_ZSTD:
      break;
    default:
      return false;  // GDeflate tile streams and unknown values have no proc
  }
  proc_ = request_io_proc(chunk_.compression);
  if (!proc_) return false;
  proc_->set_source(source_.archive, chunk_.offset, chunk_.stored_size, chunk_.size);
  return true;
}

bool cairn_file_t::stat(fs_stat_t* out) {
  if (!out) return true;
  out->kind = source_.kind;
  out->time = source_.archive_time;
  out->size = chunk_.size;
  out->stored_size = chunk_.stored_size;
  out->device_reference = (u64)(uintptr_t)source_.device;
  out->entry_index = source_.entry_index;
  return true;
}

fs_io_request_t* cairn_file_t::io_read(void* buffer, u64 size, u64 offset, u32 flag) {
  if (proc_) return proc_->read(buffer, size, offset) ? fs_completed_request() : nullptr;
  if (offset > chunk_.size || size > chunk_.size - offset) return nullptr;
  return source_.archive->io_read(buffer, size, chunk_.offset + offset, flag);
}

bool cairn_file_t::is_decoded_request(const fs_io_request_t* request) const {
  return request == fs_completed_request();
}

bool cairn_file_t::io_poll(fs_io_request_t* request) {
  return is_decoded_request(request) || source_.archive->io_poll(request);
}

bool cairn_file_t::io_wait(fs_io_request_t* request) {
  return is_decoded_request(request) || source_.archive->io_wait(request);
}

void cairn_file_t::io_release(fs_io_request_t* request) {
  if (!is_decoded_request(request)) source_.archive->io_release(request);
}

bool cairn_file_t::get_path(string& out) {
  const mstring_t& device_name = source_.device->get_name();
  bool ok = out.assign(device_name);
  const char* path = name.c_str();
  // One separator between the archive's name and the entry's absolute path.
  if (path_ends_with_separator(device_name.c_str(), device_name.length()) && path[0] == '/') ++path;
  return ok && out.append(path);
}

bool cairn_file_t::get_ufs_path(string& out) {
  return out.assign(source_.device->get_mount_path()) && out.append(name);
}

void cairn_file_t::get_debug_name(string& out) {
  out.format("<%s | %s>%s", source_.device->get_name().c_str(), source_.device->get_mount_path().c_str(), name.c_str());
}

u16 cairn_file_t::get_device_id() { return source_.device->get_device_id(); }

}  // namespace umbra
