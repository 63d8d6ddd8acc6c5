// Reading one 32-bit integer from the registry by its absolute value path, e.g.
// "HKEY_LOCAL_MACHINE\HARDWARE\DESCRIPTION\System\CentralProcessor\0\~MHz".
#pragma once

#include "umbracore/types.h"

namespace umbra {

// Every failure logs one "[reg]" error line (two for a key that cannot be opened).
bool registry_read_u32(const char* value_path, u32* value);

}  // namespace umbra
