#include "umbracore/log/assert.h"

#include <cstdarg>
#include <cstdio>

#include "umbracore/log/log.h"
#include "umbracore/platform/process_platform.h"

namespace umbra {

void assert_failed(const char* file, unsigned line, const char* function, const char* format, ...) {
  mstring_t message;
  va_list args;
  va_start(args, format);
  message.vformat(format, args);
  va_end(args);
  if (message_system_is_running()) {
    log_error("%s(%u): %s: %s", file, line, function, message.c_str());
  } else {
    // Nothing would reach the console otherwise; the line must never be lost.
    std::fprintf(stderr, "*** ERROR *** : %s(%u): %s: %s\r\n", file, line, function, message.c_str());
  }
  std::fflush(stdout);
  std::fflush(stderr);
  platform::process_abort();
}

}  // namespace umbra
