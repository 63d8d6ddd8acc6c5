// extract -stdout: one file's bytes on standard output, read through the same device
// file that the version 1 extraction copies from (for version 2 archives the device's
// file over the plain data chunk, decoding as it goes), in pieces, so that a large file
// never sits in memory whole.
#include "tools/packer/extract.h"
#include "tools/packer/extract_walk.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/console_platform.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/ufs/cairn_v2_device.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

namespace {

constexpr u64 PIECE_SIZE = 1ull << 20;

bool is_image_entry(fs_device_t* device, const char* path) {
  // Version 1 files are plain whatever their names; their metadata is built from the
  // bytes and may well describe an image.
  if (!dynamic_cast<cairn_v2_device_t*>(device)) return false;
  fs_mstat_t metadata;
  return device->mstat(path, &metadata) && fs_meta_get(nullptr, 0, &FS_TOKEN_IMAGE, &metadata) != FS_META_NOT_FOUND;
}

}  // namespace

bool extract_to_stdout(auto_ptr_t<file_t>& archive, const char* device_path) {
  auto_ptr_t<fs_device_t> device = mount_for_extraction(archive);
  if (!device) return false;
  mstring_t shown;
  append_escaped_for_display(shown, device_path);
  fs_stat_t st;
  if (!device->stat(device_path, &st)) {
    log_error("'%s' is not in the archive", shown.c_str());
    return false;
  }
  if (st.kind == FS_KIND_DIRECTORY) {
    log_error("'%s' is a directory; -stdout writes one file", shown.c_str());
    return false;
  }
  if (is_image_entry(device.get(), device_path)) {
    log_error("'%s' is an image entry, which extracts to two files; -stdout writes plain files only", shown.c_str());
    return false;
  }
  auto_ptr_t<file_t> file(device->open(device_path, FS_MODE_READ_ONLY));
  if (!file) {
    log_error("Unable to open '%s'!", shown.c_str());
    return false;
  }
  u64 size = 0;
  if (!file->find_size(&size)) return false;
  array_dyn_t<u8> piece;
  if (!piece.resize_uninitialized(size < PIECE_SIZE ? size : PIECE_SIZE)) {
    log_error("Out of memory reading '%s'!", shown.c_str());
    return false;
  }
  for (u64 done = 0; done < size;) {
    u64 length = size - done < PIECE_SIZE ? size - done : PIECE_SIZE;
    if (!file->read_at(piece.data(), length, done)) {
      log_error("Failed to read '%s' from the archive!", shown.c_str());
      return false;
    }
    if (!platform::console_write(platform::CONSOLE_STDOUT, piece.data(), length)) {
      log_error("Failed to write '%s' to standard output!", shown.c_str());
      return false;
    }
    done += length;
  }
  return true;
}

}  // namespace umbra
