#include <cstdlib>

#include "umbracore/platform/process_platform.h"

namespace umbra {
namespace platform {

bool process_arguments_t::load(int argc, char** argv) {
  words_.clear();
  for (int i = 0; i < argc; ++i) {
    if (!words_.append(argv[i])) return false;
  }
  return words_.append(nullptr) != nullptr;
}

void process_startup() {}

void process_abort() { std::abort(); }

}  // namespace platform
}  // namespace umbra
