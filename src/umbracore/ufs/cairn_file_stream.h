// Random-access reads of a compressed chunk: the chunk's stored bytes are decoded from
// the archive as a stream, restarting from the chunk's first byte when a read goes
// backwards. The content must be exactly the chunk's size: a stream that ends early or
// would go on past it fails the read that reaches its end.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

class file_t;

// One decoding step over an input and an output window (the shape of the IO server's
// decompression procs).
class cairn_stream_decoder_t {
 public:
  virtual ~cairn_stream_decoder_t() = default;
  // Starts over at the beginning of a stream.
  virtual bool reset() = 0;
  // Decodes from in into out; reports what was consumed and produced and whether the
  // stream has ended. False on a data error.
  virtual bool step(const u8* in, u64 in_size, u8* out, u64 out_size, u64* consumed, u64* produced,
                    bool* ended) = 0;
};

// A decoder for the compression (1 zlib, 2 raw deflate, 4 Zstandard); null for others.
auto_ptr_t<cairn_stream_decoder_t> cairn_create_stream_decoder(u32 compression);

class cairn_chunk_stream_t {
 public:
  // archive must outlive the stream; the chunk's stored bytes must lie inside it.
  cairn_chunk_stream_t(file_t* archive, const fs_chunk_t& chunk, auto_ptr_t<cairn_stream_decoder_t> decoder);

  // Reads size content bytes at offset; false when they are not all there, when the
  // stored bytes cannot be read or decoded, or when the stream's length is not the
  // chunk's size.
  bool read(void* buffer, u64 size, u64 offset);

 private:
  bool restart();
  // Decodes up to size bytes into out (null: skip them); stops early at the stream's end.
  bool decode(u8* out, u64 size, u64* produced);
  bool refill_input();
  bool check_end_of_content();

  file_t* archive_;
  fs_chunk_t chunk_;
  auto_ptr_t<cairn_stream_decoder_t> decoder_;
  u64 input_consumed_ = 0;  // stored bytes handed to the decoder
  u64 position_ = 0;        // content bytes decoded
  bool ended_ = false;
  bool dirty_ = false;   // the last read failed part-way
  bool broken_ = false;  // no decoder: every read fails
  u8 input_[4096];
  u64 input_begin_ = 0;
  u64 input_end_ = 0;
};

}  // namespace umbra
