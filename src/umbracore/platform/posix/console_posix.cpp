#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "umbracore/platform/console_platform.h"

namespace umbra {
namespace platform {

namespace {

int descriptor(console_stream_t stream) { return stream == CONSOLE_STDOUT ? STDOUT_FILENO : STDERR_FILENO; }

}  // namespace

void console_startup() {}
void console_shutdown() {}

bool console_is_terminal(console_stream_t stream) { return ::isatty(descriptor(stream)) == 1; }

u32 console_columns(console_stream_t stream) {
  winsize size{};
  if (::ioctl(descriptor(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool console_write(console_stream_t stream, const void* bytes, u64 size) {
  std::fflush(stream == CONSOLE_STDOUT ? stdout : stderr);
  const char* from = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t written = ::write(descriptor(stream), from, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    from += written;
    size -= (u64)written;
  }
  return true;
}

}  // namespace platform
}  // namespace umbra
