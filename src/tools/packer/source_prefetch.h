// Reading the sources ahead of the tasks: a thread of its own asks the system to load
// the next files into its cache, in the order the tasks were submitted, staying a bounded
// number of bytes ahead of the tasks that started reading. With a cold cache the workers
// then find their files loaded instead of each waiting for the disk in turn.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/thread/locks.h"
#include "umbracore/thread/thread.h"
#include "umbracore/types.h"

namespace umbra {

// The window rule, apart from the thread: hints may run up to window bytes ahead of the
// reads that started, and a thread that waits for room is woken only once half the window
// is free again, so that it hints in batches.
struct prefetch_window_t {
  u64 window = 0;
  u64 started_bytes = 0;
  u64 hinted_bytes = 0;

  bool has_room() const { return hinted_bytes <= started_bytes + window; }
  bool wakes_a_waiter() const { return hinted_bytes <= started_bytes + window / 2; }
};

class source_prefetcher_t {
 public:
  struct item_t {
    const char* path;  // relative to the root; outlives the prefetcher
    u64 size;
  };
  using prefetch_function_t = bool (*)(const char* full_path);

  // window: how many bytes the hints may run ahead of the reads.
  source_prefetcher_t(const char* root, u64 window, prefetch_function_t prefetch);
  // Stops the thread (see stop).
  ~source_prefetcher_t();

  // Starts the thread over the items, in order.
  void start(array_dyn_t<item_t>&& items);
  // A task begins reading size bytes of its source: the window moves on.
  void on_read_started(u64 size);
  // Ends the thread, whether it was waiting or hinting, and waits for it.
  void stop();

 private:
  static void thread_entry(void* self);
  void run();
  // Waits until the hints may go on; false once stopping.
  bool wait_for_room();

  const char* root_;
  prefetch_function_t prefetch_;
  array_dyn_t<item_t> items_;
  thread::thread_t thread_;
  mutex_t lock_;
  condition_t wake_;
  prefetch_window_t window_;  // guarded by lock_
  bool waiting_ = false;      // guarded by lock_
  bool stopping_ = false;  // guarded by lock_
};

}  // namespace umbra
