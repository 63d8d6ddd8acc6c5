// The asynchronous half of the platform file layer: pooled requests with their events,
// the completion port (a packet queue), the pump thread that keeps at most eight
// transfers in flight and the rest in a FIFO, and the file copy, whose bytes go through it.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "umbracore/platform/platform_fs.h"
#include "umbracore/platform/platform_fs_engine.h"
#include "umbracore/profiling/profiler_system.h"
#include "umbracore/thread/run_context_system.h"

namespace umbra {

namespace {

const profiler_id_t IO_PROFILER_ID(PROFILER_ID_SCOPE, "io");
constexpr u8 NO_TRACE_LANE = 0xFF;

// Transfers in flight overlap, so each is drawn on a lane of its own for as long as it
// is in flight: lane 0 is the pump thread's own track, the others "IO_Pump_%u".
class pump_trace_lanes_t {
 public:
  ~pump_trace_lanes_t() {
    for (u32 i = 1; i < PLATFORM_IO_MAX_IN_FLIGHT; ++i) profiler_lane_destroy(lanes_[i]);
  }

  void started(platform_io_request_t* request) {
    request->trace_lane = NO_TRACE_LANE;
    if (!profiler_is_recording()) return;
    u32 lane = 0;
    while (lane < PLATFORM_IO_MAX_IN_FLIGHT && busy_[lane]) ++lane;
    if (lane == PLATFORM_IO_MAX_IN_FLIGHT) return;
    if (!lanes_[lane]) {
      string_local_t<32> name;
      name.format("IO_Pump_%u", lane);
      lanes_[lane] = lane == 0 ? profiler_lane_of_current_thread() : profiler_lane_create(name.c_str(), lane);
      if (!lanes_[lane]) return;
    }
    busy_[lane] = true;
    request->trace_lane = (u8)lane;
    profiler_lane_begin_format(lanes_[lane], IO_PROFILER_ID, "%s %" PRIu64 " bytes",
                               request->kind == PLATFORM_IO_READ ? "read" : "write", request->size);
  }

  void finished(platform_io_request_t* request) {
    u8 lane = request->trace_lane;
    if (lane == NO_TRACE_LANE) return;
    request->trace_lane = NO_TRACE_LANE;
    profiler_lane_end(lanes_[lane]);
    busy_[lane] = false;
  }

 private:
  profiler_lane_t* lanes_[PLATFORM_IO_MAX_IN_FLIGHT] = {};
  bool busy_[PLATFORM_IO_MAX_IN_FLIGHT] = {};
};

}  // namespace

// The pump's private state for one run of the thread.
struct platform_pump_t {
  platform_fs_t& fs;
  intrusive_fifo_t<platform_io_request_t> fifo;  // taken from the port, not started yet
  array_dyn_t<platform_io_request_t*> done;
  u32 in_flight = 0;
  platform_pump_stats_t stats;
  pump_trace_lanes_t trace_lanes;

  explicit platform_pump_t(platform_fs_t& owner) : fs(owner) {}

  // Moves posted packets into the FIFO; true when the stop packet has arrived.
  bool take_packets() {
    mutex_guard_t guard(fs.port_lock_);
    fifo.append(fs.port_);
    return fs.stop_posted_;
  }

  bool port_idle() {
    mutex_guard_t guard(fs.port_lock_);
    return fs.port_.empty() && !fs.stop_posted_;
  }

  void complete(platform_io_request_t* request) {
    --in_flight;
    trace_lanes.finished(request);
    bool success = !request->transfer_failed && request->transferred == request->size;
    fs.finish(request, success);
  }

  void start_from_fifo() {
    while (in_flight < PLATFORM_IO_MAX_IN_FLIGHT && !fifo.empty()) {
      platform_io_request_t* request = fifo.pop();
      request->state.store(FS_IO_STATE_IN_FLIGHT, std::memory_order_release);
      ++in_flight;
      trace_lanes.started(request);
      fs.engine_->start(request);
    }
  }

  void publish() {
    stats.in_flight = in_flight;
    stats.queued = (u32)fifo.count;
    if (in_flight > stats.peak_in_flight) stats.peak_in_flight = in_flight;
    stats.continued = fs.engine_->continued_pieces();
    ++stats.passes;
    if (fs.observer_) fs.observer_->pass_ended(stats);
  }

  void collect(bool block) {
    done.clear();
    fs.engine_->reap(done, block);
    for (platform_io_request_t* request : done) complete(request);
  }

  void run() {
    for (;;) {
      if (take_packets()) break;
      start_from_fifo();
      publish();
      collect(port_idle());
    }
    drain();
  }

  // Requests still queued never start; the ones in flight are seen to the end, since
  // their buffers belong to callers who are waiting for them.
  void drain() {
    take_packets();
    while (platform_io_request_t* request = fifo.pop()) fs.finish(request, false);
    stats.stopping = true;
    publish();
    while (in_flight > 0) {
      done.clear();
      fs.engine_->reap(done, true);
      for (platform_io_request_t* request : done) complete(request);
    }
    publish();
  }
};

platform_fs_t::platform_fs_t() = default;

platform_fs_t::~platform_fs_t() {
  shutdown();
  for (platform_io_request_t* request : all_requests_) delete request;
}

bool platform_fs_t::init(platform_io_backend_t backend) {
  if (running_) return true;
  engine_ = platform_io_engine_create(backend);
  if (engine_ && observer_) engine_ = observer_->wrap_engine(engine_);
  if (!engine_) return false;
  {
    mutex_guard_t guard(port_lock_);
    stop_posted_ = false;
    accepting_ = true;
  }
  pump_thread_.name.assign("IO_Pump");
  pump_thread_.start(&platform_fs_t::pump_entry, this);
  running_ = true;
  return true;
}

void platform_fs_t::shutdown() {
  if (!running_) return;
  {
    mutex_guard_t guard(port_lock_);
    accepting_ = false;
    stop_posted_ = true;
    engine_->wake();
  }
  pump_thread_.join();
  delete engine_;
  engine_ = nullptr;
  running_ = false;
}

const char* platform_fs_t::backend_name() const { return engine_ ? engine_->name() : "none"; }

void platform_fs_t::pump_entry(void* argument) {
  platform_fs_t* fs = static_cast<platform_fs_t*>(argument);
  run_context_t context;
  run_context_prime(&context, RUN_CONTEXT_KIND_IO, "IO_Pump");
  {
    platform_pump_t pump(*fs);
    pump.run();
  }
  run_context_unprime();
}

platform_io_request_t* platform_fs_t::take_free_request() {
  mutex_guard_t guard(free_lock_);
  if (platform_io_request_t* request = free_list_) {
    free_list_ = request->next;
    request->next = nullptr;
    return request;
  }
  platform_io_request_t* request = new platform_io_request_t();
  if (!all_requests_.append(request)) {
    delete request;
    return nullptr;
  }
  return request;
}

void platform_fs_t::recycle(platform_io_request_t* request) {
  request->state.store(FS_IO_STATE_IDLE, std::memory_order_relaxed);
  request->success.store(1, std::memory_order_relaxed);
  request->callback = nullptr;
  request->callback_argument = nullptr;
  request->buffer = nullptr;
  request->event.signalled = false;
  request->event.released = false;
  mutex_guard_t guard(free_lock_);
  request->next = free_list_;
  free_list_ = request;
}

platform_io_request_t* platform_fs_t::queue_request(u32 kind, platform_file_handle_t handle, u8* buffer, u64 size,
                                                    u64 offset, platform_io_callback_t callback, void* argument) {
  if (handle == PLATFORM_INVALID_HANDLE) return nullptr;
  platform_io_request_t* request = take_free_request();
  if (!request) return nullptr;
  request->kind = kind;
  request->handle = handle;
  request->buffer = buffer;
  request->size = size;
  request->offset = offset;
  request->transferred = 0;
  request->transfer_failed = false;
  request->callback = callback;
  request->callback_argument = argument;
  request->success.store(1, std::memory_order_relaxed);
  request->state.store(FS_IO_STATE_QUEUED, std::memory_order_release);
  request->next = nullptr;
  if (!post(request)) {
    recycle(request);
    return nullptr;
  }
  return request;
}

bool platform_fs_t::post(platform_io_request_t* request) {
  // The wake-up happens under the port lock: once shutdown has stopped accepting, no
  // thread can still be about to touch the engine it is going to delete.
  mutex_guard_t guard(port_lock_);
  if (!accepting_ || !engine_->wake()) return false;
  // The pump takes packets under the port lock: woken first, it still finds this one.
  port_.push(request);
  return true;
}

platform_io_request_t* platform_fs_t::queue_read(platform_file_handle_t handle, void* buffer, u64 size, u64 offset,
                                                 platform_io_callback_t callback, void* argument) {
  return queue_request(PLATFORM_IO_READ, handle, static_cast<u8*>(buffer), size, offset, callback, argument);
}

platform_io_request_t* platform_fs_t::queue_write(platform_file_handle_t handle, const void* buffer, u64 size,
                                                  u64 offset, platform_io_callback_t callback, void* argument) {
  // The pump only reads from a write's buffer.
  return queue_request(PLATFORM_IO_WRITE, handle, static_cast<u8*>(const_cast<void*>(buffer)), size, offset, callback,
                       argument);
}

namespace {

bool transfer_blocking(u32 kind, platform_file_handle_t handle, u8* buffer, u64 size, u64 offset) {
  if (handle == PLATFORM_INVALID_HANDLE || (!buffer && size > 0)) return false;
  u64 transferred = 0;
  return platform_io_move_sync(kind, handle, buffer, size, offset, &transferred);
}

}  // namespace

bool platform_fs_t::read_blocking(platform_file_handle_t handle, void* buffer, u64 size, u64 offset) {
  return transfer_blocking(PLATFORM_IO_READ, handle, static_cast<u8*>(buffer), size, offset);
}

bool platform_fs_t::write_blocking(platform_file_handle_t handle, const void* buffer, u64 size, u64 offset) {
  // Only read from: the buffer stays the caller's.
  return transfer_blocking(PLATFORM_IO_WRITE, handle, static_cast<u8*>(const_cast<void*>(buffer)), size, offset);
}

bool platform_fs_t::copy_file(const char* from, const char* to, bool overwrite) {
  platform_file_handle_t source = open_handle(from, PLATFORM_OPEN_READ_ONLY);
  if (source == PLATFORM_INVALID_HANDLE) return false;
  platform_file_handle_t target = open_handle(to, overwrite ? PLATFORM_OPEN_CREATE_TRUNCATE : PLATFORM_OPEN_CREATE_NEW);
  if (target == PLATFORM_INVALID_HANDLE) {
    close_handle(source);
    return false;
  }
  // The bytes go through the pump like every other transfer, so that each call is one
  // the table of failable calls sees.
  constexpr u64 BLOCK_SIZE = 1u << 20;
  u8* block = static_cast<u8*>(std::malloc(BLOCK_SIZE));
  fs_stat_t info;
  bool ok = block && stat_handle(source, &info);
  for (u64 offset = 0; ok && offset < info.size; offset += BLOCK_SIZE) {
    u64 size = info.size - offset < BLOCK_SIZE ? info.size - offset : BLOCK_SIZE;
    platform_io_request_t* read = queue_read(source, block, size, offset, nullptr, nullptr);
    ok = read && wait_and_recycle(read);
    if (!ok) break;
    platform_io_request_t* write = queue_write(target, block, size, offset, nullptr, nullptr);
    ok = write && wait_and_recycle(write);
  }
  std::free(block);
  if (ok) platform_copy_file_details(source, target);
  close_handle(source);
  close_handle(target);
  // Half a copy is no copy.
  if (!ok) delete_file(to);
  return ok;
}

platform_io_request_t* platform_fs_t::read_completed(platform_file_handle_t handle, void* buffer, u64 size,
                                                     u64 offset) {
  if (handle == PLATFORM_INVALID_HANDLE) return nullptr;
  platform_io_request_t* request = take_free_request();
  if (!request) return nullptr;
  request->kind = PLATFORM_IO_READ;
  request->handle = handle;
  request->buffer = static_cast<u8*>(buffer);
  request->size = size;
  request->offset = offset;
  request->transferred = 0;
  request->transfer_failed = false;
  request->next = nullptr;
  bool success = read_blocking(handle, buffer, size, offset);
  request->transferred = success ? size : 0;
  // No other thread knows the request yet: finishing it signals nobody.
  finish(request, success);
  return request;
}

void platform_fs_t::finish(platform_io_request_t* request, bool success) {
  request->success.store(success ? 1 : 0, std::memory_order_relaxed);
  request->state.store(FS_IO_STATE_FINISHED, std::memory_order_release);
  if (request->callback) request->callback(request, request->callback_argument);
  bool released;
  {
    // Decided under the event's lock: either a waiter or release() owns the request
    // from here on, never both, and the pump no longer touches it unless released.
    mutex_guard_t guard(request->event.lock);
    request->event.signalled = true;
    released = request->event.released;
    request->event.condition.notify_all();
  }
  if (released) recycle(request);
}

bool platform_fs_t::wait(platform_io_request_t* request) {
  mutex_guard_t guard(request->event.lock);
  while (!request->event.signalled) request->event.condition.wait(request->event.lock);
  return request->success.load(std::memory_order_relaxed) != 0;
}

bool platform_fs_t::wait_and_recycle(platform_io_request_t* request) {
  bool success = wait(request);
  recycle(request);
  return success;
}

void platform_fs_t::release(platform_io_request_t* request) {
  bool finished;
  {
    mutex_guard_t guard(request->event.lock);
    finished = request->event.signalled;
    if (!finished) request->event.released = true;
  }
  if (finished) recycle(request);
}

}  // namespace umbra
