// The part of the pump that actually moves bytes. The pump decides what is in flight;
// an engine starts transfers, reports the finished ones and lets other threads wake
// the pump. Engines are used by the pump thread only, except for wake().
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/platform/platform_fs.h"

namespace umbra {

class platform_io_engine_t {
 public:
  virtual ~platform_io_engine_t() = default;
  virtual const char* name() const = 0;
  // Begins moving a request's bytes (from request->transferred on). Short transfers
  // are continued by the engine; a request is reported once, when all its bytes moved
  // or the transfer failed (request->transfer_failed).
  virtual void start(platform_io_request_t* request) = 0;
  // Appends finished requests to done. With block set and nothing finished yet, sleeps
  // until a transfer finishes or wake() is called (a wake-up is never lost).
  virtual void reap(array_t<platform_io_request_t*>& done, bool block) = 0;
  // Any thread: makes a blocked (or the next) reap return.
  virtual void wake() = 0;
  // How many times a short piece was followed by another (for the pump's statistics).
  virtual u64 continued_pieces() const { return 0; }
};

// io_uring, or null when the kernel refuses it.
platform_io_engine_t* platform_io_engine_create_uring();
// pread/pwrite issued by the pump thread itself; always available.
platform_io_engine_t* platform_io_engine_create_pread();

// Moves bytes with one synchronous call after another until done, EOF or an error.
void platform_io_transfer_sync(platform_io_request_t* request);
// The same for a bare transfer: size bytes from *transferred on; false unless all moved.
bool platform_io_move_sync(u32 kind, platform_file_handle_t handle, u8* buffer, u64 size, u64 offset,
                           u64* transferred);

// Largest piece handed to the kernel at once (its own limit is a little below 2 GiB).
constexpr u64 PLATFORM_IO_MAX_PIECE = 1ull << 30;

}  // namespace umbra
