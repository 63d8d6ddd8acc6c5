// gdeflate_tool: compresses a file into a GDeflate tile stream and back.
//
//   gdeflate_tool compress IN OUT
//   gdeflate_tool decompress IN OUT
//
// Exit code 0 on success, 1 with an error line on any failure; a failed run leaves
// no output file behind.
#include <cstdio>
#include <cstring>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/log/log.h"
#include "umbracore/umbrautils/format/gdeflate.h"

namespace {

using umbra::array_dyn_t;
using umbra::u64;
using umbra::u8;

bool read_whole_file(const char* path, array_dyn_t<u8>& data) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  bool ok = true;
  u8 chunk[1 << 16];
  for (;;) {
    const size_t got = std::fread(chunk, 1, sizeof(chunk), f);
    if (got != 0 && !data.append_block(chunk, got)) ok = false;
    if (got < sizeof(chunk) || !ok) break;
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  return ok;
}

bool write_whole_file(const char* path, const u8* data, u64 size) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0) ok = false;
  if (!ok) std::remove(path);
  return ok;
}

int compress_file(const char* in_path, const char* out_path) {
  array_dyn_t<u8> input;
  if (!read_whole_file(in_path, input)) {
    umbra::log_error("Can not read \"%s\".", in_path);
    return 1;
  }
  if (input.count() == 0) {
    umbra::log_error("\"%s\" is empty: there is nothing to compress.", in_path);
    return 1;
  }
  if (input.count() > (u64)umbra::GDEFLATE_MAX_PAGES * umbra::GDEFLATE_PAGE_SIZE) {
    umbra::log_error("\"%s\" is too large: a tile stream holds at most %u pages of %u bytes.", in_path,
                     umbra::GDEFLATE_MAX_PAGES, umbra::GDEFLATE_PAGE_SIZE);
    return 1;
  }
  array_dyn_t<u8> stream;
  if (!umbra::gdeflate_compress(input.data(), input.count(), stream)) {
    umbra::log_error("Failed to compress \"%s\".", in_path);
    return 1;
  }
  if (!write_whole_file(out_path, stream.data(), stream.count())) {
    umbra::log_error("Can not write \"%s\".", out_path);
    return 1;
  }
  umbra::log_info("Compressed %llu bytes into %llu bytes.", (unsigned long long)input.count(),
                  (unsigned long long)stream.count());
  return 0;
}

int decompress_file(const char* in_path, const char* out_path) {
  array_dyn_t<u8> stream;
  if (!read_whole_file(in_path, stream)) {
    umbra::log_error("Can not read \"%s\".", in_path);
    return 1;
  }
  u64 size = 0;
  array_dyn_t<u8> output;
  if (!umbra::gdeflate_decoded_size(stream.data(), stream.count(), size) || !output.resize_uninitialized(size) ||
      !umbra::gdeflate_decompress(output.data(), size, stream.data(), stream.count())) {
    umbra::log_error("\"%s\" is not a valid GDeflate tile stream.", in_path);
    return 1;
  }
  if (!write_whole_file(out_path, output.data(), size)) {
    umbra::log_error("Can not write \"%s\".", out_path);
    return 1;
  }
  umbra::log_info("Decompressed %llu bytes into %llu bytes.", (unsigned long long)stream.count(),
                  (unsigned long long)size);
  return 0;
}

int run(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "compress") == 0) return compress_file(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "decompress") == 0) return decompress_file(argv[2], argv[3]);
  umbra::log_error("Usage: gdeflate_tool compress IN OUT | gdeflate_tool decompress IN OUT");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  umbra::message_system_startup();
  const int code = run(argc, argv);
  umbra::message_system_shutdown();
  return code;
}
