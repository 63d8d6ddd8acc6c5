#include "umbracore/ufs/cairn_device_io.h"

#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/fs_io_server_core.h"

namespace umbra {

static_assert(CAIRN_IO_HANDLE_NONE == FS_IO_HANDLE_NONE, "one value for no handle");

u64 cairn_io_open(const char* archive_path) {
  fs_io_server_t* server = fs_get_io_server();
  return server ? server->open(archive_path, FS_MODE_READ_ONLY) : CAIRN_IO_HANDLE_NONE;
}

void cairn_io_close(u64 handle) {
  fs_io_server_t* server = fs_get_io_server();
  if (server && handle != CAIRN_IO_HANDLE_NONE) server->close(handle);
}

fs_io_request_t* cairn_io_chunk_read(fs_device_t* device, u64 handle, void* target, u32 target_kind, const char* path,
                                     const fs_chunk_t& chunk, fs_io_callback_t callback) {
  fs_io_server_t* server = fs_get_io_server();
  // Without the archive's own handle the server would open the entry's path on disk.
  if (!server || handle == CAIRN_IO_HANDLE_NONE) return nullptr;
  fs_io_location_t location;
  location.set(path);
  return server->chunk_read(target, target_kind, handle, location, chunk, FS_IO_PRIORITY_NORMAL, callback, device);
}

bool cairn_io_wait(fs_io_request_t* request) {
  fs_io_server_t* server = fs_get_io_server();
  return server && request && server->io_wait(request);
}

}  // namespace umbra
