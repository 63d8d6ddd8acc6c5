#include "tools/packer/extract_walk.h"

#include <cstring>
#include <string>
#include <unordered_set>

#include "tools/packer/extract_selection.h"
#include "tools/packer/extracted_path.h"
#include "tools/packer/packer_profiling.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/strings/path.h"
#include "umbracore/ufs/cairn_device_factory.h"
#include "umbracore/ufs/sysfs_device.h"

namespace umbra {

namespace {

struct walk_node_t {
  mstring_t path;
  u32 kind = FS_KIND_NONE;
  // The walk created the directory this node's target lies in.
  bool parent_made = false;
};

// The directory's target below the destination: the root itself for the root node.
bool directory_target(const char* root, const mstring_t& relative, mstring_t& target) {
  if (relative.empty()) return target.assign(root);
  return path_join(target, root, relative.c_str());
}

// One level below a directory the walk made already: the system device's mkdir would
// look at (and try to create) every parent again.
bool make_one_level(const mstring_t& target) {
  sysfs_device_t* system_device = dynamic_cast<sysfs_device_t*>(fs_get_system_device());
  if (!system_device) return fs_get_system_device()->mkdir(target.c_str());
  system_path_string_t platform_path;
  return system_device->translate(platform_path, target.c_str()) &&
         system_device->get_platform()->create_directory(platform_path.c_str(), target.c_str());
}

bool create_directory(const char* root, const walk_node_t& node) {
  mstring_t relative;
  if (!vet_extracted_directory(node.path, relative)) return false;
  mstring_t target;
  bool made = directory_target(root, relative, target) &&
              (node.parent_made ? make_one_level(target) : fs_get_system_device()->mkdir(target.c_str()));
  if (!made) {
    log_error("Failed to create directory '%s'!", shown_name_t(target.c_str()).c_str());
    return false;
  }
  return true;
}

// Whether child_path names an entry directly inside parent_path: one more component,
// with no separator of its own.
bool is_direct_child(const mstring_t& parent_path, const char* child_path) {
  u64 length = parent_path.length();
  if (std::strncmp(child_path, parent_path.c_str(), length) != 0) return false;
  const char* name = child_path + length;
  if (length > 0 && !path_ends_with_separator(parent_path.c_str(), length)) {
    if (*name != '/') return false;
    ++name;
  }
  return *name != 0 && std::strpbrk(name, "/\\") == nullptr;
}

// Each directory entry is walked once: listings that name a directory again (a loop,
// or paths so long that they share their hashed form) would otherwise never end.
bool first_visit(fs_device_t* device, const mstring_t& path, std::unordered_set<s64>& visited) {
  fs_stat_t st;
  if (!device->stat(path.c_str(), &st)) return true;  // read_dir reports the missing entry
  if (visited.insert(st.entry_index).second) return true;
  log_error("Directory '%s' is listed more than once; the archive's listings form a loop!",
            shown_name_t(path.c_str()).c_str());
  return false;
}

}  // namespace

auto_ptr_t<fs_device_t> mount_for_extraction(auto_ptr_t<file_t>& archive) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "mount");
  auto_ptr_t<fs_device_t> device(open_cairn_device(archive));
  if (!device || !device->is_available()) {
    log_error("Failed to mount the archive!");
    return auto_ptr_t<fs_device_t>();
  }
  if (!device->stat("/", nullptr)) {
    log_error("Root directory not found, can not extract this archive!");
    return auto_ptr_t<fs_device_t>();
  }
  return device;
}

auto_ptr_t<fs_dir_list_t> read_dir_paths(fs_device_t* device, const char* directory_path) {
  auto_ptr_t<fs_dir_list_t> listing = device->read_dir(directory_path);
  if (!listing) return listing;
  auto_ptr_t<fs_dir_list_t> paths(new fs_dir_list_t());
  for (u64 i = 0; i < listing->count(); ++i) {
    const fs_dir_entry_t& child = (*listing)[i];
    if (child.name.empty()) {
      // An empty name would join to the directory itself and walk it again.
      log_error("Directory '%s' lists an entry with an empty name!", shown_name_t(directory_path).c_str());
      return auto_ptr_t<fs_dir_list_t>();
    }
    mstring_t path;
    if (!path_join(path, directory_path, child.name.c_str()) || !paths->add(path.c_str(), child.kind))
      return auto_ptr_t<fs_dir_list_t>();
  }
  return paths;
}

namespace {

// One walk of the listings from a start directory; with a selection, only what it
// selects is handed on, and directories are made for selected entries only.
class walker_t {
 public:
  walker_t(fs_device_t* device, const char* destination_root, extract_visitor_t& visitor,
           extract_selection_t* selection)
      : device_(device), root_(destination_root), visitor_(visitor), selection_(selection) {}

  bool walk_from(const char* start, bool start_made) {
    array_dyn_t<walk_node_t> queue;
    walk_node_t start_node;
    start_node.path.assign(start);
    start_node.kind = FS_KIND_DIRECTORY;
    start_node.parent_made = start_made;
    queue.append(std::move(start_node));
    for (u64 head = 0; head < queue.count(); ++head) {
      // Copy: appending below may move the queue's storage.
      walk_node_t node;
      node.path = queue[head].path;
      node.kind = queue[head].kind;
      node.parent_made = queue[head].parent_made;
      queue[head].path.release_storage();
      if (node.kind != FS_KIND_DIRECTORY) {
        if (!visit_file(node)) return false;
        continue;
      }
      if (selection_ && !selection_->may_hold_selected(node.path.c_str())) continue;
      if (!first_visit(device_, node.path, visited_)) return false;
      const bool made = !selection_ || node.path.equals("/") || selection_->selects_directory(node.path.c_str());
      if (made && !make_directory(node)) return false;
      if (selection_) selection_->note_directory(node.path.c_str());
      auto_ptr_t<fs_dir_list_t> children = read_dir_paths(device_, node.path.c_str());
      if (!children) {
        log_error("Unable to read content of directory '%s'!", shown_name_t(node.path.c_str()).c_str());
        return false;
      }
      for (u64 i = 0; i < children->count(); ++i) {
        walk_node_t child;
        child.path = (*children)[i].name;
        child.kind = (*children)[i].kind;
        child.parent_made = made && is_direct_child(node.path, child.path.c_str());
        if (!queue.append(std::move(child))) {
          log_error("Out of memory while walking the archive!");
          return false;
        }
      }
    }
    return true;
  }

  // A file the selection names but no listing reaches: a hidden entry, found by hash.
  bool visit_hidden_file(const mstring_t& path) {
    walk_node_t node;
    node.path = path;
    node.kind = FS_KIND_FILE;
    return visit_file(node);
  }

 private:
  bool make_directory(const walk_node_t& node) {
    if (!create_directory(root_, node)) return false;
    if (selection_) made_.insert(node.path.c_str());
    return true;
  }

  bool visit_file(const walk_node_t& node) {
    if (selection_) {
      if (!selection_->selects_file(node.path.c_str())) return true;
      if (!node.parent_made && !make_parent(node.path)) return false;
    }
    return visitor_.on_file(node.path);
  }

  // The parent of a selected file whose directory the walk did not make for its own sake.
  bool make_parent(const mstring_t& path) {
    // Up to the last separator; the root when that is the first byte or there is none.
    const u64 name_offset = path_last_component_offset(path.c_str(), path.length());
    walk_node_t parent;
    if (name_offset <= 1) {
      parent.path.assign("/");
    } else {
      parent.path.assign(path.c_str(), name_offset - 1);
    }
    if (made_.count(parent.path.c_str())) return true;
    return make_directory(parent);
  }

  fs_device_t* device_;
  const char* root_;
  extract_visitor_t& visitor_;
  extract_selection_t* selection_;
  std::unordered_set<s64> visited_;
  std::unordered_set<std::string> made_;
};

// Named paths that no listing reaches may still be entries: hidden ones.
bool walk_hidden_named(fs_device_t* device, walker_t& walker, extract_selection_t& selection) {
  array_dyn_t<mstring_t> unreached;
  selection.unreached_paths(unreached);
  for (const mstring_t& path : unreached) {
    fs_stat_t st;
    if (!device->stat(path.c_str(), &st)) continue;
    bool ok = st.kind == FS_KIND_DIRECTORY ? walker.walk_from(path.c_str(), false) : walker.visit_hidden_file(path);
    if (!ok) return false;
    selection.mark_found(path.c_str());
  }
  return true;
}

}  // namespace

bool extract_walk(fs_device_t* device, const char* destination_root, extract_visitor_t& visitor,
                  extract_selection_t* selection) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "walk");
  if (selection && selection->selects_everything()) selection = nullptr;
  walker_t walker(device, destination_root, visitor, selection);
  if (!walker.walk_from("/", false)) return false;
  return !selection || walk_hidden_named(device, walker, *selection);
}

}  // namespace umbra
