#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace umbra_test {

log_capture_t::log_capture_t() {
  umbra::message_system_startup();
  umbra::message_register_handler(this);
}

log_capture_t::~log_capture_t() { umbra::message_unregister_handler(this); }

void log_capture_t::handle(const umbra::message_t& message) {
  messages_.push_back({message.level, message.text.c_str()});
}

std::vector<std::string> log_capture_t::errors() const {
  std::vector<std::string> out;
  for (const auto& m : messages_)
    if (m.level == umbra::LOG_LEVEL_ERROR) out.push_back(m.text);
  return out;
}

std::vector<std::string> log_capture_t::texts() const {
  std::vector<std::string> out;
  for (const auto& m : messages_) out.push_back(m.text);
  return out;
}

bool log_capture_t::contains(const std::string& text) const {
  for (const auto& m : messages_)
    if (m.text == text) return true;
  return false;
}

void log_capture_t::expect_last_error_once(const std::string& message) const {
  const std::vector<std::string> lines = errors();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), message);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), message), 1);
}

}  // namespace umbra_test
