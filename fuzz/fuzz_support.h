// What the libFuzzer targets share: a quiet start of the parts of the runtime a reader
// needs, a scratch directory in memory-backed storage, and the walk that reads a mounted
// archive the way extraction does, without writing anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace umbra_fuzz {

using umbra::u8;
using umbra::u64;

// Starts the message system (messages are formatted, then dropped: no console) and the
// file system with the system device at system_root ("" for paths as they are). Once
// per process; stops the process on failure.
void startup(const char* system_root = "");

// A directory of this process in /dev/shm (or $TMPDIR, or /tmp), made on first use and
// removed at exit.
const std::string& scratch_dir();
// Writes size bytes to name in the scratch directory; stops the process on failure.
void write_scratch_file(const char* name, const u8* data, size_t size);

// Stops the process with a message, as a finding.
[[noreturn]] void fail(const char* what);

// Decodes one chunk of an archive held in memory as the IO server decodes it (stored
// bytes copied, GDeflate tile streams at once, zlib, raw deflate and Zstandard through a
// pooled proc) into out, sized to the chunk's content. False when extraction would
// refuse or fail the read. The chunk must have passed cairn_check_chunk.
bool decode_chunk(const u8* archive, u64 archive_size, const umbra::fs_chunk_t& chunk, umbra::array_dyn_t<u8>& out);

// Walks the mounted archive breadth-first from "/" as extraction does: every directory
// listed, every file's metadata read, its data chunk checked and decoded, an image
// entry planned for rebuilding (below the scratch directory, nothing written), and every
// file opened and read through the device as the version 1 extractor copies it. Stops
// after a bounded number of nodes so that one input cannot run for long.
void walk_archive(umbra::fs_device_t& device, const u8* archive, u64 archive_size);

// One input of a device target: the bytes as a read-only archive in memory, mounted by
// the device of one version and walked when the mount succeeds.
template <class device_t>
void mount_and_walk(const uint8_t* data, size_t size) {
  umbra::auto_ptr_t<umbra::file_t> archive(new umbra::mem_file_t(const_cast<uint8_t*>(data), size, "fuzz.qar"));
  static_cast<umbra::mem_file_t*>(archive.get())->set_read_only(true);
  device_t device(archive, "");
  if (device.is_available()) walk_archive(device, data, size);
}

}  // namespace umbra_fuzz
