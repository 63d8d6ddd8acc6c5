#include "tools/packer/runtime.h"

#include <clocale>

#include "umbracore/log/log.h"

namespace umbra {

void runtime_startup() {
  std::setlocale(LC_ALL, "C.UTF-8");
  message_system_startup();
}

void runtime_shutdown() { message_system_shutdown(); }

}  // namespace umbra
