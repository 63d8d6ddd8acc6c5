#include "umbracore/ufs/cairn_path_hash.h"

#include <cstring>

#include "umbracore/ufs/cityhash.h"

namespace umbra {

void cairn_hashed_form(path_string_t& out, const char* relative_path, size_t length, u32 salt) {
  // Truncation is part of the key definition, so the results of assign/append (false
  // when cut) are deliberately not treated as errors.
  if (!relative_path) {
    relative_path = "";
    length = 0;
  }
  if (salt == 0) {
    out.assign(relative_path, length < CAIRN_HASHED_FORM_MAX ? length : CAIRN_HASHED_FORM_MAX);
    return;
  }
  out.format("%u", salt);
  out.append(relative_path, length);
}

u64 cairn_hash_relative_path(const char* relative_path, size_t length, u32 salt) {
  path_string_t form;
  cairn_hashed_form(form, relative_path, length, salt);
  return cityhash64(form.c_str(), form.length());
}

u64 cairn_hash_relative_path(const char* relative_path, u32 salt) {
  return cairn_hash_relative_path(relative_path, std::strlen(relative_path), salt);
}

bool cairn_hash_device_path(const char* device_path, u32 salt, u64* hash) {
  if (!device_path || device_path[0] != '/') return false;
  *hash = cairn_hash_relative_path(device_path + 1, std::strlen(device_path + 1), salt);
  return true;
}

}  // namespace umbra
