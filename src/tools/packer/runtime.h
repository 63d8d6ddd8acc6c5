// Brings the core runtime up in its fixed order and takes it down in reverse.
#pragma once

namespace umbra {

void runtime_startup();
void runtime_shutdown();

}  // namespace umbra
