// The hash-sorted entry table of a new archive and the directory listings that name
// every visible child.
#pragma once

#include <string>
#include <unordered_map>

#include "tools/packer/path_entries.h"
#include "umbracore/thread/locks.h"
#include "umbracore/ufs/cairn_format.h"

namespace umbra {

struct directory_listing_t {
  path_string_t path;  // relative path of the directory, "" for the root
  path_list_t names;   // stored names: "/name" for directories
  directory_listing_t* next = nullptr;
};

// All listings of one archive. Directory tasks look theirs up from worker threads.
class listing_registry_t {
 public:
  listing_registry_t() = default;
  ~listing_registry_t();
  listing_registry_t(const listing_registry_t&) = delete;
  listing_registry_t& operator=(const listing_registry_t&) = delete;

  // The listing of the directory, created empty when it has none yet; null only when
  // memory runs out.
  directory_listing_t* find_or_create_listing(const char* path);
  // Sorts every listing's names byte-wise.
  void sort_all();

 private:
  rw_lock_t lock_;
  std::unordered_map<std::string, directory_listing_t*> by_path_;
  directory_listing_t* head_ = nullptr;
  directory_listing_t* tail_ = nullptr;
};

using entry_table_t = array_dyn_t<cairn_v2_entry_t>;

// Hashes every path entry into the table (sorted by hash), points each path entry at
// its record and fills the listings. False after an error line for a path or a name
// the format cannot hold.
bool build_entry_table(path_entries_t& entries, entry_table_t& table, listing_registry_t& listings);
// False after "Fatal, hash entry collision detected!" when two records share a hash.
bool check_collisions(const entry_table_t& table);

}  // namespace umbra
