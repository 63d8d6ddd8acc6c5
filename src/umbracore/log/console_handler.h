// The console handler: information on standard output as it stands, warnings and
// errors on standard error behind a fixed prefix; every line ends in CR LF.
#pragma once

#include "umbracore/log/log.h"

namespace umbra {

class console_message_handler_t final : public message_handler_t {
 public:
  explicit console_message_handler_t(bool flush_each);
  ~console_message_handler_t() override;
  void handle(const message_t& message) override;

  // The status line on standard error: drawn after the last message and redrawn after
  // every message that follows, so messages scroll above it. Called under the log lock.
  void show_status(const char* text);
  void clear_status();

 private:
  void draw_status();
  void erase_status();

  bool flush_each_;
  mstring_t status_;
  u32 drawn_ = 0;  // bytes of the status line on the screen now
};

}  // namespace umbra
