#include "umbracore/log/console_handler.h"

#include <cstdio>

#include "umbracore/platform/console_platform.h"

namespace umbra {

console_message_handler_t::console_message_handler_t(bool flush_each) : flush_each_(flush_each) {
  platform::console_startup();
}

console_message_handler_t::~console_message_handler_t() {
  message_unregister_handler(this);
  std::fflush(stdout);
  std::fflush(stderr);
  platform::console_shutdown();
}

void console_message_handler_t::handle(const message_t& message) {
  const char* prefix = "";
  FILE* stream = stdout;
  if (message.level == LOG_LEVEL_WARNING) {
    prefix = "*** WARNING *** : ";
    stream = stderr;
  } else if (message.level == LOG_LEVEL_ERROR) {
    prefix = "*** ERROR *** : ";
    stream = stderr;
  }
  std::fprintf(stream, "%s%s\r\n", prefix, message.text.c_str());
  if (flush_each_) std::fflush(stream);
}

}  // namespace umbra
