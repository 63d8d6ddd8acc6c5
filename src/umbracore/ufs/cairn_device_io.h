// The Cairn devices' use of the IO server: a platform handle of the archive for chunk
// reads, the reads themselves and waiting for them.
#pragma once

#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

class fs_device_t;
struct fs_chunk_t;

// A read-only handle of the archive; CAIRN_IO_HANDLE_NONE when none can be opened.
u64 cairn_io_open(const char* archive_path);
void cairn_io_close(u64 handle);
// Hands one chunk read to the IO server, marked as the device's; null when refused or
// when no handle of the archive is held (the server would otherwise open the entry's
// path on disk).
fs_io_request_t* cairn_io_chunk_read(fs_device_t* device, u64 handle, void* target, u32 target_kind, const char* path,
                                     const fs_chunk_t& chunk, fs_io_callback_t callback);
// Waits for a chunk request, recycles it and returns its success.
bool cairn_io_wait(fs_io_request_t* request);

}  // namespace umbra
