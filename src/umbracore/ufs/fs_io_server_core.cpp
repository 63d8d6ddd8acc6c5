// The server side of chunk reads: the request pool, the queue choice, the scheduler
// thread that moves whole queues to the back end and retires finished batches, and
// waiting for requests.
#include "umbracore/ufs/fs_io_server_core.h"

#include <cinttypes>
#include <cstring>

#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/profiling/profiler_system.h"
#include "umbracore/strings/path.h"
#include "umbracore/thread/run_context_system.h"
#include "umbracore/ufs/cityhash.h"

namespace umbra {

fs_io_counters_t fs_io_counters;
const profiler_id_t UFS_PROFILER_ID(PROFILER_ID_SCOPE, "ufs");

namespace {

const char* const QUEUE_NAMES[FS_IO_QUEUE_COUNT] = {
    "Read Queue, Prio Low",
    "Read Queue, Prio Normal",
    "Read Queue, Prio High",
    "Read Queue, Prio Realtime",
};

bool is_one_of(const char* text, const char* const* candidates, u32 count) {
  for (u32 i = 0; i < count; ++i) {
    if (std::strcmp(text, candidates[i]) == 0) return true;
  }
  return false;
}

}  // namespace

bool fs_io_location_t::set(const char* source_path) {
  bool whole = path.assign(source_path);
  hash = cityhash64(path.c_str(), path.length());
  return whole;
}

void fs_io_counters_visit(fs_io_counter_visitor_t visitor, void* argument) {
  visitor(FS_IO_COUNTER_READ_OPS, fs_io_counters.read_ops.load(), argument);
  visitor(FS_IO_COUNTER_READ_BYTESIZE, fs_io_counters.read_bytesize.load(), argument);
  visitor(FS_IO_COUNTER_PENDING_OPS, fs_io_counters.pending_ops.load(), argument);
  visitor(FS_IO_COUNTER_PENDING_BYTESIZE, fs_io_counters.pending_bytesize.load(), argument);
  visitor(FS_IO_COUNTER_FINISH_OPS, fs_io_counters.finish_ops.load(), argument);
  visitor(FS_IO_COUNTER_FINISH_BYTESIZE, fs_io_counters.finish_bytesize.load(), argument);
  for (u32 i = 0; i < FS_IO_QUEUE_COUNT; ++i) {
    visitor(fs_io_counters.queue_ops[i].name(), fs_io_counters.queue_ops[i].load(), argument);
    visitor(fs_io_counters.queue_bytesize[i].name(), fs_io_counters.queue_bytesize[i].load(), argument);
  }
}

// ---------------------------------------------------------------------------------
// Life cycle

fs_io_server_t::fs_io_server_t() {
  for (u32 i = 0; i < FS_IO_QUEUE_COUNT; ++i) {
    queues_[i].name = QUEUE_NAMES[i];
    queues_[i].priority = (u8)i;
  }
  scheduler_.name.assign("IO Scheduler");
}

fs_io_server_t::~fs_io_server_t() {
  UMBRA_ASSERT(!is_running(), "%s", "IO server destroyed while its scheduler runs.");
  for (fs_io_server_request_t* request : all_requests_) delete request;
  for (io_batch_t* batch : all_batches_) delete batch;
}

bool fs_io_server_t::init() {
  if (is_running()) return false;
  {
    mutex_guard_t guard(stop_lock_);
    stop_requested_ = false;
    wake_requested_ = false;
  }
  running_.store(true, std::memory_order_release);
  scheduler_.start(&fs_io_server_t::scheduler_entry, this);
  return true;
}

void fs_io_server_t::shutdown() {
  if (!is_running()) return;
  // Refuse new reads first; the scheduler's last pass finishes what was queued before.
  running_.store(false, std::memory_order_release);
  {
    mutex_guard_t guard(stop_lock_);
    stop_requested_ = true;
    stop_signal_.notify_one();
  }
  scheduler_.join();
}

void fs_io_server_t::scheduler_entry(void* argument) {
  run_context_t context;
  run_context_prime(&context, RUN_CONTEXT_KIND_IO, "IO Scheduler");
  static_cast<fs_io_server_t*>(argument)->scheduler_loop();
  run_context_unprime();
}

void fs_io_server_t::scheduler_loop() {
  while (sleep_one_period()) {
    run_pass(false);
    // The scheduler wakes every millisecond anyway: it is the profiler's sampling clock.
    profiler_sample_counters();
  }
  // Whatever was queued before the stop is read (or failed) and finished here, on the
  // thread that owns the back end's work.
  run_pass(true);
}

bool fs_io_server_t::sleep_one_period() {
  mutex_guard_t guard(stop_lock_);
  if (!stop_requested_ && !wake_requested_) stop_signal_.wait_for(stop_lock_, FS_IO_SCHEDULER_PERIOD_MS);
  wake_requested_ = false;
  return !stop_requested_;
}

void fs_io_server_t::wake_scheduler() {
  mutex_guard_t guard(stop_lock_);
  wake_requested_ = true;
  stop_signal_.notify_one();
}

// ---------------------------------------------------------------------------------
// Queue choice

u32 fs_io_server_t::choose_queue(const char* path, u64 stored_size) {
  if (stored_size <= FS_IO_SMALL_CHUNK_SIZE) return FS_IO_PRIORITY_HIGH;
  static const char* const urgent[] = {".umd", ".mat", ".tobj", ".font"};
  const char* extension = path_extension(path, std::strlen(path));
  if (is_one_of(extension, urgent, sizeof(urgent) / sizeof(urgent[0]))) return FS_IO_PRIORITY_HIGH;
  // Interface textures are on screen as soon as they load; other textures stream in.
  if (std::strcmp(extension, ".dds") == 0) {
    return std::strstr(path, "/material/ui/") ? FS_IO_PRIORITY_HIGH : FS_IO_PRIORITY_LOW;
  }
  if (stored_size <= FS_IO_LARGE_CHUNK_SIZE) return FS_IO_PRIORITY_NORMAL;
  return std::strcmp(extension, ".umg") == 0 ? FS_IO_PRIORITY_NORMAL : FS_IO_PRIORITY_LOW;
}

const char* fs_io_server_t::queue_name(u32 index) {
  UMBRA_ASSERT(index < FS_IO_QUEUE_COUNT, "%s", "IO queue index out of range.");
  return QUEUE_NAMES[index];
}

// ---------------------------------------------------------------------------------
// Requests

fs_io_server_request_t* fs_io_server_t::take_request() {
  mutex_guard_t guard(pool_lock_);
  fs_io_server_request_t* request = free_requests_;
  if (request) {
    free_requests_ = request->free_next;
    return request;
  }
  request = new fs_io_server_request_t();
  bool listed = all_requests_.append(request);
  UMBRA_ASSERT(listed, "%s", "Out of memory for IO requests.");
  return request;
}

void fs_io_server_t::recycle_request(fs_io_server_request_t* request) {
  mutex_guard_t guard(pool_lock_);
  request->state.store(FS_IO_STATE_IDLE, std::memory_order_relaxed);
  request->free_next = free_requests_;
  free_requests_ = request;
}

void fs_io_server_t::note_accepted(u32 queue) {
  mutex_guard_t guard(stats_lock_);
  ++stats_.accepted[queue];
  ++stats_.pending_ops;
  if (stats_.pending_ops > stats_.max_pending_ops) stats_.max_pending_ops = stats_.pending_ops;
}

fs_io_request_t* fs_io_server_t::chunk_read(void* target, u32 target_kind, u64 handle, const fs_io_location_t& location,
                                            const fs_chunk_t& chunk, u8 priority, fs_io_callback_t callback,
                                            fs_device_t* device) {
  if (!is_running()) return nullptr;
  fs_io_server_request_t* request = take_request();
  request->next = nullptr;
  request->handle = handle;
  request->owns_handle = false;
  request->chunk = chunk;
  request->location.path.assign(location.path);
  request->location.hash = location.hash;
  request->target_kind = target_kind;
  request->callback = callback;
  request->platform_request = nullptr;
  request->device = device;
  request->success.store(1, std::memory_order_relaxed);
  switch (target_kind) {
    case FS_CHUNK_TARGET_MEMORY:
      request->target = static_cast<u8*>(target);
      request->target_size = chunk.size;
      break;
    case FS_CHUNK_TARGET_RECORD_2:
    case FS_CHUNK_TARGET_RECORD_3:
    case FS_CHUNK_TARGET_RECORD_4: {
      const fs_chunk_target_record_t* record = static_cast<const fs_chunk_target_record_t*>(target);
      request->target = record ? static_cast<u8*>(record->buffer) : nullptr;
      request->target_size = record ? record->size : 0;
      break;
    }
    default:
      UMBRA_FAIL("%s", "chunk_read: unsupported chunk type");
  }
  request->state.store(FS_IO_STATE_QUEUED, std::memory_order_release);

  if (chunk.stored_size > load_buffer_limit_) {
    log_error("Failed to read %s since it exceeds internal loadbuffer size limit of %zu bytes", location.path.c_str(),
              (size_t)load_buffer_limit_);
    request->success.store(0, std::memory_order_relaxed);
    finish_request(request);
    return request;
  }
  // A target that cannot hold the content is refused before anything is written to it.
  if ((!request->target && chunk.size > 0) || request->target_size < chunk.size) {
    request->success.store(0, std::memory_order_relaxed);
    finish_request(request);
    return request;
  }

  u32 queue_index = choose_queue(request->location.path.c_str(), chunk.stored_size);
  request->queue = queue_index;
  fs_io_counters.read_ops.add(1);
  fs_io_counters.read_bytesize.add(chunk.size);
  fs_io_counters.pending_ops.add(1);
  fs_io_counters.pending_bytesize.add(chunk.size);
  note_accepted(queue_index);
  io_queue_t& queue = queues_[queue_index];
  mutex_guard_t guard(queue.lock);
  queue.waiting.push(request);
  return request;
}

bool fs_io_server_t::io_is_done(fs_io_request_t* request) { return request && request->is_finished(); }

bool fs_io_server_t::io_wait(fs_io_request_t* base) {
  if (!base) return false;
  fs_io_server_request_t* request = static_cast<fs_io_server_request_t*>(base);
  if (!request->is_finished()) {
    mutex_guard_t guard(server_lock_);
    while (!request->is_finished()) finished_.wait(server_lock_);
  }
  bool success = request->success.load(std::memory_order_relaxed) != 0;
  recycle_request(request);
  return success;
}

void fs_io_server_t::finish_request(fs_io_server_request_t* request) {
  // The callback runs first: once the state says finished, a waiter may recycle the
  // request at any moment.
  if (request->callback) request->callback(request);
  request->state.store(FS_IO_STATE_FINISHED, std::memory_order_release);
}

// ---------------------------------------------------------------------------------
// Scheduler

io_batch_t* fs_io_server_t::take_batch() {
  io_batch_t* batch = free_batches_;
  if (batch) {
    free_batches_ = batch->next;
  } else {
    batch = new io_batch_t();
    bool listed = all_batches_.append(batch);
    UMBRA_ASSERT(listed, "%s", "Out of memory for IO batches.");
  }
  batch->requests.clear();
  batch->bytesize = 0;
  batch->next = nullptr;
  batch->owner = this;
  batch->outstanding.store(0, std::memory_order_relaxed);
  return batch;
}

void fs_io_server_t::recycle_batch(io_batch_t* batch) {
  batch->next = free_batches_;
  free_batches_ = batch;
}

void fs_io_server_t::run_pass(bool draining) {
  {
    mutex_guard_t guard(server_lock_);
    for (io_queue_t& queue : queues_) {
      submit_waiting(queue, draining);
      if (draining) {
        retire_all_batches(queue);
      } else {
        retire_done_batches(queue);
      }
    }
    finished_.notify_all();
  }
  mutex_guard_t guard(stats_lock_);
  ++stats_.passes;
}

void fs_io_server_t::submit_waiting(io_queue_t& queue, bool draining) {
  bool accepts = can_accept(queue);
  if (!accepts && !draining) return;
  intrusive_fifo_t<fs_io_server_request_t> waiting;
  {
    mutex_guard_t guard(queue.lock);
    waiting.append(queue.waiting);
  }
  if (waiting.empty()) return;
  io_batch_t* batch = take_batch();
  batch->priority = queue.priority;
  batch->requests.append(waiting);
  for (fs_io_server_request_t* request = batch->requests.head; request; request = request->next) {
    batch->bytesize += request->chunk.size;
  }
  if (accepts) {
    UMBRA_PROFILE_SCOPE_FORMAT(UFS_PROFILER_ID, "submit %" PRIu64 " reads (%s)", (u64)batch->requests.count,
                               queue.name);
    batch_submit(batch);
  } else {
    // Stopping, and the back end takes no more: these reads never happen.
    for (fs_io_server_request_t* request = batch->requests.head; request; request = request->next) {
      request->success.store(0, std::memory_order_relaxed);
    }
  }
  queue.in_flight.push(batch);
  mutex_guard_t guard(stats_lock_);
  ++stats_.batches;
  if (batch->requests.count > stats_.largest_batch) stats_.largest_batch = batch->requests.count;
}

void fs_io_server_t::retire_done_batches(io_queue_t& queue) {
  while (!queue.in_flight.empty() && batch_done(queue.in_flight.head)) {
    io_batch_t* batch = queue.in_flight.pop();
    UMBRA_PROFILE_SCOPE_FORMAT(UFS_PROFILER_ID, "retire %" PRIu64 " reads (%s)", (u64)batch->requests.count,
                               queue.name);
    batch_release(batch);
    finish_batch(batch);
    recycle_batch(batch);
  }
}

void fs_io_server_t::retire_all_batches(io_queue_t& queue) {
  while (io_batch_t* batch = queue.in_flight.pop()) {
    // Release waits for the platform reads that are still running.
    batch_release(batch);
    finish_batch(batch);
    recycle_batch(batch);
  }
}

void fs_io_server_t::finish_batch(io_batch_t* batch) {
  u32 queue_index = batch->priority;
  const u64 count = batch->requests.count;
  fs_io_counters.finish_ops.add(count);
  fs_io_counters.finish_bytesize.add(batch->bytesize);
  fs_io_counters.queue_ops[queue_index].add(count);
  fs_io_counters.queue_bytesize[queue_index].add(batch->bytesize);
  fs_io_counters.pending_ops.sub(count);
  fs_io_counters.pending_bytesize.sub(batch->bytesize);
  {
    mutex_guard_t guard(stats_lock_);
    stats_.pending_ops -= count;
  }
  fs_io_server_request_t* request = batch->requests.head;
  while (request) {
    // Read the link first: a finished request may be recycled by its waiter at once.
    fs_io_server_request_t* next = request->next;
    finish_request(request);
    request = next;
  }
  batch->requests.clear();
}

fs_io_server_stats_t fs_io_server_t::debug_stats() {
  mutex_guard_t guard(stats_lock_);
  return stats_;
}

}  // namespace umbra
