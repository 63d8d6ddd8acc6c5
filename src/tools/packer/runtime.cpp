#include "tools/packer/runtime.h"

#include <clocale>

#include "umbracore/log/log.h"
#include "umbracore/profiling/profiler_system.h"
#include "umbracore/thread/run_context_system.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/timer/cpu.h"
#include "umbracore/timer/timer_wall.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_io_server_core.h"

namespace umbra {

void runtime_startup() {
  std::setlocale(LC_ALL, "C.UTF-8");
  message_system_startup_state();
  cpu_startup();
  timer_startup();
  // From here on messages reach the console.
  console_handler_startup();
  run_context_startup_main_thread();
  profiler_startup();
  thread_pool_startup();
  fs_startup("");
  fs_io_server_startup();
  profiler_tracer_startup();
}

void runtime_shutdown() {
  // The trace is written while the file system still runs.
  profiler_tracer_shutdown();
  fs_io_server_shutdown();
  fs_shutdown();
  thread_pool_shutdown();
  run_context_shutdown_main_thread();
  profiler_shutdown();
  timer_shutdown();
  cpu_shutdown();
  message_system_shutdown();
}

}  // namespace umbra
