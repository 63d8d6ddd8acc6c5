// Which engine moves the pump's bytes: io_uring where the kernel allows it, else
// pread/pwrite; UMBRA_IO_BACKEND ("uring" or "pread") asks for one.
#include <cstdlib>
#include <cstring>

#include "umbracore/platform/posix/platform_io_engines_posix.h"

namespace umbra {

namespace {

platform_io_backend_t backend_from_environment() {
  const char* value = std::getenv("UMBRA_IO_BACKEND");
  if (!value) return PLATFORM_IO_BACKEND_AUTO;
  if (std::strcmp(value, "pread") == 0) return PLATFORM_IO_BACKEND_PREAD;
  if (std::strcmp(value, "uring") == 0 || std::strcmp(value, "io_uring") == 0) return PLATFORM_IO_BACKEND_URING;
  return PLATFORM_IO_BACKEND_AUTO;
}

}  // namespace

platform_io_engine_t* platform_io_engine_create(platform_io_backend_t backend) {
  if (backend == PLATFORM_IO_BACKEND_AUTO) backend = backend_from_environment();
  if (backend == PLATFORM_IO_BACKEND_PREAD) return platform_io_engine_create_pread();
  platform_io_engine_t* engine = platform_io_engine_create_uring();
  return engine ? engine : platform_io_engine_create_pread();
}

}  // namespace umbra
