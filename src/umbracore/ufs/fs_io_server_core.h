// The IO server: every read of a stored chunk (a piece of a file, possibly compressed)
// goes through it. Devices hand it requests through chunk_read; the server sorts each
// one into a priority queue by size and file type, and its scheduler thread, "IO
// Scheduler", moves whole queues as batches to a back end once a millisecond. The back
// end (fs_io_server_generic_t) reads the bytes and decodes them into the caller's target.
#pragma once


#include <atomic>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/collections/intrusive_fifo.h"
#include "umbracore/profiling/profiler_id.h"
#include "umbracore/strings/string.h"
#include "umbracore/thread/locks.h"
#include "umbracore/thread/thread.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

class fs_device_t;
struct platform_io_request_t;

// Where a chunk's decoded bytes go. Only plain memory is read by the generic back end;
// the other kinds describe their buffer by a record (fs_chunk_target_record_t).
enum fs_chunk_target_t : u32 {
  FS_CHUNK_TARGET_MEMORY = 1,  // target is the buffer itself, chunk size bytes long
  FS_CHUNK_TARGET_RECORD_2 = 2,
  FS_CHUNK_TARGET_RECORD_3 = 3,
  FS_CHUNK_TARGET_RECORD_4 = 4,
};

struct fs_chunk_target_record_t {
  void* buffer;
  u32 size;
};

// A chunk's source: its path (cut to 255 bytes) and the CityHash64 of that text.
struct fs_io_location_t {
  // Archive paths carry their leading '/' on top of up to 255 bytes, so a location
  // holds more than a path string: the whole path must reach the server.
  string_local_t<512> path;
  u64 hash = 0;

  // Copies and hashes path; false when it had to be cut.
  bool set(const char* source_path);
};

// A platform handle of a chunk's source file; none makes the back end open the
// location's path itself. The same value as the platform's invalid handle.
constexpr u64 FS_IO_HANDLE_NONE = ~0ull;

enum fs_io_priority_t : u8 {
  FS_IO_PRIORITY_LOW = 0,
  FS_IO_PRIORITY_NORMAL = 1,
  FS_IO_PRIORITY_HIGH = 2,
  FS_IO_PRIORITY_REALTIME = 3,
};
constexpr u32 FS_IO_QUEUE_COUNT = 4;

// Chunks up to this stored size always go to the High queue.
constexpr u64 FS_IO_SMALL_CHUNK_SIZE = 4096;
// Above this stored size only model geometry (".umg") stays in the Normal queue.
constexpr u64 FS_IO_LARGE_CHUNK_SIZE = 2097152;

// Pause of the scheduler between two passes.
constexpr u32 FS_IO_SCHEDULER_PERIOD_MS = 1;

class fs_io_server_t;
struct io_batch_t;

// One chunk read, pooled by its server and recycled by io_wait.
struct fs_io_server_request_t : fs_io_request_t {
  fs_io_server_request_t* next = nullptr;       // in its queue or batch
  fs_io_server_request_t* free_next = nullptr;  // in the server's free list
  u64 handle = FS_IO_HANDLE_NONE;
  bool owns_handle = false;  // the back end opened it and closes it at batch release
  fs_chunk_t chunk{};
  fs_io_location_t location;
  u32 target_kind = 0;
  u8* target = nullptr;     // where the decoded bytes go
  u64 target_size = 0;      // room there
  fs_io_callback_t callback = nullptr;
  platform_io_request_t* platform_request = nullptr;  // the back end's outstanding read
  fs_device_t* device = nullptr;                      // the device that asked for it
  u32 queue = 0;
};

// The requests moved out of one queue in one scheduler pass. Pooled by the server.
struct io_batch_t {
  intrusive_fifo_t<fs_io_server_request_t> requests;
  u64 bytesize = 0;
  u8 priority = 0;
  std::atomic<u32> outstanding{0};  // platform reads not yet finished
  fs_io_server_t* owner = nullptr;
  io_batch_t* next = nullptr;
};

// One of the four queues (index = priority). waiting is guarded by lock; the batches
// in flight by the server lock.
struct io_queue_t {
  const char* name = "";
  u8 priority = 0;
  mutex_t lock;
  intrusive_fifo_t<fs_io_server_request_t> waiting;
  intrusive_fifo_t<io_batch_t> in_flight;
};

constexpr const char* FS_IO_COUNTER_READ_OPS = "io.chunk.read_ops";
constexpr const char* FS_IO_COUNTER_READ_BYTESIZE = "io.chunk.read_bytesize";
constexpr const char* FS_IO_COUNTER_PENDING_OPS = "io.chunk.pending_ops";
constexpr const char* FS_IO_COUNTER_PENDING_BYTESIZE = "io.chunk.pending_bytesize";
constexpr const char* FS_IO_COUNTER_FINISH_OPS = "io.chunk.finish_ops";
constexpr const char* FS_IO_COUNTER_FINISH_BYTESIZE = "io.chunk.finish_bytesize";
// Process-wide counters under the names above and, per queue, "io.queue.low.ops",
// "io.queue.low.bytesize", ... "io.queue.realtime.bytesize".
struct fs_io_counters_t {
  stat_counter_t read_ops{FS_IO_COUNTER_READ_OPS};
  stat_counter_t read_bytesize{FS_IO_COUNTER_READ_BYTESIZE};
  stat_counter_t pending_ops{FS_IO_COUNTER_PENDING_OPS};
  stat_counter_t pending_bytesize{FS_IO_COUNTER_PENDING_BYTESIZE};
  stat_counter_t finish_ops{FS_IO_COUNTER_FINISH_OPS};
  stat_counter_t finish_bytesize{FS_IO_COUNTER_FINISH_BYTESIZE};
  stat_counter_t queue_ops[FS_IO_QUEUE_COUNT] = {"io.queue.low.ops", "io.queue.normal.ops", "io.queue.high.ops",
                                                  "io.queue.realtime.ops"};
  stat_counter_t queue_bytesize[FS_IO_QUEUE_COUNT] = {"io.queue.low.bytesize", "io.queue.normal.bytesize",
                                                       "io.queue.high.bytesize", "io.queue.realtime.bytesize"};
};
extern fs_io_counters_t fs_io_counters;
// The category of the file system's trace scopes.
extern const profiler_id_t UFS_PROFILER_ID;
// Every counter above with its value, in this order.
using fs_io_counter_visitor_t = void (*)(const char* name, u64 value, void* argument);
void fs_io_counters_visit(fs_io_counter_visitor_t visitor, void* argument);

// What one server has seen, for tests and diagnostics.
struct fs_io_server_stats_t {
  u64 accepted[FS_IO_QUEUE_COUNT] = {};  // requests appended to each queue
  u64 pending_ops = 0;                   // accepted, not yet finished
  u64 max_pending_ops = 0;
  u64 batches = 0;                       // batches submitted
  u64 largest_batch = 0;
  u64 passes = 0;                        // scheduler passes
};

class fs_io_server_t {
 public:
  virtual ~fs_io_server_t();

  // Sets up the queues and starts the scheduler thread; false when already running.
  virtual bool init();
  // Stops the scheduler. Requests still waiting are handed to the back end once more
  // (failing when it takes none) and everything in flight is finished, so no waiter
  // is left hanging. A derived server must call it in its own destructor.
  void shutdown();
  bool is_running() const { return running_.load(std::memory_order_acquire); }

  // Starts an asynchronous read of chunk from handle (FS_IO_HANDLE_NONE: the back end
  // opens location.path) into target. A chunk larger than the load-buffer limit
  // finishes at once with success 0. priority is recorded but the queue is chosen by
  // choose_queue. Null when the server does not run.
  fs_io_request_t* chunk_read(void* target, u32 target_kind, u64 handle, const fs_io_location_t& location,
                              const fs_chunk_t& chunk, u8 priority, fs_io_callback_t callback,
                              fs_device_t* device = nullptr);
  bool io_is_done(fs_io_request_t* request);
  // Waits until the request has finished, recycles it and returns its success.
  bool io_wait(fs_io_request_t* request);

  // A platform handle of path for chunk reads; FS_IO_HANDLE_NONE when it cannot be had.
  virtual u64 open(const char* path, u32 mode) { return FS_IO_HANDLE_NONE; }
  virtual void close(u64 handle) {}

  u64 get_load_buffer_limit() const { return load_buffer_limit_; }
  // The queue (fs_io_priority_t) a chunk of path with stored_size bytes waits in.
  static u32 choose_queue(const char* path, u64 stored_size);
  // "Read Queue, Prio Low" ... "Read Queue, Prio Realtime".
  static const char* queue_name(u32 index);

  // Runs the next scheduler pass now instead of at the end of the period: a back end
  // calls it when the last outstanding read of a batch finishes, so that the batch is
  // retired without waiting out the rest of the millisecond. Any thread may call it.
  void wake_scheduler();

  fs_io_server_stats_t debug_stats();

  fs_io_server_t(const fs_io_server_t&) = delete;
  fs_io_server_t& operator=(const fs_io_server_t&) = delete;

 protected:
  fs_io_server_t();

  // The back end. Called on the scheduler thread with the server lock held.
  virtual bool can_accept(const io_queue_t& queue) = 0;
  virtual void batch_submit(io_batch_t* batch) = 0;
  // True when the batch has no platform read outstanding.
  virtual bool batch_done(io_batch_t* batch) = 0;
  // Collects the outcome of every platform read of the batch and closes the handles
  // the back end opened.
  virtual void batch_release(io_batch_t* batch) = 0;

  u64 load_buffer_limit_ = 0;

 private:
  static void scheduler_entry(void* argument);
  void scheduler_loop();
  // Sleeps one period; false once shutdown has asked the scheduler to stop.
  bool sleep_one_period();
  void run_pass(bool draining);
  void submit_waiting(io_queue_t& queue, bool draining);
  void retire_done_batches(io_queue_t& queue);
  void retire_all_batches(io_queue_t& queue);
  void finish_batch(io_batch_t* batch);
  void finish_request(fs_io_server_request_t* request);

  fs_io_server_request_t* take_request();
  void recycle_request(fs_io_server_request_t* request);
  io_batch_t* take_batch();
  void recycle_batch(io_batch_t* batch);
  void note_accepted(u32 queue);

  io_queue_t queues_[FS_IO_QUEUE_COUNT];
  std::atomic<bool> running_{false};
  thread::thread_t scheduler_;

  // The scheduler pass, the batch pool and the in-flight lists; waiters of io_wait
  // sleep on finished_ with it.
  mutex_t server_lock_;
  condition_t finished_;
  io_batch_t* free_batches_ = nullptr;
  array_dyn_t<io_batch_t*> all_batches_;

  // The request pool.
  mutex_t pool_lock_;
  fs_io_server_request_t* free_requests_ = nullptr;
  array_dyn_t<fs_io_server_request_t*> all_requests_;

  // The scheduler's period: a timed wait that shutdown and wake_scheduler cut short.
  mutex_t stop_lock_;
  condition_t stop_signal_;
  bool stop_requested_ = false;
  bool wake_requested_ = false;

  // Statistics (stats_lock_).
  mutex_t stats_lock_;
  fs_io_server_stats_t stats_;
};

// The process's IO server (null before start-up and after shutdown).
fs_io_server_t* fs_get_io_server();
// Starts the generic server over the system device's platform layer, its scheduler
// thread and the file cache; the file system must be running. False when it cannot
// start. Both may be called again.
bool fs_io_server_startup();
// Empties the cache, stops the scheduler and frees idle decompression procs.
void fs_io_server_shutdown();

}  // namespace umbra
