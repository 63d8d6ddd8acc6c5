// The generic back end of the IO server: reads chunks through the platform file layer
// into plain memory targets. Stored chunks become one asynchronous platform read
// straight into the target; GDeflate tile streams are read whole and decoded; the
// stream compressions are decoded by procs. A chunk whose bytes are missing, corrupt or
// of the wrong length finishes with success 0.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_io_server_core.h"

namespace umbra {

class platform_fs_t;

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
  // Starts or carries out one request; false when it fails.
  bool submit(io_batch_t* batch, fs_io_server_request_t* request);
  bool stored_range_in_file(const fs_io_server_request_t* request);
  bool start_stored_read(io_batch_t* batch, fs_io_server_request_t* request);
  bool decode_gdeflate(fs_io_server_request_t* request);
  bool decode_with_proc(fs_io_server_request_t* request);
  bool read_now(u64 handle, u8* buffer, u64 size, u64 offset);
  static void on_stored_read_finished(platform_io_request_t* platform_request, void* argument);

  platform_fs_t* platform_;
  // The stored bytes of a GDeflate chunk; only the scheduler thread uses it.
  array_dyn_t<u8> scratch_;
};

}  // namespace umbra
