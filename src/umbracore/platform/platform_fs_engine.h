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
  // Any thread: makes a blocked (or the next) reap return; false when the wake-up could
  // not be posted.
  virtual bool wake() = 0;
  // Any thread: prepares a newly opened handle for transfers through the engine (an IO
  // completion port must know the handle before its first transfer).
  virtual bool attach(platform_file_handle_t handle) { return true; }
  // How many times a short piece was followed by another (for the pump's statistics).
  virtual u64 continued_pieces() const { return 0; }
};

// The engine the back end asks for, or the platform's choice for AUTO; null when none
// can be had.
platform_io_engine_t* platform_io_engine_create(platform_io_backend_t backend);

// Moves size bytes from *transferred on with one synchronous call after another, on
// the calling thread and outside the pump; false unless all moved (end of file or an
// error first).
bool platform_io_move_sync(u32 kind, platform_file_handle_t handle, u8* buffer, u64 size, u64 offset,
                           u64* transferred);

// After a copy's bytes: gives the target what else the system keeps of the source
// (times, permissions); best effort.
void platform_copy_file_details(platform_file_handle_t source, platform_file_handle_t target);

// Largest piece handed to the kernel at once (its own limit is a little below 2 GiB).
constexpr u64 PLATFORM_IO_MAX_PIECE = 1ull << 30;

}  // namespace umbra
