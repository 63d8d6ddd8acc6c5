// The generic back end: every request of a batch is started (stored chunks) or carried
// out (compressed chunks) on the scheduler thread; batch release collects the
// asynchronous reads. Also the process's server: start-up, shutdown and the accessor.
#include "umbracore/ufs/fs_io_server_generic.h"

#include <atomic>

#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/ufs/fs_cache.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_proc.h"
#include "umbracore/ufs/sysfs_device.h"
#include "umbracore/umbrautils/format/gdeflate.h"

namespace umbra {

namespace {

// The GDeflate staging buffer is kept between chunks up to this size; a larger one is
// given back after its chunk.
constexpr u64 scratch_keep_limit = 16u << 20;

}  // namespace

fs_io_server_generic_t::fs_io_server_generic_t(platform_fs_t* platform) : platform_(platform) {}

fs_io_server_generic_t::~fs_io_server_generic_t() { shutdown(); }

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
  for (fs_io_server_request_t* request = batch->head; request; request = request->next) {
    if (!submit(batch, request)) request->success.store(0, std::memory_order_relaxed);
  }
}

bool fs_io_server_generic_t::batch_done(io_batch_t* batch) {
  return batch->outstanding.load(std::memory_order_acquire) == 0;
}

void fs_io_server_generic_t::batch_release(io_batch_t* batch) {
  for (fs_io_server_request_t* request = batch->head; request; request = request->next) {
    if (request->platform_request) {
      if (!platform_->wait_and_recycle(request->platform_request)) request->success.store(0, std::memory_order_relaxed);
      request->platform_request = nullptr;
    }
    if (request->owns_handle) {
      close(request->handle);
      request->handle = FS_IO_HANDLE_NONE;
      request->owns_handle = false;
    }
  }
}

bool fs_io_server_generic_t::submit(io_batch_t* batch, fs_io_server_request_t* request) {
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
      return stored_range_in_file(request) && decode_gdeflate(request);
    case FS_COMPRESSION_ZLIB:
    case FS_COMPRESSION_DEFLATE:
    case FS_COMPRESSION_ZSTD:
      return stored_range_in_file(request) && decode_with_proc(request);
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

bool fs_io_server_generic_t::read_now(u64 handle, u8* buffer, u64 size, u64 offset) {
  if (size == 0) return true;
  platform_io_request_t* read =
      platform_->queue_read((platform_file_handle_t)handle, buffer, size, offset, nullptr, nullptr);
  return read && platform_->wait_and_recycle(read);
}

bool fs_io_server_generic_t::decode_gdeflate(fs_io_server_request_t* request) {
  const fs_chunk_t& chunk = request->chunk;
  // Nothing in the buffer is worth keeping: a larger one is allocated afresh, not grown.
  if (chunk.stored_size > scratch_.capacity()) scratch_.release_storage();
  if (!scratch_.resize_uninitialized(chunk.stored_size)) return false;
  bool ok = read_now(request->handle, scratch_.data(), chunk.stored_size, chunk.offset) &&
            gdeflate_decompress(request->target, chunk.size, scratch_.data(), chunk.stored_size);
  if (scratch_.capacity() > scratch_keep_limit) scratch_.release_storage();
  return ok;
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
