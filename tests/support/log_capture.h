// Test support: starts the message system and records every delivered message.
#pragma once

#include <string>
#include <vector>

#include "umbracore/log/log.h"

namespace umbra_test {

struct captured_message_t {
  unsigned level;
  std::string text;
};

class log_capture_t : public umbra::message_handler_t {
 public:
  // Starts the message system when it is not running and registers itself.
  log_capture_t();
  ~log_capture_t() override;
  void handle(const umbra::message_t& message) override;

  const std::vector<captured_message_t>& messages() const { return messages_; }
  std::vector<std::string> errors() const;
  std::vector<std::string> texts() const;
  void clear() { messages_.clear(); }
  bool contains(const std::string& text) const;
  // A failure reported with exactly one line of its own, the last error; the file layer
  // may report a short read before it.
  void expect_last_error_once(const std::string& message) const;

 private:
  std::vector<captured_message_t> messages_;
};

}  // namespace umbra_test
