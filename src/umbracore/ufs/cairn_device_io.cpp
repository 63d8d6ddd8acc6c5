#include "umbracore/ufs/cairn_device_io.h"

#include "umbracore/ufs/cairn_device_common.h"

namespace umbra {

u64 cairn_io_open(const char* archive_path) { return cairn_io_handle_none; }

void cairn_io_close(u64 handle) {}

fs_io_request_t* cairn_io_chunk_read(fs_device_t* device, u64 handle, void* target, u32 target_kind, const char* path,
                                     const fs_chunk_t& chunk, fs_io_callback_t callback) {
  return nullptr;
}

bool cairn_io_wait(fs_io_request_t* request) { return false; }

}  // namespace umbra
