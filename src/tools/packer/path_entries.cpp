#include "tools/packer/path_entries.h"

#include <algorithm>
#include <cstring>

#include "tools/packer/packer_profiling.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/path.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

namespace {

constexpr u32 EXTENSION_KEY_BYTES = 32;

}  // namespace

bool path_entry_less(const path_entry_v2_t& a, const path_entry_v2_t& b) {
  if (a.is_directory != b.is_directory) return a.is_directory < b.is_directory;
  const char* ea = path_extension(a.path.c_str(), a.path.length());
  const char* eb = path_extension(b.path.c_str(), b.path.length());
  const u64 la = a.path.c_str() + a.path.length() - ea;
  const u64 lb = b.path.c_str() + b.path.length() - eb;
  int c = compare_bytes(ea, std::min<u64>(la, EXTENSION_KEY_BYTES), eb, std::min<u64>(lb, EXTENSION_KEY_BYTES));
  if (c != 0) return c < 0;
  return compare_bytes(a.path, b.path) < 0;
}

bool build_path_entries(path_entries_t& entries, const source_lists_t& lists, const char* root) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "stat paths");
  if (!entries.request_capacity(lists.files.count())) {
    log_error("Out of memory while collecting paths!");
    return false;
  }
  fs_device_t* device = fs_get_system_device();
  for (const path_string_t& path : lists.files) {
    system_path_string_t full;
    fs_stat_t st;
    if (!join_root(full, root, path.c_str()) || !device->stat(full.c_str(), &st) ||
        (st.kind != FS_KIND_FILE && st.kind != FS_KIND_DIRECTORY)) {
      log_error("*** Failed to stat %s!", path.c_str());
      return false;
    }
    path_entry_v2_t entry;
    entry.path = path;
    entry.is_directory = st.kind == FS_KIND_DIRECTORY ? 1 : 0;
    entry.size = entry.is_directory ? 0 : st.size;
    entry.hidden = sorted_list_contains(lists.hidden, path.c_str()) ? 1 : 0;
    entries.append(entry);
  }
  return true;
}

void sort_path_entries(path_entries_t& entries) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "sort paths");
  // Sort references rather than the 270-byte records themselves.
  array_dyn_t<u32> order;
  order.resize(entries.count());
  for (u64 i = 0; i < entries.count(); ++i) order[i] = (u32)i;
  std::sort(order.begin(), order.end(),
            [&entries](u32 a, u32 b) { return path_entry_less(entries[a], entries[b]); });
  path_entries_t sorted;
  sorted.request_capacity(entries.count());
  for (u32 index : order) sorted.append(entries[index]);
  entries = std::move(sorted);
}

}  // namespace umbra
