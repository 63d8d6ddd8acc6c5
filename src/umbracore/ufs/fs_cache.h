// The small file cache in front of read-only opens: files the engine opens over and
// over (".qdf", ".qdi") are loaded into memory once, in the background, and every open
// of the same path on the same device type gets a read-only view (cache_file_t) of
// that copy. Opens that write drop the copy of their path first, and any mount or
// unmount makes the cached copies of the affected devices go away.
#pragma once

#include <atomic>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/thread/locks.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

// Of a ".dds" path only the header part is worth keeping.
constexpr u64 FS_CACHE_DDS_LOAD_LIMIT = 256;

// One cached file. Shared by the cache and by every cache_file_t on it; freed when
// the last of them lets go.
struct cache_entry_t {
  path_string_t path;
  u64 path_hash = 0;
  u32 device_type = FS_DEVICE_NONE;
  u8* data = nullptr;
  u64 size = 0;
  std::atomic<u64> last_use{0};     // the cache clock at the last open
  std::atomic<u32> use_count{0};    // open cache files on this entry
  std::atomic<u32> references{0};   // the cache's own (while listed) and one per file
  u16 device_id = FS_DEVICE_ID_NONE;

  // The load while it runs: the open source and its read (lock).
  mutex_t lock;
  auto_ptr_t<file_t> source;
  fs_io_request_t* pending = nullptr;
  bool loaded = false;
};

// A read-only view on a cache entry.
class cache_file_t final : public file_t {
 public:
  // Takes over one use and one reference of entry, already counted by the cache.
  cache_file_t(cache_entry_t* entry, u32 opened_device_type);
  ~cache_file_t() override;

  bool stat(fs_stat_t* out) override;
  bool uses_read_cache() override { return false; }
  // Waits for the load, then copies from the cached bytes; the shared completed
  // request is returned. Null when the load failed or the range is not all there.
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32 flag) override;
  // Stops the process: a cached file is never written.
  fs_io_request_t* io_write(const void* buffer, u64 size, u64 offset) override;
  bool io_poll(fs_io_request_t* request) override { return request == fs_completed_request(); }
  bool io_wait(fs_io_request_t* request) override { return request == fs_completed_request(); }
  void io_release(fs_io_request_t* request) override {}
  bool get_path(string& out) override;
  bool get_ufs_path(string& out) override;
  void get_debug_name(string& out) override;
  u16 get_device_id() override;

  cache_entry_t* get_entry() const { return entry_; }

 private:
  cache_entry_t* entry_;
};

// The tool's general open (fs_open): read-only opens of cached or cacheable paths are
// served from the cache, opens that write drop the cached copy of the path first;
// everything else goes to fs_device_open. While the cache does not run, it is
// fs_device_open.
bool fs_cache_open(auto_ptr_t<file_t>& out, const char* path, u32 mode, u32 device_type);
// Drops the cached copies of path on every device type (finishing a pending load).
void fs_cache_drop(const char* path);

// Whether a read-only open of path loads it into the cache.
bool fs_cache_is_cacheable(const char* path);
// How many bytes of a file of file_size bytes the cache keeps.
u64 fs_cache_load_size(const char* path, u64 file_size);

// Starts watching the mount tracker; false when it has no room for another observer
// (the cache then stays off). Shutdown stops watching and empties the cache.
bool fs_cache_startup();
void fs_cache_shutdown();
bool fs_cache_is_running();
// Drops every entry.
void fs_cache_clear();

// For tests and diagnostics.
u32 fs_cache_entry_count();
// The use count of the entry of path on device_type; 0 when it is not cached.
u32 fs_cache_use_count(const char* path, u32 device_type);

}  // namespace umbra
