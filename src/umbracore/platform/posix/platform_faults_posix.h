// The POSIX reading of the table of failable calls: a fault becomes the errno the
// system would have set.
#pragma once

#include <cerrno>

#include "umbracore/platform/platform_faults.h"
#include "umbracore/platform/platform_fs.h"

namespace umbra {

// Counts the call; true, with errno set, when it is to fail.
inline bool posix_call_fails(platform_call_t call) {
  switch (platform_fault_at(call)) {
    case PLATFORM_FAULT_FAIL:
      errno = call == PLATFORM_CALL_OPEN ? EACCES : EIO;
      return true;
    case PLATFORM_FAULT_NO_SPACE:
      errno = ENOSPC;
      return true;
    default:
      return false;
  }
}

// Counts one piece of a transfer (kind: PLATFORM_IO_READ or PLATFORM_IO_WRITE); false,
// with errno set, when it is to fail, else the bytes it may move in *piece.
inline bool posix_piece_allowed(u32 kind, u64* piece) {
  const platform_fault_t fault = platform_fault_at(kind == PLATFORM_IO_READ ? PLATFORM_CALL_READ : PLATFORM_CALL_WRITE);
  if (fault == PLATFORM_FAULT_FAIL || fault == PLATFORM_FAULT_NO_SPACE) {
    errno = fault == PLATFORM_FAULT_NO_SPACE ? ENOSPC : EIO;
    return false;
  }
  *piece = platform_fault_piece(fault, *piece);
  return true;
}

}  // namespace umbra
