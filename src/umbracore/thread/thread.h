// Threads of the core runtime: a record per thread (name, stack size, priority, the
// preferred processor) and the routine that starts it.
#pragma once

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {
namespace thread {

using thread_entry_t = void (*)(void* argument);

struct thread_t {
  thread_entry_t entry = nullptr;
  void* argument = nullptr;
  u64 handle = 0;  // platform thread handle (pthread_t)
  string_local_t<16> name{"UmbraThread"};
  u64 stack_size = 1048576;
  s32 priority = 0;          // > 0 highest, < 0 below normal
  s32 processor = -1;        // preferred processor number, -1 none (a hint, never a pin)
  bool started = false;

  // Creates and starts the thread; a thread that cannot be created stops the process.
  void start(thread_entry_t entry_routine, void* entry_argument);
  // Waits for the thread's end.
  void join();
};

}  // namespace thread
}  // namespace umbra
