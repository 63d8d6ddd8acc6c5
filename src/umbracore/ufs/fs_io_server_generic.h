// The generic back end of the IO server: reads chunks through the platform file layer
// into plain memory targets. Stored chunks become one asynchronous platform read
// straight into the target; compressed chunks (GDeflate tile streams, and the stream
// compressions decoded by procs) are decoded on the thread pool's workers, several at
// once. A chunk whose bytes are missing, corrupt or of the wrong length finishes with
// success 0.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/thread/locks.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_io_server_core.h"

namespace umbra {

class platform_fs_t;
class fs_io_decode_work_t;

// Stored chunks larger than this are refused (256 MiB).
constexpr u64 FS_IO_GENERIC_LOAD_BUFFER_LIMIT = 268435456;

class fs_io_server_generic_t final : public fs_io_server_t {
 public:
  // platform must outlive the server.
  explicit fs_io_server_generic_t(platform_fs_t* platform);
  ~fs_io_server_generic_t() override;

  // Sets the load-buffer limit, then starts the server.
  bool init() override;
  // Only mode 0 (read-only) is served; path is a platform path.
  u64 open(const char* path, u32 mode) override;
  void close(u64 handle) override;

 protected:
  bool can_accept(const io_queue_t& queue) override { return true; }
  void batch_submit(io_batch_t* batch) override;
  bool batch_done(io_batch_t* batch) override;
  void batch_release(io_batch_t* batch) override;

 private:
  friend class fs_io_decode_work_t;

  // Starts a stored read or sets a compressed request aside for decoding; false when
  // it fails at once.
  bool submit(io_batch_t* batch, fs_io_server_request_t* request, array_t<fs_io_server_request_t*>& to_decode);
  bool stored_range_in_file(const fs_io_server_request_t* request);
  bool start_stored_read(io_batch_t* batch, fs_io_server_request_t* request);
  // Hands the compressed requests of a batch to the workers (or decodes them here when
  // the process has none).
  void start_decoding(io_batch_t* batch, array_t<fs_io_server_request_t*>& to_decode);
  // Any thread: decodes one request of batch and counts it done.
  void decode_one(io_batch_t* batch, fs_io_server_request_t* request);
  bool decode_gdeflate(fs_io_server_request_t* request);
  bool decode_with_proc(fs_io_server_request_t* request);
  // Until the batch has nothing outstanding (the decodes, once its platform reads are in).
  void wait_for_decodes(io_batch_t* batch);
  fs_io_decode_work_t* take_decode_work();
  static void on_stored_read_finished(platform_io_request_t* platform_request, void* argument);

  platform_fs_t* platform_;

  // The decode work of batches, reused once the pool has finished its runners; the
  // scheduler thread only.
  array_dyn_t<fs_io_decode_work_t*> decode_work_;

  // Signalled whenever a batch's last decode is done.
  mutex_t decode_lock_;
  condition_t decode_done_;
};

}  // namespace umbra
