#include "tools/packer/source_lists.h"

#include <algorithm>
#include <cstring>

#include "tools/packer/packer_profiling.h"
#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/platform_path.h"
#include "umbracore/strings/path.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

namespace {

constexpr u64 LIST_CAPACITY = 65535;

void reserve_list(path_list_t& list) {
  u64 capacity = list.capacity();
  if (capacity == 0) {
    capacity = LIST_CAPACITY;
  } else {
    while (capacity < LIST_CAPACITY) capacity *= 2;
  }
  list.request_capacity(capacity);
}

bool append_path(path_list_t& list, const char* path, u64 length) {
  path_string_t entry;
  entry.assign(path, length);
  if (!list.append(entry)) {
    log_error("Out of memory while collecting paths!");
    return false;
  }
  return true;
}

bool ends_with_dds(const char* text, u64 length) { return length >= 4 && std::memcmp(text + length - 4, ".dds", 4) == 0; }

bool read_whole_file(const char* path, array_dyn_t<char>& content) {
  auto_ptr_t<file_t> file;
  if (!fs_open(file, path, FS_MODE_READ_ONLY, FS_DEVICE_SYSFS)) {
    log_error("Failed to open (%s)", path);
    return false;
  }
  fs_stat_t st;
  if (!file->stat(&st)) return false;
  if (!content.resize(st.size + 2)) {
    log_error("Out of memory reading '%s'!", path);
    return false;
  }
  if (!file->read_at(content.data(), st.size, 0)) return false;
  content[st.size] = 0;
  content[st.size + 1] = 0;
  return true;
}

void append_all(path_list_t& to, const path_list_t& from) {
  for (const path_string_t& p : from) to.append(p);
}

// Directories on the way down from the root, to notice a link that leads back up.
struct scan_context_t {
  source_lists_t& lists;
  const char* root;
  array_dyn_t<platform::file_identity_t> ancestors;
};

bool is_excluded(const source_lists_t& lists, const path_string_t& path) {
  for (const path_string_t& excluded : lists.excluded)
    if (excluded.equals(path.c_str())) return true;
  return false;
}

bool scan(scan_context_t& context, const path_string_t& d);

bool make_child_path(path_string_t& child, const path_string_t& d, const char* name) {
  bool fits = d.empty() ? child.assign(name) : child.format("%s/%s", d.c_str(), name);
  if (!fits) {
    log_error("Path '%s/%s' is longer than 255 bytes and cannot be stored!", d.c_str(), name);
    return false;
  }
  if (std::strchr(name, '\\')) {
    // Archives treat a backslash as a separator, so such a name would land elsewhere.
    log_error("Name of '%s' contains a backslash, which archives treat as a path separator!", child.c_str());
    return false;
  }
  return true;
}

bool scan_children(scan_context_t& context, const path_string_t& d, const fs_dir_list_t& children) {
  context.lists.skipped_names += children.skipped;
  for (u64 i = 0; i < children.count(); ++i) {
    const fs_dir_entry_t& child = children[i];
    if (child.name.ends_with(".dds")) {
      ++context.lists.skipped_names;
      continue;
    }
    path_string_t child_path;
    if (!make_child_path(child_path, d, child.name.c_str())) return false;
    if (is_excluded(context.lists, child_path)) continue;
    if (child.kind == FS_KIND_FILE) {
      if (!append_path(context.lists.files, child_path.c_str(), child_path.length())) return false;
    } else if (child.kind == FS_KIND_DIRECTORY) {
      if (!scan(context, child_path)) return false;
    }
  }
  return true;
}

bool scan(scan_context_t& context, const path_string_t& d) {
  if (!append_path(context.lists.files, d.c_str(), d.length())) return false;
  system_path_string_t full;
  if (!join_root(full, context.root, d.c_str())) {
    log_error("Path '%s' is longer than 255 bytes and cannot be stored!", d.c_str());
    return false;
  }
  platform::file_identity_t identity;
  if (platform::file_identity(full.c_str(), &identity)) {
    for (const auto& ancestor : context.ancestors) {
      if (ancestor == identity) {
        log_error("Directory '%s' leads back to one of its parents (a link loop)!", full.c_str());
        return false;
      }
    }
  }
  auto_ptr_t<fs_dir_list_t> children = fs_get_system_device()->read_dir(full.c_str());
  if (!children) {
    log_error("Unable to read directory '%s'!", full.c_str());
    return false;
  }
  context.ancestors.append(identity);
  bool ok = scan_children(context, d, *children);
  context.ancestors.resize(context.ancestors.count() - 1);
  return ok;
}

}  // namespace

bool path_less(const path_string_t& a, const path_string_t& b) { return compare_bytes(a, b) < 0; }

void sort_and_unique(path_list_t& list) {
  std::sort(list.begin(), list.end(), path_less);
  u64 kept = 0;
  for (u64 i = 0; i < list.count(); ++i) {
    if (kept > 0 && compare_bytes(list[kept - 1], list[i]) == 0) continue;
    if (kept != i) list[kept] = list[i];
    ++kept;
  }
  list.resize(kept);
}

bool sorted_list_contains(const path_list_t& list, const char* path) {
  path_string_t key(path);
  return std::binary_search(list.begin(), list.end(), key, path_less);
}

bool join_root(system_path_string_t& out, const char* root, const char* relative) {
  if (!root || !*root) return out.assign(*relative ? relative : ".");
  if (!*relative) return out.assign(root);
  return out.format("%s/%s", root, relative);
}

bool parse_list_lines(const char* text, u64 size, const char* list_path, path_list_t& list) {
  u64 line_start = 0;
  bool any_line = false;
  for (u64 i = 0; i + 1 < size; ++i) {
    if (text[i] != '\r' || text[i + 1] != '\n') continue;
    const char* line = text + line_start;
    u64 length = i - line_start;
    line_start = i + 2;
    ++i;
    any_line = true;
    if (length == 0) continue;
    if (path_is_separator(line[0])) {
      ++line;
      --length;
    }
    if (ends_with_dds(line, length)) continue;
    if (length > 255 || std::memchr(line, 0, length)) {
      log_error("Path in list file '%s' is longer than 255 bytes or holds a zero byte and cannot be stored!",
                list_path);
      return false;
    }
    // Archives separate with '/' alone; a list written on Windows may use '\'.
    char normalized[256];
    for (u64 c = 0; c < length; ++c) normalized[c] = line[c] == '\\' ? '/' : line[c];
    // A line "/" names the root itself, the empty path.
    if (!append_path(list, normalized, length)) return false;
  }
  if (!any_line && size > 0)
    log_warning("No lines found in list file '%s': every line must end with CR LF.", list_path);
  return true;
}

bool read_list_option(const char* option, path_list_t& list) {
  list.clear();
  reserve_list(list);
  if (cdl_param(option) == CDL_NOT_FOUND) return true;
  if (cdl_argc() < 2) {
    log_error("Missing %s argument", option);
    return false;
  }
  const char* path = cdl_argv();
  array_dyn_t<char> content;
  if (!read_whole_file(path, content)) return false;
  if (!parse_list_lines(content.data(), content.count() - 2, path, list)) return false;
  sort_and_unique(list);
  return true;
}

bool scan_directory(source_lists_t& lists, const char* root, const char* d) {
  scan_context_t context{lists, root, {}};
  path_string_t start(d);
  return scan(context, start);
}

bool read_lists(source_lists_t& lists, const char* root) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "scan");
  reserve_list(lists.files);
  if (!read_list_option("-list", lists.files)) return false;
  if (!read_list_option("-hide-list", lists.hidden)) return false;
  append_all(lists.files, lists.hidden);
  if (!read_list_option("-compress-list", lists.compress)) return false;
  append_all(lists.files, lists.compress);
  if (lists.files.empty()) {
    system_path_string_t full;
    join_root(full, root, "");
    if (!fs_get_system_device()->is_dir(full.c_str())) {
      log_error("Source root '%s' is not a directory!", full.c_str());
      return false;
    }
    if (!scan_directory(lists, root, "")) return false;
  }
  sort_and_unique(lists.files);
  return true;
}

}  // namespace umbra
