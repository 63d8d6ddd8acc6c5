// The fallback engine: the pump thread moves the bytes itself with pread/pwrite, one
// started request after another, so the in-flight accounting and the FIFO behave as
// with io_uring while only the pump touches file data.
#include <cerrno>
#include <unistd.h>

#include "umbracore/platform/posix/platform_faults_posix.h"
#include "umbracore/platform/posix/platform_io_engines_posix.h"
#include "umbracore/thread/locks.h"

namespace umbra {

bool platform_io_move_sync(u32 kind, platform_file_handle_t handle, u8* buffer, u64 size, u64 offset,
                           u64* transferred) {
  int fd = (int)handle;
  while (*transferred < size) {
    u64 remaining = size - *transferred;
    u64 allowed = remaining < PLATFORM_IO_MAX_PIECE ? remaining : PLATFORM_IO_MAX_PIECE;
    if (!posix_piece_allowed(kind, &allowed)) return false;
    size_t piece = (size_t)allowed;
    off_t at = (off_t)(offset + *transferred);
    ssize_t moved = kind == PLATFORM_IO_READ ? ::pread(fd, buffer + *transferred, piece, at)
                                             : ::pwrite(fd, buffer + *transferred, piece, at);
    if (moved < 0 && errno == EINTR) continue;
    // End of file before the requested count, or an error.
    if (moved <= 0) return false;
    *transferred += (u64)moved;
  }
  return true;
}

namespace {

void transfer_sync(platform_io_request_t* request) {
  if (!platform_io_move_sync(request->kind, request->handle, request->buffer, request->size, request->offset,
                             &request->transferred)) {
    request->transfer_failed = true;
  }
}

class pread_engine_t final : public platform_io_engine_t {
 public:
  const char* name() const override { return "pread"; }

  void start(platform_io_request_t* request) override { started_.push(request); }

  void reap(array_t<platform_io_request_t*>& done, bool block) override {
    if (platform_io_request_t* request = started_.pop()) {
      transfer_sync(request);
      done.append(request);
      return;
    }
    if (!block) return;
    mutex_guard_t guard(wake_lock_);
    while (!woken_) wake_condition_.wait(wake_lock_);
    woken_ = false;
  }

  bool wake() override {
    mutex_guard_t guard(wake_lock_);
    woken_ = true;
    wake_condition_.notify_one();
    return true;
  }

 private:
  intrusive_fifo_t<platform_io_request_t> started_;  // moved one at a time, oldest first
  mutex_t wake_lock_;
  condition_t wake_condition_;
  bool woken_ = false;
};

}  // namespace

platform_io_engine_t* platform_io_engine_create_pread() { return new pread_engine_t(); }

}  // namespace umbra
