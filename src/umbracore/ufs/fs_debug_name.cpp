// Printable names of files and paths for messages.
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

path_string_t file_debug_name(file_t* file) {
  path_string_t text;
  if (!file) {
    text.assign("<NULL>");
    return text;
  }
  file->get_debug_name(text);
  return text;
}

path_string_t path_debug_name(const char* path, u32 device_type) {
  auto_ptr_t<file_t> file;
  if (fs_device_open(file, path, FS_MODE_READ_ONLY, device_type)) return file_debug_name(file.get());
  path_string_t text;
  text.format("<MISSING><%s>%s", fs_device_type_name(device_type), path);
  return text;
}

}  // namespace umbra
