// The Windows reading of the table of failable calls: a fault becomes the error code
// the system would have left for GetLastError.
#pragma once

#include "umbracore/platform/platform_faults.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {

// Counts the call; true, with the last error set, when it is to fail.
inline bool windows_call_fails(platform_call_t call) {
  switch (platform_fault_at(call)) {
    case PLATFORM_FAULT_FAIL:
      SetLastError(call == PLATFORM_CALL_OPEN ? ERROR_ACCESS_DENIED : ERROR_IO_DEVICE);
      return true;
    case PLATFORM_FAULT_NO_SPACE:
      SetLastError(ERROR_DISK_FULL);
      return true;
    default:
      return false;
  }
}

// Counts one piece of a transfer (kind: PLATFORM_IO_READ or PLATFORM_IO_WRITE); false,
// with the last error set, when it is to fail, else the bytes it may move in *piece.
inline bool windows_piece_allowed(u32 kind, DWORD* piece) {
  const platform_fault_t fault = platform_fault_at(kind == PLATFORM_IO_READ ? PLATFORM_CALL_READ : PLATFORM_CALL_WRITE);
  if (fault == PLATFORM_FAULT_FAIL || fault == PLATFORM_FAULT_NO_SPACE) {
    SetLastError(fault == PLATFORM_FAULT_NO_SPACE ? ERROR_DISK_FULL : ERROR_IO_DEVICE);
    return false;
  }
  *piece = (DWORD)platform_fault_piece(fault, *piece);
  return true;
}

}  // namespace umbra
