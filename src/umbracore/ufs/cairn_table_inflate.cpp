#include "umbracore/ufs/cairn_table_inflate.h"

#include <zlib.h>

#include <cinttypes>

#include "umbracore/log/log.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

namespace {

constexpr u64 INFLATE_BLOCK_SIZE = 4096;

// Releases the inflate state on every way out.
class inflate_stream_t {
 public:
  inflate_stream_t() { initialised_ = inflateInit(&stream_) == Z_OK; }
  ~inflate_stream_t() {
    if (initialised_) inflateEnd(&stream_);
  }
  bool initialised() const { return initialised_; }
  z_stream& get() { return stream_; }

 private:
  z_stream stream_{};
  bool initialised_ = false;
};

}  // namespace

bool cairn_table_inflate(file_t& table, file_t& archive, u64 stored_size) {
  // The table's storage is exactly its raw size; nothing may be written past it.
  const u64 table_size = table.get_size();
  table.set_position(0);
  inflate_stream_t inflater;
  if (!inflater.initialised()) return false;
  z_stream& z = inflater.get();

  u8 input[INFLATE_BLOCK_SIZE];
  u8 output[INFLATE_BLOCK_SIZE];
  u64 remaining = stored_size;
  for (;;) {
    if (z.avail_in == 0 && remaining > 0) {
      u64 block = remaining < INFLATE_BLOCK_SIZE ? remaining : INFLATE_BLOCK_SIZE;
      if (!archive.read(input, block)) {
        log_error("[zlib_compress] error reading block: %s @ %" PRIu64 " (chunk size %zu)",
                  file_debug_name(&archive).c_str(), archive.get_position(), (size_t)block);
        return false;
      }
      remaining -= block;
      z.next_in = input;
      z.avail_in = (uInt)block;
    }
    z.next_out = output;
    z.avail_out = (uInt)INFLATE_BLOCK_SIZE;
    uInt available_before = z.avail_in;
    int result = inflate(&z, remaining > 0 ? Z_NO_FLUSH : Z_FINISH);
    bool progressed = z.avail_in != available_before || z.avail_out != INFLATE_BLOCK_SIZE;
    u64 produced = INFLATE_BLOCK_SIZE - z.avail_out;
    if (produced > 0) {
      u64 position = table.get_position();
      if (produced > table_size - position || !table.write(output, produced)) {
        log_error("[zlib_compress] error writing block: %s @ %" PRIu64 " (chunk size %zu)",
                  file_debug_name(&table).c_str(), position, (size_t)produced);
        return false;
      }
    }
    if (result == Z_STREAM_END) {
      // A stream that stops short of its stored bytes or of the table's size leaves a
      // table whose records cannot be trusted.
      if (remaining > 0 || table.get_position() != table_size) {
        log_error("[zlib_compress] premature end of compressed data stream");
        return false;
      }
      return true;
    }
    if (result == Z_BUF_ERROR) {
      // With Z_FINISH a full output buffer reports this too: go on while it moves.
      // Without progress it is fine only when the next block is still to be read;
      // otherwise the stream is cut short (or stuck) and would never end.
      if (progressed) continue;
      if (remaining == 0 || z.avail_in > 0) return false;
      continue;
    }
    if (result != Z_OK) return false;
  }
}

}  // namespace umbra
