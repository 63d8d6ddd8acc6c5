// Copying between two open files of any devices, one waited block at a time.
#include <cinttypes>

#include "umbracore/log/log.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

namespace {

bool read_block(file_t* source, void* block, u64 size, u64 offset) {
  fs_io_request_t* request = source->io_read(block, size, offset, FS_IO_FLAG_BLOCKING);
  if (!request || !source->io_wait(request)) {
    log_error("[fs_copy] error reading block: %s @ %" PRIu64 " (chunk size %zu)", file_debug_name(source).c_str(),
              offset, (size_t)size);
    return false;
  }
  fs_count_block_read(size);
  return true;
}

bool write_block(file_t* destination, const void* block, u64 size) {
  fs_io_request_t* request = destination->io_write(block, size, destination->position);
  if (!request || !destination->io_wait(request)) {
    log_error("[fs_copy] error writing block: %s @ %" PRIu64 " (chunk size %zu)",
              file_debug_name(destination).c_str(), destination->position, (size_t)size);
    return false;
  }
  return true;
}

}  // namespace

bool fs_copy(file_t* destination, file_t* source) {
  u64 source_size = 0;
  if (!source->find_size(&source_size)) return false;
  u64 source_offset = source->position;
  if (source_offset >= source_size) return true;
  u64 remaining = source_size - source_offset;
  alignas(16) u8 block[FS_COPY_BLOCK_SIZE];
  while (remaining != 0) {
    u64 size = remaining < FS_COPY_BLOCK_SIZE ? remaining : FS_COPY_BLOCK_SIZE;
    if (!read_block(source, block, size, source_offset)) return false;
    if (!write_block(destination, block, size)) return false;
    destination->position += size;
    source_offset += size;
    remaining -= size;
  }
  return true;
}

}  // namespace umbra
