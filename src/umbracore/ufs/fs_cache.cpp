// The file cache: the entry list, loading on a miss, the cached files, and dropping
// entries on writes, mount events and shutdown.
#include "umbracore/ufs/fs_cache.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "umbracore/log/assert.h"
#include "umbracore/ufs/cityhash.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_mount_tracker.h"

namespace umbra {

namespace {

bool path_ends_with(const char* path, const char* suffix) {
  size_t path_length = std::strlen(path);
  size_t suffix_length = std::strlen(suffix);
  return path_length >= suffix_length && std::memcmp(path + path_length - suffix_length, suffix, suffix_length) == 0;
}

// ---------------------------------------------------------------------------------
// Entries

// Finishes the load if it still runs; true when the entry holds its bytes.
bool finish_load(cache_entry_t* entry) {
  mutex_guard_t guard(entry->lock);
  if (entry->source) {
    entry->loaded = entry->source->io_wait(entry->pending);
    entry->pending = nullptr;
    entry->source.reset();
  }
  return entry->loaded;
}

void release_entry(cache_entry_t* entry) {
  if (entry->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The load writes into data until it is finished.
  finish_load(entry);
  std::free(entry->data);
  delete entry;
}

// A new entry with the source's load started, or null when it cannot be loaded (the
// source is then left with the caller).
cache_entry_t* start_load(auto_ptr_t<file_t>& source, const char* path, u32 device_type) {
  fs_stat_t info;
  if (!source->stat(&info)) return nullptr;
  u64 size = fs_cache_load_size(path, info.size);
  auto_ptr_t<cache_entry_t> entry(new cache_entry_t());
  if (!entry->path.assign(path)) return nullptr;
  entry->path_hash = cityhash64(entry->path.c_str(), entry->path.length());
  entry->device_type = device_type;
  entry->size = size;
  entry->device_id = source->get_device_id();
  if (size == 0) {
    entry->loaded = true;
    return entry.detach();
  }
  if (size > (u64)SIZE_MAX) return nullptr;
  entry->data = static_cast<u8*>(std::malloc((size_t)size));
  if (!entry->data) return nullptr;
  entry->pending = source->io_read(entry->data, size, 0, FS_IO_FLAG_BACKGROUND);
  if (!entry->pending) {
    std::free(entry->data);
    return nullptr;
  }
  entry->source.reset(source.detach());
  return entry.detach();
}

void discard_unlisted(cache_entry_t* entry) {
  finish_load(entry);
  std::free(entry->data);
  delete entry;
}

// ---------------------------------------------------------------------------------
// The cache

class cache_t final : public fs_mount_observer_t {
 public:
  void on_mount_event(u32 event, const u16* ids, u32 count) override {
    if (event == FS_MOUNT_EVENT_MOUNT) {
      // A new device may now answer for any cached path.
      clear();
    } else if (event == FS_MOUNT_EVENT_UNMOUNT) {
      drop_if([&](const cache_entry_t* entry) {
        if (entry->device_type != FS_DEVICE_UFS) return false;
        for (u32 i = 0; i < count; ++i) {
          if (ids[i] == entry->device_id) return true;
        }
        return false;
      });
    }
  }

  // The listed entry of path on device_type with one more use; null when absent.
  cache_entry_t* find_and_use(const char* path, u64 hash, u32 device_type) {
    mutex_guard_t guard(lock_);
    for (cache_entry_t* entry : entries_) {
      if (entry->path_hash == hash && entry->device_type == device_type && entry->path.equals(path)) {
        take_use(entry);
        return entry;
      }
    }
    return nullptr;
  }

  // Lists entry unless another thread listed the same path meanwhile; returns the
  // listed one with one more use. An entry that finds no room in the list is owned by
  // its one file alone.
  cache_entry_t* insert_or_use(cache_entry_t* entry) {
    mutex_guard_t guard(lock_);
    for (cache_entry_t* listed : entries_) {
      if (listed->path_hash == entry->path_hash && listed->device_type == entry->device_type &&
          listed->path.equals(entry->path.c_str())) {
        take_use(listed);
        return listed;
      }
    }
    if (entries_.append(entry)) entry->references.store(1, std::memory_order_relaxed);  // the cache's own
    take_use(entry);
    return entry;
  }

  // Takes entry out of the list if it is still there.
  void forget(cache_entry_t* entry) {
    drop_if([&](const cache_entry_t* listed) { return listed == entry; });
  }

  void drop_path(const char* path) {
    drop_if([&](const cache_entry_t* entry) { return entry->path.equals(path); });
  }

  void clear() {
    drop_if([](const cache_entry_t*) { return true; });
  }

  u32 count() {
    mutex_guard_t guard(lock_);
    return (u32)entries_.count();
  }

  u32 use_count(const char* path, u32 device_type) {
    mutex_guard_t guard(lock_);
    for (cache_entry_t* entry : entries_) {
      if (entry->device_type == device_type && entry->path.equals(path)) {
        return entry->use_count.load(std::memory_order_relaxed);
      }
    }
    return 0;
  }

  std::atomic<bool> running{false};

 private:
  void take_use(cache_entry_t* entry) {
    entry->use_count.fetch_add(1, std::memory_order_relaxed);
    entry->references.fetch_add(1, std::memory_order_relaxed);
    entry->last_use.store(clock_.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  // Unlists the matching entries, then finishes their loads outside the list's lock
  // (a pending load must not keep writing into a file that is about to change) and
  // lets go of the cache's references.
  template <class predicate_t>
  void drop_if(predicate_t matches) {
    array_dyn_t<cache_entry_t*> dropped;
    {
      mutex_guard_t guard(lock_);
      for (u64 i = entries_.count(); i-- > 0;) {
        cache_entry_t* entry = entries_[i];
        if (!matches(entry)) continue;
        bool kept = dropped.append(entry);
        UMBRA_ASSERT(kept, "%s", "Out of memory while dropping cache entries.");
        entries_.remove(i);
      }
    }
    for (cache_entry_t* entry : dropped) {
      finish_load(entry);
      release_entry(entry);
    }
  }

  mutex_t lock_;
  array_dyn_t<cache_entry_t*> entries_;
  std::atomic<u64> clock_{0};
};

cache_t& the_cache() {
  static cache_t cache;
  return cache;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Cached files

cache_file_t::cache_file_t(cache_entry_t* entry, u32 opened_device_type) : file_t(entry->path.c_str()), entry_(entry) {
  device_type = opened_device_type;
}

cache_file_t::~cache_file_t() {
  entry_->use_count.fetch_sub(1, std::memory_order_relaxed);
  release_entry(entry_);
}

bool cache_file_t::stat(fs_stat_t* out) {
  if (!out) return true;
  out->kind = FS_KIND_FILE;
  out->time = 0;
  out->size = entry_->size;
  out->stored_size = entry_->size;
  out->device_reference = 0;
  out->entry_index = -1;
  return true;
}

fs_io_request_t* cache_file_t::io_read(void* buffer, u64 size, u64 offset, u32 flag) {
  if (!finish_load(entry_)) {
    // Later opens load the file again instead of finding a broken copy.
    the_cache().forget(entry_);
    return nullptr;
  }
  if (offset > entry_->size || size > entry_->size - offset) return nullptr;
  if (size > 0) {
    if (!buffer) return nullptr;
    std::memcpy(buffer, entry_->data + offset, size);
  }
  return fs_completed_request();
}

fs_io_request_t* cache_file_t::io_write(const void* buffer, u64 size, u64 offset) {
  UMBRA_FAIL("%s", "cached files do not support write operation.");
}

bool cache_file_t::get_path(string& out) { return out.assign(entry_->path); }

bool cache_file_t::get_ufs_path(string& out) {
  if (device_type != FS_DEVICE_UFS) return false;
  return out.assign(entry_->path);
}

void cache_file_t::get_debug_name(string& out) { out.assign(path_debug_name(entry_->path.c_str(), device_type)); }

u16 cache_file_t::get_device_id() { return entry_->device_id; }

// ---------------------------------------------------------------------------------
// Opening

bool fs_cache_is_cacheable(const char* path) { return path_ends_with(path, ".qdf") || path_ends_with(path, ".qdi"); }

u64 fs_cache_load_size(const char* path, u64 file_size) {
  if (path_ends_with(path, ".dds") && file_size > FS_CACHE_DDS_LOAD_LIMIT) return FS_CACHE_DDS_LOAD_LIMIT;
  return file_size;
}

bool fs_cache_open(auto_ptr_t<file_t>& out, const char* path, u32 mode, u32 device_type) {
  cache_t& cache = the_cache();
  if (!cache.running.load(std::memory_order_acquire) || !path) return fs_device_open(out, path, mode, device_type);
  if (mode != FS_MODE_READ_ONLY) {
    cache.drop_path(path);
    return fs_device_open(out, path, mode, device_type);
  }
  out.reset();
  path_string_t key;
  // A path cut to fit could name another file: such paths are never cached.
  if (!key.assign(path)) return fs_device_open(out, path, mode, device_type);
  cache_entry_t* entry = cache.find_and_use(key.c_str(), cityhash64(key.c_str(), key.length()), device_type);
  if (!entry) {
    if (!fs_cache_is_cacheable(path)) return fs_device_open(out, path, mode, device_type);
    auto_ptr_t<file_t> source;
    if (!fs_device_open(source, path, mode, device_type)) return false;
    cache_entry_t* loading = start_load(source, path, device_type);
    if (!loading) {
      // Not loadable into memory (no memory, no read): the file itself serves.
      out.reset(source.detach());
      return true;
    }
    entry = cache.insert_or_use(loading);
    if (entry != loading) discard_unlisted(loading);
  }
  out.reset(new cache_file_t(entry, device_type));
  return true;
}

void fs_cache_drop(const char* path) {
  if (path) the_cache().drop_path(path);
}

// ---------------------------------------------------------------------------------
// Life cycle

bool fs_cache_startup() {
  cache_t& cache = the_cache();
  if (cache.running.load(std::memory_order_acquire)) return true;
  if (!fs_mount_tracker().attach_observer(&cache)) return false;
  cache.running.store(true, std::memory_order_release);
  return true;
}

void fs_cache_shutdown() {
  cache_t& cache = the_cache();
  if (!cache.running.exchange(false, std::memory_order_acq_rel)) return;
  fs_mount_tracker().detach_observer(&cache);
  cache.clear();
}

bool fs_cache_is_running() { return the_cache().running.load(std::memory_order_acquire); }

void fs_cache_clear() { the_cache().clear(); }

u32 fs_cache_entry_count() { return the_cache().count(); }

u32 fs_cache_use_count(const char* path, u32 device_type) { return the_cache().use_count(path, device_type); }

}  // namespace umbra
