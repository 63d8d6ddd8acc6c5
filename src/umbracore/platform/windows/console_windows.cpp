// The console streams on Windows: GetConsoleMode tells a console from a file or pipe,
// GetConsoleScreenBufferInfo gives its width, WriteFile writes bytes unchanged.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "umbracore/platform/console_platform.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {
namespace platform {

namespace {

HANDLE stream_handle(console_stream_t stream) {
  return GetStdHandle(stream == CONSOLE_STDOUT ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

UINT g_previous_output_code_page = 0;

}  // namespace

void console_startup() {
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  if (g_previous_output_code_page == 0 && (console_is_terminal(CONSOLE_STDOUT) || console_is_terminal(CONSOLE_STDERR))) {
    g_previous_output_code_page = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
  }
}

void console_shutdown() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (g_previous_output_code_page != 0) {
    SetConsoleOutputCP(g_previous_output_code_page);
    g_previous_output_code_page = 0;
  }
}

bool console_is_terminal(console_stream_t stream) {
  DWORD mode = 0;
  return GetConsoleMode(stream_handle(stream), &mode) != FALSE;
}

u32 console_columns(console_stream_t stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(stream_handle(stream), &info)) return 0;
  int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? (u32)columns : 0;
}

bool console_write(console_stream_t stream, const void* bytes, u64 size) {
  std::fflush(stream == CONSOLE_STDOUT ? stdout : stderr);
  HANDLE handle = stream_handle(stream);
  const char* from = static_cast<const char*>(bytes);
  while (size > 0) {
    DWORD piece = size < 0x40000000u ? (DWORD)size : 0x40000000u;
    DWORD written = 0;
    if (!WriteFile(handle, from, piece, &written, nullptr) || written == 0) return false;
    from += written;
    size -= written;
  }
  return true;
}

}  // namespace platform
}  // namespace umbra
