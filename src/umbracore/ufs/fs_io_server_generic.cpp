// The generic back end: every request of a batch is started on the scheduler thread
// (stored chunks) or handed to the thread pool's workers, who decode several chunks at
// once; the batch is done when its last read and its last decode are. Also the
// process's server: start-up, shutdown and the accessor.
#include "umbracore/ufs/fs_io_server_generic.h"

#include <atomic>

#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/profiling/profiler_system.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/ufs/fs_cache.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_proc.h"
#include "umbracore/ufs/sysfs_device.h"
#include "umbracore/umbrautils/format/gdeflate.h"

namespace umbra {

// The compressed requests of one batch, decoded by up to one runner per worker: each
// runner takes the next undecoded request until none is left, so one large chunk does
// not hold up the rest. Every runner is a task of its own (one wake-up each).
class fs_io_decode_work_t {
 public:
  explicit fs_io_decode_work_t(fs_io_server_generic_t* server) : server_(server) {}
  ~fs_io_decode_work_t() {
    // Every decode is done, but a runner that found nothing left may still be returning.
    for (runner_t* runner : runners_) {
      if (runner->get_state() != thread::TASK_NEW) thread::wait(runner);
      delete runner;
    }
  }

  // Neither queued nor running: it may take a new batch.
  bool is_idle() const {
    for (const runner_t* runner : runners_) {
      u32 state = runner->get_state();
      if (state != thread::TASK_NEW && state < thread::TASK_FINISHED) return false;
    }
    return true;
  }

  // False (nothing submitted) when the runners cannot be had.
  bool start(io_batch_t* batch, array_t<fs_io_server_request_t*>& requests, u32 runner_count) {
    while (runners_.count() < runner_count) {
      runner_t* runner = new runner_t(this);
      if (!runners_.append(runner)) {
        delete runner;
        return false;
      }
    }
    batch_ = batch;
    requests_.clear();
    if (!requests_.append_block(requests.data(), requests.count())) return false;
    next_.store(0, std::memory_order_relaxed);
    for (u32 i = 0; i < runner_count; ++i) {
      runner_t* runner = runners_[i];
      if (runner->get_state() != thread::TASK_NEW) {
        thread::wait(runner);  // finished already: only collects it
        runner->reset();
      }
    }
    for (u32 i = 0; i < runner_count; ++i) thread::submit_normal(runners_[i]);
    return true;
  }

 private:
  class runner_t final : public thread::task_t {
   public:
    explicit runner_t(fs_io_decode_work_t* work) : task_t(FS_IO_DECODE_TASK_PRIORITY, 1, "IO decode"), work_(work) {}
    void execute() override { work_->run(); }

   private:
    // Normal priority: the pool's workers serve it, none is set aside for IO.
    static constexpr u8 FS_IO_DECODE_TASK_PRIORITY = 1;
    fs_io_decode_work_t* work_;
  };

  // Once a request is claimed its slot is never read again: the batch may be retired
  // and its requests recycled while a late runner still finds nothing left to claim.
  void run() {
    const u64 count = requests_.count();
    for (;;) {
      u64 index = next_.fetch_add(1, std::memory_order_relaxed);
      if (index >= count) return;
      server_->decode_one(batch_, requests_[index]);
    }
  }

  fs_io_server_generic_t* server_;
  io_batch_t* batch_ = nullptr;
  array_dyn_t<fs_io_server_request_t*> requests_;
  std::atomic<u64> next_{0};
  array_dyn_t<runner_t*> runners_;
};

fs_io_server_generic_t::fs_io_server_generic_t(platform_fs_t* platform) : platform_(platform) {}

fs_io_server_generic_t::~fs_io_server_generic_t() {
  shutdown();
  for (fs_io_decode_work_t* task : decode_work_) delete task;
}

bool fs_io_server_generic_t::init() {
  load_buffer_limit_ = FS_IO_GENERIC_LOAD_BUFFER_LIMIT;
  return fs_io_server_t::init();
}

u64 fs_io_server_generic_t::open(const char* path, u32 mode) {
  if (mode != FS_MODE_READ_ONLY) {
    log_error("[genio] Incompatible open mode");
    return FS_IO_HANDLE_NONE;
  }
  platform_file_handle_t handle = platform_->open_handle(path, PLATFORM_OPEN_READ_ONLY);
  return handle == PLATFORM_INVALID_HANDLE ? FS_IO_HANDLE_NONE : (u64)handle;
}

void fs_io_server_generic_t::close(u64 handle) {
  if (handle != FS_IO_HANDLE_NONE) platform_->close_handle((platform_file_handle_t)handle);
}

void fs_io_server_generic_t::batch_submit(io_batch_t* batch) {
  array_dyn_t<fs_io_server_request_t*> to_decode;
  for (fs_io_server_request_t* request = batch->requests.head; request; request = request->next) {
    if (!submit(batch, request, to_decode)) request->success.store(0, std::memory_order_relaxed);
  }
  if (!to_decode.empty()) start_decoding(batch, to_decode);
}

bool fs_io_server_generic_t::batch_done(io_batch_t* batch) {
  return batch->outstanding.load(std::memory_order_acquire) == 0;
}

void fs_io_server_generic_t::batch_release(io_batch_t* batch) {
  for (fs_io_server_request_t* request = batch->requests.head; request; request = request->next) {
    if (request->platform_request) {
      if (!platform_->wait_and_recycle(request->platform_request)) request->success.store(0, std::memory_order_relaxed);
      request->platform_request = nullptr;
    }
  }
  // A batch released before it is done (at shutdown) still needs its decodes, which
  // read from the handles closed below and write into the targets.
  wait_for_decodes(batch);
  for (fs_io_server_request_t* request = batch->requests.head; request; request = request->next) {
    if (request->owns_handle) {
      close(request->handle);
      request->handle = FS_IO_HANDLE_NONE;
      request->owns_handle = false;
    }
  }
}

void fs_io_server_generic_t::wait_for_decodes(io_batch_t* batch) {
  if (batch->outstanding.load(std::memory_order_acquire) == 0) return;
  mutex_guard_t guard(decode_lock_);
  while (batch->outstanding.load(std::memory_order_acquire) != 0) decode_done_.wait(decode_lock_);
}

bool fs_io_server_generic_t::submit(io_batch_t* batch, fs_io_server_request_t* request,
                                    array_t<fs_io_server_request_t*>& to_decode) {
  if (request->handle == FS_IO_HANDLE_NONE) {
    request->handle = open(request->location.path.c_str(), FS_MODE_READ_ONLY);
    if (request->handle == FS_IO_HANDLE_NONE) return false;
    request->owns_handle = true;
  }
  UMBRA_ASSERT(request->target_kind == FS_CHUNK_TARGET_MEMORY, "%s", "[genio] Only memory targets are supported!");
  switch (request->chunk.compression) {
    case FS_COMPRESSION_NONE:
      // A stored chunk is its content: any other length would leave the target short
      // or overrun it.
      return request->chunk.stored_size == request->chunk.size && stored_range_in_file(request) &&
             start_stored_read(batch, request);
    case FS_COMPRESSION_GDEFLATE:
    case FS_COMPRESSION_ZLIB:
    case FS_COMPRESSION_DEFLATE:
    case FS_COMPRESSION_ZSTD:
      return to_decode.append(request) != nullptr;
    default:
      UMBRA_FAIL("%s", "Compression format not supported!");
  }
}

bool fs_io_server_generic_t::stored_range_in_file(const fs_io_server_request_t* request) {
  fs_stat_t info;
  if (!platform_->stat_handle((platform_file_handle_t)request->handle, &info)) return false;
  const fs_chunk_t& chunk = request->chunk;
  return chunk.offset <= info.size && chunk.stored_size <= info.size - chunk.offset;
}

bool fs_io_server_generic_t::start_stored_read(io_batch_t* batch, fs_io_server_request_t* request) {
  const fs_chunk_t& chunk = request->chunk;
  if (chunk.size == 0) return true;
  // Counted before the read is queued: its completion may come before queue_read returns.
  batch->outstanding.fetch_add(1, std::memory_order_relaxed);
  platform_io_request_t* read = platform_->queue_read((platform_file_handle_t)request->handle, request->target,
                                                      chunk.stored_size, chunk.offset, &on_stored_read_finished, batch);
  if (!read) {
    batch->outstanding.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  request->platform_request = read;
  return true;
}

void fs_io_server_generic_t::on_stored_read_finished(platform_io_request_t* platform_request, void* argument) {
  io_batch_t* batch = static_cast<io_batch_t*>(argument);
  // The owner is read before the count drops: from then on the scheduler may recycle
  // the batch.
  fs_io_server_t* owner = batch->owner;
  if (batch->outstanding.fetch_sub(1, std::memory_order_acq_rel) == 1) owner->wake_scheduler();
}

fs_io_decode_work_t* fs_io_server_generic_t::take_decode_work() {
  for (fs_io_decode_work_t* work : decode_work_) {
    if (work->is_idle()) return work;
  }
  fs_io_decode_work_t* work = new fs_io_decode_work_t(this);
  if (!decode_work_.append(work)) {
    delete work;
    return nullptr;
  }
  return work;
}

void fs_io_server_generic_t::start_decoding(io_batch_t* batch, array_t<fs_io_server_request_t*>& to_decode) {
  // Counted before any decode can start, so that none can see the batch done early.
  batch->outstanding.fetch_add(to_decode.count(), std::memory_order_relaxed);
  u64 workers = thread_pool_worker_count();
  u32 runners = (u32)(workers < to_decode.count() ? workers : to_decode.count());
  fs_io_decode_work_t* work = runners > 0 ? take_decode_work() : nullptr;
  if (!work || !work->start(batch, to_decode, runners)) {
    // No workers (or no memory for the runners): this thread decodes.
    for (fs_io_server_request_t* request : to_decode) decode_one(batch, request);
  }
}

void fs_io_server_generic_t::decode_one(io_batch_t* batch, fs_io_server_request_t* request) {
  // A proc reads the stored bytes window by window and fails at the end of the file;
  // the GDeflate decode allocates for all of them first, so their range is checked.
  const bool gdeflate = request->chunk.compression == FS_COMPRESSION_GDEFLATE;
  {
    // Ends before the batch may be retired: the request is recycled from then on.
    UMBRA_PROFILE_SCOPE_FORMAT(UFS_PROFILER_ID, "decompress %s", request->location.path.c_str());
    bool ok = gdeflate ? stored_range_in_file(request) && decode_gdeflate(request) : decode_with_proc(request);
    if (!ok) request->success.store(0, std::memory_order_relaxed);
  }
  if (batch->outstanding.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The last piece of the batch: whoever waits for it may look now.
  {
    mutex_guard_t guard(decode_lock_);
    decode_done_.notify_all();
  }
  wake_scheduler();
}

bool fs_io_server_generic_t::decode_gdeflate(fs_io_server_request_t* request) {
  const fs_chunk_t& chunk = request->chunk;
  // The stored bytes are staged per decode: several decodes run at once.
  array_dyn_t<u8> stored;
  if (!stored.resize_uninitialized(chunk.stored_size)) return false;
  return platform_->read_blocking((platform_file_handle_t)request->handle, stored.data(), chunk.stored_size,
                                  chunk.offset) &&
         gdeflate_decompress(request->target, chunk.size, stored.data(), chunk.stored_size);
}

bool fs_io_server_generic_t::decode_with_proc(fs_io_server_request_t* request) {
  const fs_chunk_t& chunk = request->chunk;
  fs_proc_t* proc = request_io_proc(chunk.compression);
  if (!proc) return false;
  proc->set_source(platform_, request->handle, chunk.offset, chunk.stored_size, chunk.size);
  bool ok = proc->read(request->target, chunk.size, 0);
  release_io_proc(proc);
  return ok;
}

// ---------------------------------------------------------------------------------
// The process's server

namespace {

// Set and cleared by start-up and shutdown on the main thread; read by any thread.
std::atomic<fs_io_server_t*> g_io_server{nullptr};

}  // namespace

fs_io_server_t* fs_get_io_server() { return g_io_server.load(std::memory_order_acquire); }

bool fs_io_server_startup() {
  if (fs_get_io_server()) return true;
  sysfs_device_t* system_device = static_cast<sysfs_device_t*>(fs_get_system_device());
  if (!system_device || !system_device->get_platform()) return false;
  auto_ptr_t<fs_io_server_generic_t> server(new fs_io_server_generic_t(system_device->get_platform()));
  if (!server->init()) return false;
  g_io_server.store(server.detach(), std::memory_order_release);
  fs_cache_startup();
  return true;
}

void fs_io_server_shutdown() {
  fs_cache_shutdown();
  fs_io_server_t* server = g_io_server.exchange(nullptr, std::memory_order_acq_rel);
  if (server) {
    server->shutdown();
    delete server;
  }
  fs_proc_pools_trim();
}

}  // namespace umbra
