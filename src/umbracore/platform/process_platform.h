// The process around the runtime: the argument words as UTF-8, the settings a tool
// makes once at its start, and the abnormal end of an assertion.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"

namespace umbra {
namespace platform {

// The tool's argument words in UTF-8. Windows hands them over as UTF-16
// (GetCommandLineW split by CommandLineToArgvW), so a name outside the ANSI code page
// arrives whole; other systems give main's words as they are.
class process_arguments_t {
 public:
  // main's argc and argv: the words where the system has nothing better.
  bool load(int argc, char** argv);
  int count() const { return (int)words_.count() - 1; }
  // count() words and a null pointer after them.
  char** words() { return words_.data(); }

 private:
  array_dyn_t<char> text_;
  array_dyn_t<char*> words_;
};

// Once, before anything else: on Windows failures that the system would report in a
// dialog box (an unhandled exception, a drive without a disk) end the process with an
// error code instead, and timers run at 1 ms resolution for the IO scheduler's period.
void process_startup();

// Ends the process abnormally and never returns: on Windows by a non-continuable
// exception (RaiseException with 0xC0000025), elsewhere by abort.
[[noreturn]] void process_abort();

}  // namespace platform
}  // namespace umbra
