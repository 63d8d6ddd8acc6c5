// CityHash64 as published in CityHash 1.0.3. Cairn archives key every entry by this
// value, so the function must never change: release 1.1 and later give other values
// and would make every existing archive unreadable.
#pragma once

#include <cstddef>

#include "umbracore/types.h"

namespace umbra {

// Pure function of the bytes: no state, no allocation, callable from any thread.
u64 cityhash64(const void* bytes, size_t length);

}  // namespace umbra
