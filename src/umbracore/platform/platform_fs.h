// The platform's file layer, in the shape of the Windows calls the file system was
// written against (overlapped CreateFileW handles, ReadFile/WriteFile through one IO
// completion port, GetFileAttributesExW, FindFirstFileW, ...). On Linux the port is a
// packet queue served by one pump thread, "IO_Pump", which issues every queued read and
// write: through io_uring, or through plain pread/pwrite when io_uring cannot be set up
// (or UMBRA_IO_BACKEND=pread asks for it). Blocking transfers (ReadFile/WriteFile
// without an OVERLAPPED structure) move their bytes on the calling thread instead.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/collections/intrusive_fifo.h"
#include "umbracore/strings/string.h"
#include "umbracore/thread/locks.h"
#include "umbracore/thread/thread.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

using platform_file_handle_t = s64;
constexpr platform_file_handle_t PLATFORM_INVALID_HANDLE = -1;

// How open_handle opens a path (the open modes 0-3 of the file system).
enum platform_open_kind_t : u32 {
  PLATFORM_OPEN_READ_ONLY = 0,          // existing file, read access, sequential scan
  PLATFORM_OPEN_CREATE_NEW = 1,         // must not exist yet
  PLATFORM_OPEN_CREATE_TRUNCATE = 2,    // what is there is deleted first, then created anew
  PLATFORM_OPEN_CREATE_OR_READ_WRITE = 3,
};

enum platform_io_kind_t : u32 {
  PLATFORM_IO_READ = 1,
  PLATFORM_IO_WRITE = 2,
};

enum platform_io_backend_t : u32 {
  PLATFORM_IO_BACKEND_AUTO = 0,  // UMBRA_IO_BACKEND ("uring" or "pread"), else io_uring when available
  PLATFORM_IO_BACKEND_URING = 1,
  PLATFORM_IO_BACKEND_PREAD = 2,
};

// At most this many requests are in flight; the rest wait in the pump's FIFO.
constexpr u32 PLATFORM_IO_MAX_IN_FLIGHT = 8;

struct platform_io_request_t;
using platform_io_callback_t = void (*)(platform_io_request_t* request, void* argument);

// Signalled once when its request finishes; reset when the request is recycled.
struct platform_event_t {
  mutex_t lock;
  condition_t condition;
  bool signalled = false;
  bool released = false;  // the owner gave the request back without waiting (io_release)
};

// One file read or write, pooled by the platform layer and recycled by wait_and_recycle
// or release. state and success live in the fs_io_request_t base.
struct platform_io_request_t : fs_io_request_t {
  u32 kind = 0;  // platform_io_kind_t
  platform_file_handle_t handle = PLATFORM_INVALID_HANDLE;
  u8* buffer = nullptr;
  u64 size = 0;
  u64 offset = 0;
  u64 transferred = 0;  // bytes moved so far; the pump continues short transfers
  bool transfer_failed = false;
  platform_io_callback_t callback = nullptr;
  void* callback_argument = nullptr;
  platform_event_t event;
  platform_io_request_t* next = nullptr;  // free list, packet queue or FIFO
  u8 trace_lane = 0xFF;                   // the pump's trace lane while in flight, 0xFF none
};

// What the pump reports after each pass, for tests and diagnostics.
struct platform_pump_stats_t {
  u32 in_flight = 0;       // started, not yet finished
  u32 queued = 0;          // waiting in the FIFO
  u32 peak_in_flight = 0;  // the highest in_flight ever seen
  u64 continued = 0;       // transfers that arrived short and were continued
  u64 passes = 0;
  bool stopping = false;   // the stop packet has arrived: what is in flight is seen to the end
};

class platform_io_engine_t;

// The seam through which a test watches and steers the pump: it may wrap the back end
// (to hold finished transfers back, or to make transfers fail) and hears the counts of
// every pass. The tool sets none. Set before init; the calls come on the pump thread.
class platform_pump_observer_t {
 public:
  virtual ~platform_pump_observer_t() = default;
  // The back end the pump is to use: engine itself, or a wrapper that takes it over.
  virtual platform_io_engine_t* wrap_engine(platform_io_engine_t* engine) { return engine; }
  // After every pass, and once more when the stop packet has been taken.
  virtual void pass_ended(const platform_pump_stats_t& stats) {}
};

class platform_fs_t {
 public:
  platform_fs_t();
  virtual ~platform_fs_t();

  // Starts the pump thread with the chosen back end; false when no back end works.
  virtual bool init(platform_io_backend_t backend = PLATFORM_IO_BACKEND_AUTO);
  // Stops the pump: requests still waiting in the FIFO finish with success 0, the ones
  // in flight are completed first.
  virtual void shutdown();
  // Paths are the translated UTF-8 paths of the system device; the process-wide prefix
  // is put in front. Anything but a regular file is refused.
  virtual platform_file_handle_t open_handle(const char* path, u32 kind);
  virtual void close_handle(platform_file_handle_t handle);
  virtual bool delete_file(const char* path);
  // Queue a transfer; null when the pump does not run. The callback runs on the pump
  // thread when the request finishes, before waiters wake.
  virtual platform_io_request_t* queue_read(platform_file_handle_t handle, void* buffer, u64 size, u64 offset,
                                            platform_io_callback_t callback, void* argument);
  virtual platform_io_request_t* queue_write(platform_file_handle_t handle, const void* buffer, u64 size, u64 offset,
                                             platform_io_callback_t callback, void* argument);
  // ReadFile/WriteFile without an OVERLAPPED structure: the bytes move on the calling
  // thread, for callers that would only sit waiting for the pump. True when every byte
  // moved (a file that ends first fails, as queued transfers do).
  virtual bool read_blocking(platform_file_handle_t handle, void* buffer, u64 size, u64 offset);
  virtual bool write_blocking(platform_file_handle_t handle, const void* buffer, u64 size, u64 offset);
  // The same read handed back as a request that has finished already, for interfaces
  // that return requests (a blocking io_read); null when no request can be had.
  virtual platform_io_request_t* read_completed(platform_file_handle_t handle, void* buffer, u64 size, u64 offset);
  // Waits for the request's event; returns its success.
  virtual bool wait(platform_io_request_t* request);
  // Waits, recycles the request and returns its success.
  virtual bool wait_and_recycle(platform_io_request_t* request);
  // Gives the request back without waiting: it is recycled when it finishes.
  virtual void release(platform_io_request_t* request);
  // Kind (1 file, 2 directory, 0 else), modification time, size.
  virtual bool stat_handle(platform_file_handle_t handle, fs_stat_t* out);
  virtual bool stat_path(const char* path, fs_stat_t* out);
  // One level; an existing directory is success. device_path names it in messages.
  virtual bool create_directory(const char* path, const char* device_path);
  virtual bool remove_directory(const char* path);
  virtual bool copy_file(const char* from, const char* to, bool overwrite);
  virtual bool move_file(const char* from, const char* to, bool overwrite);
  // Files and directories, without names that begin with '.' or '@'; empty when the
  // directory cannot be read or holds a name that is not valid UTF-8.
  virtual auto_ptr_t<fs_dir_list_t> read_dir(const char* path);
  virtual bool set_size(platform_file_handle_t handle, u64 size);
  // The process-wide prefix put in front of every path; false when it does not fit.
  virtual bool set_path_prefix(const char* prefix);

  bool is_running() const { return running_; }
  const char* backend_name() const;
  // Before init; null for none. The observer outlives the pump (shutdown or destruction).
  void set_pump_observer(platform_pump_observer_t* observer) { observer_ = observer; }

  platform_fs_t(const platform_fs_t&) = delete;
  platform_fs_t& operator=(const platform_fs_t&) = delete;

 private:
  friend struct platform_pump_t;

  platform_io_request_t* queue_request(u32 kind, platform_file_handle_t handle, u8* buffer, u64 size, u64 offset,
                                       platform_io_callback_t callback, void* argument);
  platform_io_request_t* take_free_request();
  void recycle(platform_io_request_t* request);
  bool post(platform_io_request_t* request);
  void finish(platform_io_request_t* request, bool success);
  static void pump_entry(void* argument);
  void pump_loop();

  bool running_ = false;
  thread::thread_t pump_thread_;
  platform_io_engine_t* engine_ = nullptr;
  platform_pump_observer_t* observer_ = nullptr;

  // Free list of recycled requests; every request ever made, for the destructor.
  mutex_t free_lock_;
  platform_io_request_t* free_list_ = nullptr;
  array_dyn_t<platform_io_request_t*> all_requests_;

  // The completion port: packets posted by any thread, taken by the pump.
  mutex_t port_lock_;
  intrusive_fifo_t<platform_io_request_t> port_;
  bool stop_posted_ = false;
  bool accepting_ = false;
};

// Commits the pages of a buffer that transfers are about to fill, in one call instead of
// one fault per page (PrefetchVirtualMemory); large buffers get large pages where the
// system offers them. Only a hint: nothing changes when the system declines.
void platform_prefetch_buffer(void* buffer, u64 size);

// Builds the platform path for a translated path: the process-wide prefix in front, at
// most 4095 bytes, valid UTF-8. False (nothing usable in out) otherwise.
bool platform_make_os_path(system_path_string_t& out, const char* path);

}  // namespace umbra
