// The progress line of create and extract: files and bytes done of the total, the
// rate and the time left, drawn in place on standard error when (and only when) that
// is a terminal and -quiet is not given, so scripts and logs see nothing of it.
//
// Workers count what they finish with relaxed atomic additions and never wait; one
// thread of its own wakes a few times a second, reads the counts and redraws the line
// through the console handler, which keeps messages above it.
#pragma once

#include <atomic>

#include "umbracore/thread/locks.h"
#include "umbracore/thread/thread.h"
#include "umbracore/types.h"

namespace umbra {

// Whether a progress line (and create's closing information line) is wanted: standard
// error is a terminal and the command line holds no -quiet.
bool progress_wanted();

// Microseconds of a monotonic clock, for the rate and for run times.
u64 progress_clock_us();

// "12.3 MiB" style sizes: bytes in the largest binary unit that keeps a digit before
// the point.
void format_byte_size(string& out, u64 bytes);

class progress_t {
 public:
  progress_t() = default;
  // Stops the line when it is still shown.
  ~progress_t();
  progress_t(const progress_t&) = delete;
  progress_t& operator=(const progress_t&) = delete;

  // Starts the line when progress_wanted(); verb leads it ("Packing"). Totals of 0
  // are shown as unknown.
  void start(const char* verb, u64 total_files, u64 total_bytes);
  // Any thread, any time (also before start and after stop). Bytes read from other
  // files than those counted (the images of texture descriptors) are kept apart: the
  // totals cannot foresee them.
  void add(u64 files, u64 bytes, u64 other_bytes = 0) {
    files_.fetch_add(files, std::memory_order_relaxed);
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
    if (other_bytes) other_bytes_.fetch_add(other_bytes, std::memory_order_relaxed);
  }
  u64 other_bytes() const { return other_bytes_.load(std::memory_order_relaxed); }
  // Removes the line; the next output starts where it stood.
  void stop();

  // The text the line shows for the counts at elapsed_us after the start (for tests
  // and the refresh thread).
  void format(string& out, u64 files, u64 bytes, u64 elapsed_us) const;

 private:
  static void refresh_main(void* self);
  void refresh_loop();
  void draw();

  const char* verb_ = "";
  u64 total_files_ = 0;
  u64 total_bytes_ = 0;
  u64 started_us_ = 0;
  std::atomic<u64> files_{0};
  std::atomic<u64> bytes_{0};
  std::atomic<u64> other_bytes_{0};
  mutex_t lock_;
  condition_t wake_;
  bool stopping_ = false;  // under lock_
  bool running_ = false;   // the refresh thread exists (start's thread only)
  thread::thread_t refresher_;
};

}  // namespace umbra
