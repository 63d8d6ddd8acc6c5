// The calls of the platform file layer that a test can make fail, one row each, in the
// manner of SQLite's table of system calls. Both implementations of the layer ask the
// table before each of these calls and act its answer out as the system would have
// failed (an error code, a full device, a transfer cut short), so that a test can walk
// a fault over every call of a command and the code above meets it exactly where a
// full disk or a failing device would meet it.
//
// Nothing arms the table in the tools; while it is unarmed each call costs one relaxed
// load. Arm it before the threads that make the calls start: the rows are read without
// a lock.
#pragma once

#include "umbracore/types.h"

namespace umbra {

// One row per kind of call; the names are what a plan and a report use.
enum platform_call_t : u32 {
  PLATFORM_CALL_OPEN = 0,  // "open": open_handle (CreateFileW, open)
  PLATFORM_CALL_READ,      // "read": one piece of a read (ReadFile, pread, an io_uring read)
  PLATFORM_CALL_WRITE,     // "write": one piece of a write
  PLATFORM_CALL_RENAME,    // "rename": move_file (MoveFileExW, rename)
  PLATFORM_CALL_MKDIR,     // "mkdir": create_directory (CreateDirectoryW, mkdir)
  PLATFORM_CALL_STAT,      // "stat": stat_path and stat_handle (GetFileAttributesExW, stat, fstat)
  PLATFORM_CALL_DELETE,    // "delete": delete_file and remove_directory
  PLATFORM_CALL_LIST,      // "list": read_dir (FindFirstFileW, opendir)
  PLATFORM_CALL_COUNT
};

enum platform_fault_t : u32 {
  PLATFORM_FAULT_NONE = 0,
  PLATFORM_FAULT_FAIL,      // the call fails with an I/O error (access denied for open)
  PLATFORM_FAULT_NO_SPACE,  // the device is full: the call fails with ENOSPC / ERROR_DISK_FULL
  PLATFORM_FAULT_SHORT,     // a read or write moves only the first half of its piece
                            // (at least one byte); calls that move no bytes go on as usual
};

struct platform_fault_plan_t {
  platform_call_t call = PLATFORM_CALL_OPEN;
  u64 nth = 0;  // the nth call of that kind (counted from 1) meets the fault; 0: none does
  platform_fault_t fault = PLATFORM_FAULT_NONE;
  bool from_then_on = false;  // every later call of the kind meets it too (a disk that stays full)
};

// Arms a plan in place of any other and starts counting every kind from zero.
void platform_faults_arm(const platform_fault_plan_t& plan);
// Stops counting and failing.
void platform_faults_disarm();
// Calls of a kind since the plan was armed.
u64 platform_faults_calls(platform_call_t call);
// How many calls met the plan's fault.
u64 platform_faults_injected();

// "open", "read", ...; null for a value outside the table.
const char* platform_call_name(platform_call_t call);
bool platform_call_from_name(const char* name, platform_call_t* out);
// "fail", "no_space", "short"; null for none or a value outside the table.
const char* platform_fault_name(platform_fault_t fault);
bool platform_fault_from_name(const char* name, platform_fault_t* out);

// For the implementations of the layer: counts one call of the kind and answers the
// fault it is to meet (PLATFORM_FAULT_NONE almost always).
platform_fault_t platform_fault_at(platform_call_t call);

// The piece a read or write meeting fault moves: half of piece (at least one byte)
// for PLATFORM_FAULT_SHORT, piece itself otherwise.
constexpr u64 platform_fault_piece(platform_fault_t fault, u64 piece) {
  return fault == PLATFORM_FAULT_SHORT && piece > 1 ? piece / 2 : piece;
}

}  // namespace umbra
