// Decompression procs: pooled decoders for the stream compressions (1 zlib stream, 2
// raw deflate, 4 Zstandard frame). A proc decodes input windows into output windows,
// and reads the decoded content of one stored chunk at any offset: it pulls the stored
// bytes from its source (an open file or a platform handle) and decodes from the
// stream's start again when a read goes backwards.
//
// The content must be exactly the chunk's size: a stream that ends early, runs past
// its stored bytes or would go on past the size fails the read that reaches its end.
//
// A read of the whole content takes the stored bytes in one read and, where the kind has
// a whole-buffer decoder (libdeflate for zlib and raw deflate), decodes them in one call.
// What that decoder refuses is decoded again in windows, so a stream fails or passes
// exactly as it does when read in pieces; a failed read of the stored bytes fails the
// read at once.
#pragma once

#include "umbracore/types.h"

namespace umbra {

class file_t;
class platform_fs_t;

// Stored bytes are pulled from the source in windows of this size.
constexpr u64 FS_PROC_INPUT_WINDOW = 65536;
// Whole reads of chunks with more stored bytes than this are decoded in windows.
constexpr u64 FS_PROC_WHOLE_READ_LIMIT = 268435456;

class fs_proc_t {
 public:
  virtual ~fs_proc_t();

  u8 get_compression() const { return compression_; }

  // One decoding step over an input and an output window: reports what was consumed
  // and produced. False on a data error (the stream is then unusable until reset).
  virtual bool process(const u8* in, u64 in_size, u8* out, u64 out_size, u64* consumed, u64* produced) = 0;
  // Whether the last step reached the end of the stream.
  bool has_ended() const { return ended_; }

  // The stored bytes: stored_size bytes at start of file (which must outlive the use),
  // decoding to content_size bytes. Then reset.
  void set_source(file_t* file, u64 start, u64 stored_size, u64 content_size);
  // The same from a platform handle, read on the decoding thread.
  void set_source(platform_fs_t* platform, u64 handle, u64 start, u64 stored_size, u64 content_size);
  // Back to the stream's first byte: both progress counters and the position are 0.
  bool reset();

  // Decodes size content bytes at offset into buffer. False when they are not all
  // there, when the stored bytes cannot be read or decoded, or when the stream's
  // length is not the content size.
  bool read(void* buffer, u64 size, u64 offset);

  // Progress: stored bytes taken from the source, content bytes decoded.
  u64 get_input_consumed() const { return input_consumed_; }
  u64 get_position() const { return position_; }

  fs_proc_t(const fs_proc_t&) = delete;
  fs_proc_t& operator=(const fs_proc_t&) = delete;

 protected:
  fs_proc_t() = default;

  // Prepares a fresh stream of the compression (request) or of the same one (reset).
  virtual bool start(u8 compression) = 0;

  // Whether the kind has a whole-buffer decoder, and the decoder: one stream in one
  // call, whose content must be exactly out_size bytes. False when it refuses the
  // stream (or has no memory).
  virtual bool decodes_whole() const { return false; }
  virtual bool decode_whole(const u8* in, u64 in_size, u8* out, u64 out_size) { return false; }

  u8 compression_ = 0;
  bool ended_ = false;

 private:
  friend fs_proc_t* request_io_proc(u32 compression);
  friend void release_io_proc(fs_proc_t* proc);

  enum source_kind_t : u8 { SOURCE_NONE, SOURCE_FILE, SOURCE_HANDLE };

  bool configure(u64 start, u64 stored_size, u64 content_size);
  void clear_source();
  bool refill_input();
  bool read_source(u8* buffer, u64 size, u64 offset);
  // Decodes up to size bytes into out (null: skip them); stops early at the stream's end.
  bool decode(u8* out, u64 size, u64* produced_total);
  bool check_end_of_content();
  enum whole_read_t : u8 { WHOLE_READ_DONE, WHOLE_READ_FAILED, WHOLE_READ_IN_WINDOWS };
  // The whole content from the stream's start, in one read and one decode.
  whole_read_t read_whole(u8* buffer);

  source_kind_t source_kind_ = SOURCE_NONE;
  file_t* file_ = nullptr;
  platform_fs_t* platform_ = nullptr;
  u64 handle_ = 0;
  u64 start_ = 0;
  u64 stored_size_ = 0;
  u64 content_size_ = 0;

  u64 input_consumed_ = 0;
  u64 position_ = 0;
  bool dirty_ = false;  // the last read failed part-way: the stream state is unknown
  u8* input_ = nullptr;  // FS_PROC_INPUT_WINDOW bytes, allocated on first use
  u64 input_begin_ = 0;
  u64 input_end_ = 0;
};

// A proc for compression 1, 2 or 4, ready for a fresh stream; any other compression
// stops the process ("Request IO proc: unsupported compression type"). Null when the
// decoder cannot be set up (no memory).
fs_proc_t* request_io_proc(u32 compression);
// Resets the proc and returns it to its pool (same assertion for other kinds).
void release_io_proc(fs_proc_t* proc);

// Frees the idle procs of both pools (at shutdown).
void fs_proc_pools_trim();
// Procs requested and not yet released, for tests and diagnostics.
u32 fs_proc_debug_outstanding();

}  // namespace umbra
