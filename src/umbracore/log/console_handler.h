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

 private:
  bool flush_each_;
};

}  // namespace umbra
