// Open files of the unified file system. Every device hands out its files as file_t;
// reads and writes are requests that the caller starts and then waits for, and the
// sequential operations (read, write, read_at) are built on top of those requests.
#pragma once

#include <atomic>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/profiling/stat_counter.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

// Device types: which device family a file or a path belongs to.
enum fs_device_type_t : u32 {
  FS_DEVICE_NONE = 0,   // "UNKNOWNFS"
  FS_DEVICE_UFS = 1,    // the unified device, root of all mounts
  FS_DEVICE_SYSFS = 2,  // the system file device
};

// "UNKNOWNFS", "UFS", "SYSFS", or "BADFS" for any other value.
const char* fs_device_type_name(u32 device_type);

// Open modes.
enum fs_open_mode_t : u32 {
  FS_MODE_READ_ONLY = 0,
  FS_MODE_CREATE_NEW = 1,
  FS_MODE_CREATE_TRUNCATE = 2,
  FS_MODE_CREATE_OR_READ_WRITE = 3,
  FS_MODE_ATOMIC = 4,  // only the system device supports it
};

// "read_only", "create_new", "create_truncate", "create_or_read_write", else "unknown".
const char* fs_open_mode_name(u32 mode);

// Whether a mode may change the file system (every mode but read_only).
inline bool fs_mode_writes(u32 mode) { return mode >= FS_MODE_CREATE_NEW && mode <= FS_MODE_ATOMIC; }

enum fs_stat_kind_t : u32 {
  FS_KIND_NONE = 0,  // neither file nor directory
  FS_KIND_FILE = 1,
  FS_KIND_DIRECTORY = 2,
};

struct fs_stat_t {
  u32 kind = FS_KIND_NONE;
  u64 time = 0;         // seconds since 1970-01-01 UTC, 0 when the device has none
  u64 size = 0;
  u64 stored_size = 0;  // equal to size for plain files
  u64 device_reference = 0;
  s64 entry_index = -1;
};

// Request states shared by every kind of request.
enum fs_io_state_t : u32 {
  FS_IO_STATE_IDLE = 0,
  FS_IO_STATE_QUEUED = 1,
  FS_IO_STATE_IN_FLIGHT = 2,
  FS_IO_STATE_FINISHED = 4,
};

// The part of an IO request that every producer shares: the platform layer's file
// requests, the IO server's chunk requests and the permanently finished request of
// synchronous files all start with it. The rest of a request is private to whoever
// created it; a request goes back to its creator through the same file or device.
struct fs_io_request_t {
  constexpr fs_io_request_t() = default;
  constexpr fs_io_request_t(u32 initial_state, u8 initial_success) : state(initial_state), success(initial_success) {}

  // Written with release order after success, so a reader that sees FS_IO_STATE_FINISHED
  // also sees the final success byte.
  std::atomic<u32> state{FS_IO_STATE_IDLE};
  std::atomic<u8> success{1};

  bool is_finished() const { return state.load(std::memory_order_acquire) == FS_IO_STATE_FINISHED; }
};

// The one permanently finished, successful request that synchronous files (memory
// files, cached files) hand out; waiting on it succeeds, releasing it does nothing.
fs_io_request_t* fs_completed_request();

// Completion callback of chunk requests (called once, on the thread that finishes them).
using fs_io_callback_t = void (*)(fs_io_request_t* request);

// Flag of io_read: the blocking reads of the sequential operations pass 1, the file
// cache's background load passes 0.
constexpr u32 FS_IO_FLAG_BLOCKING = 1;
constexpr u32 FS_IO_FLAG_BACKGROUND = 0;

constexpr u64 FS_READ_CACHE_SIZE = 8192;
constexpr u16 FS_DEVICE_ID_NONE = 0xFFFF;

class file_t {
 public:
  virtual ~file_t();

  // Metadata of the open file.
  virtual bool stat(fs_stat_t* out) { return false; }
  // Whether read() goes through the 8 KiB read cache.
  virtual bool uses_read_cache() { return true; }
  // Starts a read of size bytes at offset into buffer; null when it cannot start.
  virtual fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32 flag) { return nullptr; }
  // Starts a write of size bytes at offset; null when it cannot start.
  virtual fs_io_request_t* io_write(const void* buffer, u64 size, u64 offset) { return nullptr; }
  // write() at the position, then frees the malloc'ed buffer (only on success).
  virtual bool write_owned(void* buffer, u64 size);
  virtual bool io_poll(fs_io_request_t* request) { return false; }
  // Waits for the request, releases it and returns its success.
  virtual bool io_wait(fs_io_request_t* request) { return false; }
  // Gives a request back without waiting for it.
  virtual void io_release(fs_io_request_t* request) {}
  // Writes size bytes at offset and waits for them: a request waited on at once, which a
  // file may serve more cheaply on the calling thread.
  virtual bool write_at(const void* buffer, u64 size, u64 offset);
  virtual bool set_size(u64 size) { return false; }
  virtual bool get_path(string& out) = 0;
  // The name as seen through the unified device; false when not opened through it.
  virtual bool get_ufs_path(string& out) = 0;
  virtual void get_debug_name(string& out) = 0;
  virtual u16 get_device_id() { return FS_DEVICE_ID_NONE; }
  virtual bool commit_atomic();
  virtual bool cancel_atomic();

  // Sequential operations.
  bool read(void* buffer, u64 size);
  bool write(const void* buffer, u64 size);
  bool read_at(void* buffer, u64 size, u64 offset);
  // The file's size; a file that cannot be stat'ed stops the process. For files of
  // devices whose stat can fail (the system's files), find_size instead.
  u64 get_size();
  // The file's size in *out; false, after the same error line, when the file cannot be
  // stat'ed (a handle the system no longer answers for).
  bool find_size(u64* out);
  u64 get_position() const { return position; }
  void set_position(u64 new_position) { position = new_position; }
  u32 get_device_type() const { return device_type; }
  void set_device_type(u32 type) { device_type = type; }
  const mstring_t& get_name() const { return name; }

  file_t(const file_t&) = delete;
  file_t& operator=(const file_t&) = delete;

  mstring_t name;        // the path the device opened
  u64 position = 0;      // of read() and write()
  u32 device_type = FS_DEVICE_NONE;

 protected:
  file_t() = default;
  explicit file_t(const char* file_name) : name(file_name) {}

  void drop_read_cache();

 private:
  bool read_through_cache(u8* out, u64 size);

  u64 cache_length_ = 0;
  u64 cache_offset_ = 0;
  u8* cache_ = nullptr;  // FS_READ_CACHE_SIZE bytes, allocated on first use
};

// Copies from the source's position to its end into the destination at the
// destination's position, in blocks of at most 4096 bytes. The source's position is
// left unchanged; the destination's advances.
bool fs_copy(file_t* destination, file_t* source);
constexpr u64 FS_COPY_BLOCK_SIZE = 4096;

// Printable names for messages: "<NULL>" for no file.
path_string_t file_debug_name(file_t* file);
// Opens the path read-only on the device of that type to ask the file for its name;
// "<MISSING><%s>%s" when it cannot be opened.
path_string_t path_debug_name(const char* path, u32 device_type);

// Statistics of blocking block reads (read_at and fs_copy), process-wide.
constexpr const char* FS_COUNTER_BLOCK_READ_REQUESTS = "Block read requests";
constexpr const char* FS_COUNTER_BLOCK_FINISH_REQUESTS = "Block finish requests";
constexpr const char* FS_COUNTER_BLOCK_READ_BYTESIZE = "Block read bytesize";
constexpr const char* FS_COUNTER_BLOCK_FINISH_BYTESIZE = "Block finish bytesize";
struct fs_block_counters_t {
  stat_counter_t read_requests{FS_COUNTER_BLOCK_READ_REQUESTS};
  stat_counter_t finish_requests{FS_COUNTER_BLOCK_FINISH_REQUESTS};
  stat_counter_t read_bytesize{FS_COUNTER_BLOCK_READ_BYTESIZE};
  stat_counter_t finish_bytesize{FS_COUNTER_BLOCK_FINISH_BYTESIZE};
};
extern fs_block_counters_t fs_block_counters;
// Counts one successful blocking block read of size bytes in all four counters.
void fs_count_block_read(u64 size);

}  // namespace umbra
