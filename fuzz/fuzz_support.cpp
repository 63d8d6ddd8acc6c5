#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#ifdef _WIN32
#include <process.h>
#endif

#include "tools/packer/extract_walk.h"
#include "tools/packer/image_rebuild.h"
#include "umbracore/log/log.h"
#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_proc.h"
#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace umbra_fuzz {

using namespace umbra;

namespace {

// Bounds of one input: nodes visited by a walk, and the bytes one read may decode (a
// hostile chunk passes the ratio check up to about 1032 times its stored size).
constexpr size_t WALK_NODE_LIMIT = 4096;
constexpr u64 DECODED_SIZE_LIMIT = 64ull << 20;
constexpr u64 READ_WINDOW = 65536;

std::string g_scratch;

void remove_scratch() {
  std::error_code ignored;
  if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ignored);
}

bool is_image_path(const mstring_t& path) { return path.length() >= 5 && path.ends_with(".tobj"); }

// The data chunk extraction takes from a file's metadata.
bool data_chunk(const mstring_t& path, const fs_mstat_t& metadata, fs_chunk_t* chunk) {
  return fs_meta_get_chunk(&metadata, is_image_path(path) ? FS_TOKEN_CHUNK_MIP_TAIL : FS_TOKEN_CHUNK_PLAIN, chunk);
}

void extract_by_chunk(fs_device_t& device, const mstring_t& path, const u8* archive, u64 archive_size) {
  fs_mstat_t metadata;
  fs_chunk_t chunk{};
  string_local_t<256> problem;
  if (!device.mstat(path.c_str(), &metadata) || !data_chunk(path, metadata, &chunk) ||
      !cairn_check_chunk(chunk, archive_size, problem) || chunk.size > DECODED_SIZE_LIMIT)
    return;
  array_dyn_t<u8> data;
  if (!decode_chunk(archive, archive_size, chunk, data) || !is_image_path(path)) return;
  image_rebuild_plan_t plan;
  image_rebuild_options_t options;
  options.dds_legacy = (chunk.offset & 16) != 0;
  plan_image_rebuild(path, metadata, data.count(), scratch_dir().c_str(), options, &plan);
}

void extract_by_open(fs_device_t& device, const mstring_t& path) {
  auto_ptr_t<file_t> file(device.open(path.c_str(), FS_MODE_READ_ONLY));
  if (!file) return;
  u64 size = 0;
  if (!file->find_size(&size)) return;
  if (size > DECODED_SIZE_LIMIT) size = DECODED_SIZE_LIMIT;
  static u8 window[READ_WINDOW];
  for (u64 offset = 0; offset < size; offset += READ_WINDOW) {
    const u64 n = size - offset < READ_WINDOW ? size - offset : READ_WINDOW;
    if (!file->read_at(window, n, offset)) return;
  }
}

}  // namespace

void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void startup(const char* system_root) {
  static bool started = false;
  if (started) return;
  started = true;
  message_system_startup_state();
  if (!fs_startup(system_root)) fail("file system start-up failed");
}

const std::string& scratch_dir() {
  if (!g_scratch.empty()) return g_scratch;
#ifdef _WIN32
  // No mkdtemp: a name of the process id in the system's temporary directory.
  std::error_code error;
  std::string pattern = std::filesystem::temp_directory_path(error).generic_string() + "/umbra-fuzz-" +
                        std::to_string(_getpid());
  if (error || !std::filesystem::create_directory(pattern, error) || error) fail("no scratch directory");
#else
  const char* base = std::getenv("TMPDIR");
  if (std::filesystem::is_directory("/dev/shm")) base = "/dev/shm";
  std::string pattern = std::string(base ? base : "/tmp") + "/umbra-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) fail("no scratch directory");
#endif
  g_scratch = pattern;
  std::atexit(remove_scratch);
  return g_scratch;
}

void write_scratch_file(const char* name, const u8* data, size_t size) {
  const std::string path = scratch_dir() + "/" + name;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || (size && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0)
    fail("scratch file cannot be written");
}

bool decode_chunk(const u8* archive, u64 archive_size, const fs_chunk_t& chunk, array_dyn_t<u8>& out) {
  if (!out.resize_uninitialized(chunk.size)) return false;
  const u8* stored = archive + chunk.offset;
  switch (chunk.compression) {
    case FS_COMPRESSION_NONE:
      if (chunk.size) std::memcpy(out.data(), stored, chunk.size);
      return true;
    case FS_COMPRESSION_GDEFLATE:
      return gdeflate_decompress(out.data(), chunk.size, stored, chunk.stored_size);
    default: {
      mem_file_t source(const_cast<u8*>(archive), archive_size, "<archive>");
      source.set_read_only(true);
      fs_proc_t* proc = request_io_proc(chunk.compression);
      if (!proc) return false;
      proc->set_source(&source, chunk.offset, chunk.stored_size, chunk.size);
      const bool ok = proc->read(out.data(), chunk.size, 0);
      release_io_proc(proc);
      return ok;
    }
  }
}

void walk_archive(fs_device_t& device, const u8* archive, u64 archive_size) {
  std::deque<mstring_t> directories;
  directories.emplace_back();
  directories.back().assign("/");
  size_t visited = 0;
  while (!directories.empty() && visited < WALK_NODE_LIMIT) {
    auto_ptr_t<fs_dir_list_t> children = read_dir_paths(&device, directories.front().c_str());
    directories.pop_front();
    if (!children) continue;
    for (u64 i = 0; i < children->count() && visited < WALK_NODE_LIMIT; ++i, ++visited) {
      const fs_dir_entry_t& child = (*children)[i];
      fs_stat_t stat;
      device.stat(child.name.c_str(), &stat);
      if (child.kind == FS_KIND_DIRECTORY) {
        directories.emplace_back();
        directories.back().assign(child.name);
        continue;
      }
      extract_by_chunk(device, child.name, archive, archive_size);
      extract_by_open(device, child.name);
    }
  }
}

}  // namespace umbra_fuzz
