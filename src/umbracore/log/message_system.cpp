// Message dispatch: formatting once, delivery to every handler under one recursive
// lock, and the nesting rules for handlers that log while a message is delivered.
#include <mutex>

#include "umbracore/log/console_handler.h"
#include "umbracore/log/log.h"

namespace umbra {

namespace {

struct message_system_t {
  array_local_t<message_handler_t*, 8> handlers;
  u32 depth = 0;
  u32 dropped = 0;
  message_t pending;
};

std::recursive_mutex& log_lock() {
  // Function-local static: created on first use, thread-safe.
  static std::recursive_mutex lock;
  return lock;
}

message_system_t* g_message_system = nullptr;
console_message_handler_t* g_console_handler = nullptr;

void deliver(message_system_t& system, const message_t& message) {
  for (message_handler_t* handler : system.handlers) handler->handle(message);
}

void deliver_pending_and_drop_report(message_system_t& system) {
  if (!system.pending.text.empty()) {
    system.depth = 3;
    deliver(system, system.pending);
    system.pending.text.release_storage();
    system.depth = 1;
  }
  if (system.dropped != 0) {
    system.depth = 3;
    message_t report;
    report.level = LOG_LEVEL_ERROR;
    report.text.format("[msg] There were at least %u more nested messages we had to drop.", system.dropped);
    deliver(system, report);
    system.depth = 1;
    system.dropped = 0;
  }
}

}  // namespace

void log_vmessage(u32 level, const char* format, va_list args) {
  std::lock_guard<std::recursive_mutex> guard(log_lock());
  message_system_t* system = g_message_system;
  if (!system) return;
  u32 old_depth = system->depth++;
  if (old_depth == 0) {
    message_t message;
    message.level = level;
    if (!message.text.vformat(format, args)) message.text.clear();
    deliver(*system, message);
    deliver_pending_and_drop_report(*system);
  } else if (old_depth == 1) {
    message_t nested;
    nested.level = level;
    if (!nested.text.vformat(format, args)) nested.text.clear();
    system->pending = std::move(nested);
  } else {
    ++system->dropped;
  }
  --system->depth;
}

void log_message(u32 level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_vmessage(level, format, args);
  va_end(args);
}

void log_info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_vmessage(LOG_LEVEL_INFO, format, args);
  va_end(args);
}

void log_warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_vmessage(LOG_LEVEL_WARNING, format, args);
  va_end(args);
}

void log_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_vmessage(LOG_LEVEL_ERROR, format, args);
  va_end(args);
}

void message_register_handler(message_handler_t* handler) {
  std::lock_guard<std::recursive_mutex> guard(log_lock());
  if (g_message_system) g_message_system->handlers.append(handler);
}

void message_unregister_handler(message_handler_t* handler) {
  std::lock_guard<std::recursive_mutex> guard(log_lock());
  if (!g_message_system) return;
  auto& handlers = g_message_system->handlers;
  message_handler_t** found = nullptr;
  for (message_handler_t*& h : handlers) {
    if (h == handler) {
      found = &h;
      break;
    }
  }
  handlers.remove_fast(handlers.index_of(found));
}

void message_system_startup_state() {
  std::lock_guard<std::recursive_mutex> guard(log_lock());
  if (!g_message_system) g_message_system = new message_system_t();
}

void console_handler_startup() {
  if (g_console_handler) return;
  g_console_handler = new console_message_handler_t(false);
  message_register_handler(g_console_handler);
}

void console_status_show(const char* text) {
  std::lock_guard<std::recursive_mutex> guard(log_lock());
  if (g_console_handler) g_console_handler->show_status(text);
}

void console_status_clear() {
  std::lock_guard<std::recursive_mutex> guard(log_lock());
  if (g_console_handler) g_console_handler->clear_status();
}

void message_system_startup() {
  message_system_startup_state();
  console_handler_startup();
}

void message_system_shutdown() {
  if (g_console_handler) {
    delete g_console_handler;  // unregisters itself and flushes both streams
    g_console_handler = nullptr;
  }
  std::lock_guard<std::recursive_mutex> guard(log_lock());
  delete g_message_system;
  g_message_system = nullptr;
}

bool message_system_is_running() {
  std::lock_guard<std::recursive_mutex> guard(log_lock());
  return g_message_system != nullptr;
}

}  // namespace umbra
