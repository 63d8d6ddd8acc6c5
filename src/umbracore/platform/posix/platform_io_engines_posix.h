// The two POSIX engines behind the pump; platform_io_engine_posix.cpp chooses one.
#pragma once

#include "umbracore/platform/platform_fs_engine.h"

namespace umbra {

// io_uring, or null when the kernel refuses it.
platform_io_engine_t* platform_io_engine_create_uring();
// pread/pwrite issued by the pump thread itself; always available.
platform_io_engine_t* platform_io_engine_create_pread();

}  // namespace umbra
