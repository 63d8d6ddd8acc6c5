// The process on Windows: arguments from the UTF-16 command line, no error dialogs, a
// 1 ms timer resolution, and the assertion's non-continuable exception.
#include "umbracore/platform/windows/win32.h"
// After <windows.h>, which they build on.
#include <mmsystem.h>
#include <shellapi.h>

#include "umbracore/platform/process_platform.h"

namespace umbra {
namespace platform {

namespace {

constexpr DWORD ASSERTION_EXCEPTION = 0xC0000025;  // STATUS_NONCONTINUABLE_EXCEPTION

// An exception nobody handles ends the process with its code, without a dialog box
// and without waiting for a debugger to attach.
LONG WINAPI end_on_unhandled_exception(EXCEPTION_POINTERS* exception) {
  (void)exception;
  return EXCEPTION_EXECUTE_HANDLER;
}

bool load_wide_command_line(array_dyn_t<char>& text, array_dyn_t<u64>& starts) {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!words) return false;
  bool ok = true;
  array_dyn_t<char> word;
  for (int i = 0; ok && i < count; ++i) {
    ok = utf8_from_wide(word, words[i]) && starts.append(text.count()) && text.append_block(word.data(), word.count());
  }
  LocalFree(words);
  return ok;
}

}  // namespace

bool process_arguments_t::load(int argc, char** argv) {
  text_.clear();
  words_.clear();
  array_dyn_t<u64> starts;
  if (load_wide_command_line(text_, starts)) {
    for (u64 start : starts) {
      if (!words_.append(text_.data() + start)) return false;
    }
    return words_.append(nullptr) != nullptr;
  }
  // No wide command line: the words in the ANSI code page are better than none.
  text_.clear();
  for (int i = 0; i < argc; ++i) {
    if (!words_.append(argv[i])) return false;
  }
  return words_.append(nullptr) != nullptr;
}

void process_startup() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(end_on_unhandled_exception);
  timeBeginPeriod(1);
}

void process_abort() {
  RaiseException(ASSERTION_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  __builtin_trap();
}

}  // namespace platform
}  // namespace umbra
