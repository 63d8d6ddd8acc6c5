// The registry itself, read-only: RegOpenKeyExW, RegQueryValueExW and RegCloseKey with
// the names converted from UTF-8.
#include "umbracore/platform/registry_platform.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {
namespace platform {

namespace {

HKEY root_key(registry_root_t root) {
  switch (root) {
    case REGISTRY_ROOT_CLASSES_ROOT:
      return HKEY_CLASSES_ROOT;
    case REGISTRY_ROOT_CURRENT_USER:
      return HKEY_CURRENT_USER;
    case REGISTRY_ROOT_LOCAL_MACHINE:
      return HKEY_LOCAL_MACHINE;
    case REGISTRY_ROOT_USERS:
      return HKEY_USERS;
  }
  return nullptr;
}

HKEY native(registry_key_t key) { return reinterpret_cast<HKEY>((uintptr_t)key); }

}  // namespace

bool registry_open_key(registry_root_t root, const char* sub_key, registry_key_t* key) {
  *key = 0;
  HKEY parent = root_key(root);
  wide_text_t name;
  if (!parent || !wide_from_utf8(name, sub_key)) return false;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(parent, wide(name), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  *key = (registry_key_t)(uintptr_t)opened;
  return true;
}

bool registry_query_value(registry_key_t key, const char* value_name, u32* type, void* data, u32* size) {
  wide_text_t name;
  if (!wide_from_utf8(name, value_name)) return false;
  DWORD value_type = REG_NONE;
  DWORD value_size = *size;
  LONG result = RegQueryValueExW(native(key), wide(name), nullptr, &value_type, static_cast<BYTE*>(data), &value_size);
  *size = value_size;
  if (result != ERROR_SUCCESS) return false;
  *type = value_type;
  return true;
}

bool registry_close_key(registry_key_t key) { return RegCloseKey(native(key)) == ERROR_SUCCESS; }

}  // namespace platform
}  // namespace umbra
