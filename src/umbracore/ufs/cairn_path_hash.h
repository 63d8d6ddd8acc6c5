// The key of a path inside a Cairn archive: CityHash64 of its hashed form. The writer
// and every reader must build the hashed form the same way, so it is built only here.
#pragma once

#include <cstddef>

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

// Longest hashed form; longer forms are cut, so paths that agree in their first 255
// bytes share a key.
constexpr u32 CAIRN_HASHED_FORM_MAX = 255;

// relative_path is root-relative without a leading '/' ("" is the root). A non-zero
// salt is written in decimal in front of it ("%u%s").
void cairn_hashed_form(path_string_t& out, const char* relative_path, size_t length, u32 salt);
u64 cairn_hash_relative_path(const char* relative_path, size_t length, u32 salt);
u64 cairn_hash_relative_path(const char* relative_path, u32 salt = 0);

// A device path begins with '/' ("/" is the root) and is keyed by what follows that
// first '/'. An empty path or one without the leading '/' names nothing: false.
bool cairn_hash_device_path(const char* device_path, u32 salt, u64* hash);

}  // namespace umbra
