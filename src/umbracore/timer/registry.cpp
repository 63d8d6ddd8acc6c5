#include "umbracore/timer/registry.h"

#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/platform/registry_platform.h"
#include "umbracore/strings/string.h"

namespace umbra {

namespace {

struct registry_root_name_t {
  const char* name;
  platform::registry_root_t root;
};

const registry_root_name_t ROOTS[] = {
    {"HKEY_CLASSES_ROOT", platform::REGISTRY_ROOT_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", platform::REGISTRY_ROOT_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", platform::REGISTRY_ROOT_LOCAL_MACHINE},
    {"HKEY_USERS", platform::REGISTRY_ROOT_USERS},
};

const registry_root_name_t* find_root(const char* name) {
  for (const registry_root_name_t& root : ROOTS) {
    if (std::strcmp(root.name, name) == 0) return &root;
  }
  return nullptr;
}

// Splits "ROOT\sub\key" at its first '\'; false when either side would be empty.
bool split_key_path(const path_string_t& key_path, path_string_t& root, path_string_t& sub_key) {
  const char* text = key_path.c_str();
  const char* separator = std::strchr(text, '\\');
  if (!separator || separator == text || separator[1] == 0) return false;
  return root.assign(text, (u64)(separator - text)) && sub_key.assign(separator + 1);
}

bool query_u32(platform::registry_key_t key, const char* value_name, u32* value) {
  u32 type = platform::REGISTRY_TYPE_NONE;
  u32 data = 0;
  u32 size = sizeof(data);
  if (!platform::registry_query_value(key, value_name, &type, &data, &size)) {
    log_error("[reg] Failed to get registry value '%s'.", value_name);
    return false;
  }
  if (type != platform::REGISTRY_TYPE_DWORD) {
    log_error("[reg] Registry value '%s' had incorrect type - expected integer with size %zu bytes.", value_name,
              sizeof(u32));
    return false;
  }
  if (size != sizeof(u32)) {
    log_error("[reg] Registry value '%s' had incorrect size - expected integer with size %zu bytes.", value_name,
              sizeof(u32));
    return false;
  }
  *value = data;
  return true;
}

}  // namespace

bool registry_read_u32(const char* value_path, u32* value) {
  const char* separator = std::strrchr(value_path, '\\');
  if (!separator || separator == value_path || separator[1] == 0) {
    log_error("[reg] Invalid value path '%s'.", value_path);
    return false;
  }
  path_string_t key_path;
  path_string_t value_name;
  if (!key_path.assign(value_path, (u64)(separator - value_path)) || !value_name.assign(separator + 1)) {
    log_error("[reg] Invalid absolute value name '%s'.", value_path);
    return false;
  }
  path_string_t root_name;
  path_string_t sub_key;
  if (!split_key_path(key_path, root_name, sub_key)) {
    log_error("[reg] Invalid registry key path '%s'.", key_path.c_str());
    return false;
  }
  const registry_root_name_t* root = find_root(root_name.c_str());
  if (!root) {
    log_error("[reg] Registry root key name '%s' from key path '%s' did not match any known registry root.",
              root_name.c_str(), key_path.c_str());
    return false;
  }
  platform::registry_key_t key = 0;
  if (!platform::registry_open_key(root->root, sub_key.c_str(), &key)) {
    log_error("[reg] Failed to open registry sub key '%s'.", sub_key.c_str());
    log_error("[reg] Failed to open key '%s' under tree '%s'.", sub_key.c_str(), root->name);
    return false;
  }
  bool ok = query_u32(key, value_name.c_str(), value);
  if (!platform::registry_close_key(key)) log_error("[reg] Failed to close registry key.");
  return ok;
}

}  // namespace umbra
