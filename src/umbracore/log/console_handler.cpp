#include "umbracore/log/console_handler.h"

#include <cstdio>

#include "umbracore/platform/console_platform.h"

namespace umbra {

console_message_handler_t::console_message_handler_t(bool flush_each) : flush_each_(flush_each) {
  platform::console_startup();
}

console_message_handler_t::~console_message_handler_t() {
  message_unregister_handler(this);
  clear_status();
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
  const bool status = drawn_ != 0;
  if (status) erase_status();
  std::fprintf(stream, "%s%s\r\n", prefix, message.text.c_str());
  if (flush_each_ || status) std::fflush(stream);
  if (status) draw_status();
}

// Carriage returns and spaces only: any terminal, and the Windows console without its
// escape sequences, goes back to the line's start and blanks what was there.
void console_message_handler_t::draw_status() {
  std::fprintf(stderr, "\r%s", status_.c_str());
  if (drawn_ > status_.length()) std::fprintf(stderr, "%*s\r%s", (int)(drawn_ - status_.length()), "", status_.c_str());
  std::fflush(stderr);
  drawn_ = status_.length();
}

void console_message_handler_t::erase_status() {
  if (drawn_ == 0) return;
  std::fprintf(stderr, "\r%*s\r", (int)drawn_, "");
  std::fflush(stderr);
  drawn_ = 0;
}

void console_message_handler_t::show_status(const char* text) {
  status_.assign(text);
  std::fflush(stdout);
  draw_status();
}

void console_message_handler_t::clear_status() {
  erase_status();
  status_.clear();
}

}  // namespace umbra
