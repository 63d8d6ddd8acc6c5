#include "umbracore/thread/thread.h"

#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/thread_platform.h"

namespace umbra {
namespace thread {

void thread_t::start(thread_entry_t entry_routine, void* entry_argument) {
  entry = entry_routine;
  argument = entry_argument;
  platform::thread_handle_t created = 0;
  bool ok = platform::thread_create_suspended(&created, stack_size, entry, argument);
  UMBRA_ASSERT(ok, "%s", "[thread] Failed to create thread.");
  handle = created;
  platform::thread_set_name(created, name.c_str());
  if (priority != 0) platform::thread_set_priority(created, priority);
  if (processor >= 0 && !platform::thread_set_ideal_processor(created, (u32)processor)) {
    log_warning("[thread] Failed to alter thread CPU affinity.");
  }
  started = true;
  platform::thread_resume(created);
}

void thread_t::join() {
  if (!started) return;
  platform::thread_join(handle);
  handle = 0;
  started = false;
}

}  // namespace thread
}  // namespace umbra
