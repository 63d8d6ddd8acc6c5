// The process-wide message system: every line the tool prints goes through here.
#pragma once

#include <cstdarg>

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

enum log_level_t : u32 {
  LOG_LEVEL_INFO = 1,
  LOG_LEVEL_WARNING = 2,
  LOG_LEVEL_ERROR = 3,
};

struct message_t {
  mstring_t text;
  u32 level = 0;
};

class message_handler_t {
 public:
  virtual ~message_handler_t() = default;
  virtual void handle(const message_t& message) = 0;
};

void log_info(const char* format, ...) UMBRA_PRINTF(1, 2);
void log_warning(const char* format, ...) UMBRA_PRINTF(1, 2);
void log_error(const char* format, ...) UMBRA_PRINTF(1, 2);
void log_message(u32 level, const char* format, ...) UMBRA_PRINTF(2, 3);
void log_vmessage(u32 level, const char* format, va_list args);

// A line that stands below the messages on standard error and changes in place (a
// progress line; the caller decides whether standard error is a terminal). Messages
// printed while it is shown appear above it. Without the console handler nothing is
// drawn.
void console_status_show(const char* text);
void console_status_clear();

// Handler registry (at most 8 handlers; further registrations are ignored).
void message_register_handler(message_handler_t* handler);
void message_unregister_handler(message_handler_t* handler);

// Start-up creates the state and the console handler; shutdown removes both. The two
// halves exist separately because the runtime creates the state first and the console
// handler only after the services whose start-up reports nobody needs to see.
void message_system_startup();
void message_system_startup_state();
void console_handler_startup();
void message_system_shutdown();
bool message_system_is_running();

}  // namespace umbra
