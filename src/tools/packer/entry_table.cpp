#include "tools/packer/entry_table.h"

#include <algorithm>
#include <cstring>

#include "tools/packer/packer_profiling.h"
#include "umbracore/log/log.h"
#include "umbracore/ufs/cairn_path_hash.h"

namespace umbra {

listing_registry_t::~listing_registry_t() {
  while (head_) {
    directory_listing_t* next = head_->next;
    delete head_;
    head_ = next;
  }
}

directory_listing_t* listing_registry_t::find_or_create_listing(const char* path) {
  exclusive_lock_guard_t guard(lock_);
  auto found = by_path_.find(path);
  if (found != by_path_.end()) return found->second;
  directory_listing_t* listing = new (std::nothrow) directory_listing_t();
  if (!listing) return nullptr;
  listing->path.assign(path);
  by_path_.emplace(path, listing);
  if (tail_) {
    tail_->next = listing;
  } else {
    head_ = listing;
  }
  tail_ = listing;
  return listing;
}

void listing_registry_t::sort_all() {
  exclusive_lock_guard_t guard(lock_);
  for (directory_listing_t* listing = head_; listing; listing = listing->next)
    std::sort(listing->names.begin(), listing->names.end(), path_less);
}

namespace {

// Splits at the last '/'; parent "" when there is none or it is the first character.
void split_parent(const path_string_t& path, path_string_t& parent, const char** name) {
  const char* text = path.c_str();
  const char* slash = std::strrchr(text, '/');
  if (!slash) {
    parent.clear();
    *name = text;
    return;
  }
  parent.assign(text, slash == text ? 0 : (u64)(slash - text));
  *name = slash + 1;
}

bool add_to_listing(const path_entry_v2_t& entry, listing_registry_t& listings) {
  path_string_t parent;
  const char* name;
  split_parent(entry.path, parent, &name);
  path_string_t stored;
  bool fits = entry.is_directory ? stored.format("/%s", name) : stored.assign(name);
  if (!fits || *name == 0) {
    log_error("Name of '%s' is empty or longer than 255 bytes and cannot be stored!", entry.path.c_str());
    return false;
  }
  directory_listing_t* listing = listings.find_or_create_listing(parent.c_str());
  if (!listing || !listing->names.append(stored)) {
    log_error("Out of memory while building directory listings!");
    return false;
  }
  return true;
}

}  // namespace

bool build_entry_table(path_entries_t& entries, entry_table_t& table, listing_registry_t& listings) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "hash paths");
  if (!table.request_capacity(entries.count())) {
    log_error("Out of memory while building the entry table!");
    return false;
  }
  for (const path_entry_v2_t& entry : entries) {
    cairn_v2_entry_t record{};
    record.hash = cairn_hash_relative_path(entry.path.c_str(), entry.path.length(), 0);
    record.flags = entry.is_directory ? CAIRN_V2_ENTRY_FLAG_DIRECTORY : 0;
    table.append(record);
  }
  std::sort(table.begin(), table.end(),
            [](const cairn_v2_entry_t& a, const cairn_v2_entry_t& b) { return a.hash < b.hash; });
  for (path_entry_v2_t& entry : entries) {
    u64 hash = cairn_hash_relative_path(entry.path.c_str(), entry.path.length(), 0);
    const cairn_v2_entry_t* found = std::lower_bound(
        table.begin(), table.end(), hash, [](const cairn_v2_entry_t& e, u64 h) { return e.hash < h; });
    entry.entry_index = table.index_of(found);
  }
  for (const path_entry_v2_t& entry : entries) {
    if (entry.path.empty() || entry.hidden) continue;
    if (!add_to_listing(entry, listings)) return false;
  }
  listings.sort_all();
  return true;
}

bool check_collisions(const entry_table_t& table) {
  for (u64 i = 1; i < table.count(); ++i) {
    if (table[i - 1].hash == table[i].hash) {
      log_error("Fatal, hash entry collision detected!");
      return false;
    }
  }
  return true;
}

}  // namespace umbra
