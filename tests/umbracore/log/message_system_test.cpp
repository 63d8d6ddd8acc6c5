#include <gtest/gtest.h>

#include <functional>

#include "support/log_capture.h"
#include "umbracore/log/log.h"
#include "support/death_pattern.h"

using namespace umbra;

namespace {

// Logs from inside delivery, as a misbehaving handler would.
class nesting_handler_t : public message_handler_t {
 public:
  std::function<void(const message_t&)> on_message;
  void handle(const message_t& message) override {
    if (on_message) on_message(message);
  }
};

class message_system_test : public ::testing::Test {
 protected:
  void SetUp() override { message_register_handler(&nesting); }
  void TearDown() override { message_unregister_handler(&nesting); }
  umbra_test::log_capture_t log;  // registered first, so it sees every delivery
  nesting_handler_t nesting;
};

}  // namespace

TEST_F(message_system_test, delivers_text_and_level) {
  log_info("abc");
  log_warning("%d%s", 4, "x");
  log_error("e");
  ASSERT_EQ(log.messages().size(), 3u);
  EXPECT_EQ(log.messages()[0].level, 1u);
  EXPECT_EQ(log.messages()[1].text, "4x");
  EXPECT_EQ(log.messages()[2].level, 3u);
}

TEST_F(message_system_test, only_the_last_of_two_nested_messages_is_delivered) {
  nesting.on_message = [this](const message_t& m) {
    if (m.text.equals("outer")) {
      log_info("first nested");
      log_info("second nested");
    }
  };
  log_info("outer");
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"outer", "second nested"}));
}

TEST_F(message_system_test, messages_logged_while_delivering_a_nested_one_are_counted) {
  nesting.on_message = [](const message_t& m) { log_info("echo of %s", m.text.c_str()); };
  log_info("outer");
  ASSERT_EQ(log.texts(), (std::vector<std::string>{
                             "outer", "echo of outer",
                             "[msg] There were at least 1 more nested messages we had to drop."}));
  EXPECT_EQ(log.messages()[2].level, (u32)LOG_LEVEL_ERROR);
  log.clear();
  nesting.on_message = nullptr;
  log_info("after");
  EXPECT_EQ(log.texts(), std::vector<std::string>{"after"});
}

TEST_F(message_system_test, a_ninth_handler_is_ignored) {
  // The console handler and the two fixture handlers are registered already.
  nesting_handler_t extra[6];
  int calls[6] = {};
  for (int i = 0; i < 6; ++i) {
    extra[i].on_message = [&calls, i](const message_t&) { ++calls[i]; };
    message_register_handler(&extra[i]);
  }
  log_info("x");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(calls[i], 1) << i;
  EXPECT_EQ(calls[5], 0);
  for (int i = 0; i < 5; ++i) message_unregister_handler(&extra[i]);
}

TEST(message_system_lifecycle, messages_after_shutdown_are_lost_silently) {
  message_system_shutdown();
  log_error("nobody hears this");
  EXPECT_FALSE(message_system_is_running());
  message_system_startup();
  EXPECT_TRUE(message_system_is_running());
}

TEST(assert_death_test, prints_one_error_line_then_aborts) {
  EXPECT_DEATH(
      {
        message_system_startup();
        UMBRA_FAIL("%s: %d", "broken", 42);
      },
      "\\*\\*\\* ERROR \\*\\*\\* : .*message_system_test\\.cpp\\(" UMBRA_RE_DIGITS "\\): .*: broken: 42" UMBRA_RE_CR);
}
