// The process's console streams as the tool needs them beyond printing lines: whether
// a stream is a terminal (a progress line is drawn only there), how wide that terminal
// is, and writing bytes unchanged (a file's content on standard output). On Windows
// these are GetConsoleMode, GetConsoleScreenBufferInfo and WriteFile on a stream in
// binary mode.
#pragma once

#include "umbracore/types.h"

namespace umbra {
namespace platform {

enum console_stream_t : u32 {
  CONSOLE_STDOUT = 1,
  CONSOLE_STDERR = 2,
};

// Before the first line and after the last: on Windows both streams go to binary mode
// (a line's CR LF must not become CR CR LF) and a console shows UTF-8 while the tool
// runs.
void console_startup();
void console_shutdown();

bool console_is_terminal(console_stream_t stream);
// Columns of the terminal behind the stream; 0 when it is none or cannot tell.
u32 console_columns(console_stream_t stream);
// Writes every byte as it is, after what the line output has buffered for the stream;
// false when they cannot all be written.
bool console_write(console_stream_t stream, const void* bytes, u64 size);

}  // namespace platform
}  // namespace umbra
