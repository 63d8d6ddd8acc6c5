// Read-only registry access: RegOpenKeyExW / RegQueryValueExW / RegCloseKey on Windows.
// Linux has no registry: its back end answers the one value the runtime reads, the
// processor's nominal clock, and reports every other key as missing.
#pragma once

#include "umbracore/types.h"

namespace umbra {
namespace platform {

enum registry_root_t : u32 {
  REGISTRY_ROOT_CLASSES_ROOT = 0,
  REGISTRY_ROOT_CURRENT_USER = 1,
  REGISTRY_ROOT_LOCAL_MACHINE = 2,
  REGISTRY_ROOT_USERS = 3,
};

// Value types as the registry numbers them.
enum registry_value_type_t : u32 {
  REGISTRY_TYPE_NONE = 0,
  REGISTRY_TYPE_SZ = 1,
  REGISTRY_TYPE_DWORD = 4,
};

using registry_key_t = u64;

// RegOpenKeyExW(root, sub_key, 0, KEY_READ): the sub key is UTF-8 here (the Windows
// back end converts it to UTF-16).
bool registry_open_key(registry_root_t root, const char* sub_key, registry_key_t* key);
// RegQueryValueExW: on input *size is the buffer's size; on success *type and *size
// describe the value. A value larger than the buffer fails with *size set to its size.
bool registry_query_value(registry_key_t key, const char* value_name, u32* type, void* data, u32* size);
bool registry_close_key(registry_key_t key);

}  // namespace platform
}  // namespace umbra
