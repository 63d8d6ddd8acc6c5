// The io_uring engine: transfers are submitted to the kernel and complete while the
// pump goes on; an eventfd read kept in the ring turns wake() into a completion, so the
// pump sleeps in one place for both new packets and finished transfers.
#include <cerrno>
#include <liburing.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "umbracore/platform/posix/platform_faults_posix.h"
#include "umbracore/platform/posix/platform_io_engines_posix.h"

namespace umbra {

namespace {

// Up to 8 transfers and the wake-up read; room to spare for resubmitted pieces.
constexpr unsigned URING_ENTRIES = 32;

class uring_engine_t final : public platform_io_engine_t {
 public:
  ~uring_engine_t() override {
    if (ring_ready_) io_uring_queue_exit(&ring_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  bool init() {
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wake_fd_ < 0) return false;
    if (io_uring_queue_init(URING_ENTRIES, &ring_, 0) < 0) return false;
    ring_ready_ = true;
    if (!arm_wake()) return false;
    return io_uring_submit(&ring_) >= 0;
  }

  const char* name() const override { return "io_uring"; }

  void start(platform_io_request_t* request) override {
    if (request->transferred >= request->size) {
      immediate_.append(request);
      return;
    }
    if (!submit_piece(request)) {
      request->transfer_failed = true;
      immediate_.append(request);
      return;
    }
    flush();
  }

  void reap(array_t<platform_io_request_t*>& done, bool block) override {
    if (!immediate_.empty()) {
      for (platform_io_request_t* request : immediate_) done.append(request);
      immediate_.clear();
      block = false;
    }
    if (block) {
      io_uring_cqe* cqe = nullptr;
      int rc;
      do {
        rc = io_uring_wait_cqe(&ring_, &cqe);
      } while (rc == -EINTR);
    }
    unsigned head;
    unsigned seen = 0;
    io_uring_cqe* cqe;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      ++seen;
      handle_completion(static_cast<platform_io_request_t*>(io_uring_cqe_get_data(cqe)), cqe->res, done);
    }
    io_uring_cq_advance(&ring_, seen);
    for (platform_io_request_t* request : immediate_) done.append(request);
    immediate_.clear();
    if (wake_lost_ && arm_wake()) wake_lost_ = false;
    flush();
  }

  bool wake() override {
    u64 one = 1;
    ssize_t written;
    do {
      written = ::write(wake_fd_, &one, sizeof(one));
    } while (written < 0 && errno == EINTR);
    // A full counter (EAGAIN) still wakes the reader.
    return written == (ssize_t)sizeof(one) || errno == EAGAIN;
  }

 private:
  bool arm_wake() {
    io_uring_sqe* sqe = next_sqe();
    if (!sqe) return false;
    io_uring_prep_read(sqe, wake_fd_, &wake_value_, sizeof(wake_value_), 0);
    io_uring_sqe_set_data(sqe, nullptr);
    return true;
  }

  io_uring_sqe* next_sqe() {
    io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
    if (!sqe && io_uring_submit(&ring_) >= 0) sqe = io_uring_get_sqe(&ring_);
    return sqe;
  }

  bool submit_piece(platform_io_request_t* request) {
    u64 remaining = request->size - request->transferred;
    u64 allowed = remaining < PLATFORM_IO_MAX_PIECE ? remaining : PLATFORM_IO_MAX_PIECE;
    if (!posix_piece_allowed(request->kind, &allowed)) return false;
    io_uring_sqe* sqe = next_sqe();
    if (!sqe) return false;
    unsigned piece = (unsigned)allowed;
    u64 offset = request->offset + request->transferred;
    if (request->kind == PLATFORM_IO_READ) {
      io_uring_prep_read(sqe, (int)request->handle, request->buffer + request->transferred, piece, offset);
    } else {
      io_uring_prep_write(sqe, (int)request->handle, request->buffer + request->transferred, piece, offset);
    }
    io_uring_sqe_set_data(sqe, request);
    return true;
  }

  void flush() {
    int rc;
    do {
      rc = io_uring_submit(&ring_);
    } while (rc == -EINTR || rc == -EAGAIN);
  }

  void handle_completion(platform_io_request_t* request, int result, array_t<platform_io_request_t*>& done) {
    if (!request) {
      // The wake-up read: keep one armed at all times.
      if (!arm_wake()) wake_lost_ = true;
      return;
    }
    if (result == -EINTR || result == -EAGAIN) {
      resubmit(request, done);
      return;
    }
    if (result <= 0) {
      // An error, or the end of the file before the requested count.
      request->transfer_failed = true;
      done.append(request);
      return;
    }
    request->transferred += (u64)result;
    if (request->transferred < request->size) {
      resubmit(request, done);
      return;
    }
    done.append(request);
  }

  u64 continued_pieces() const override { return continued_; }

  void resubmit(platform_io_request_t* request, array_t<platform_io_request_t*>& done) {
    ++continued_;
    if (submit_piece(request)) return;
    request->transfer_failed = true;
    done.append(request);
  }

  io_uring ring_{};
  bool ring_ready_ = false;
  int wake_fd_ = -1;
  u64 wake_value_ = 0;
  bool wake_lost_ = false;
  u64 continued_ = 0;
  array_dyn_t<platform_io_request_t*> immediate_;
};

}  // namespace

platform_io_engine_t* platform_io_engine_create_uring() {
  uring_engine_t* engine = new uring_engine_t();
  if (!engine->init()) {
    delete engine;
    return nullptr;
  }
  return engine;
}

}  // namespace umbra
