#include "umbracore/ufs/cairn_file_stream.h"

#include <zlib.h>
#include <zstd.h>

#include <cstring>

#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

namespace {

constexpr u64 window_limit = 1u << 30;  // zlib counts windows in 32 bits

class zlib_decoder_t final : public cairn_stream_decoder_t {
 public:
  explicit zlib_decoder_t(bool raw) : raw_(raw) {}
  ~zlib_decoder_t() override { end(); }

  bool reset() override {
    end();
    stream_ = z_stream{};
    initialised_ = (raw_ ? inflateInit2(&stream_, -15) : inflateInit(&stream_)) == Z_OK;
    return initialised_;
  }

  bool step(const u8* in, u64 in_size, u8* out, u64 out_size, u64* consumed, u64* produced, bool* ended) override {
    *consumed = *produced = 0;
    *ended = false;
    if (!initialised_) return false;
    stream_.next_in = const_cast<u8*>(in);
    stream_.avail_in = (uInt)(in_size < window_limit ? in_size : window_limit);
    stream_.next_out = out;
    stream_.avail_out = (uInt)(out_size < window_limit ? out_size : window_limit);
    uInt in_before = stream_.avail_in, out_before = stream_.avail_out;
    int result = inflate(&stream_, Z_SYNC_FLUSH);
    *consumed = in_before - stream_.avail_in;
    *produced = out_before - stream_.avail_out;
    if (result == Z_STREAM_END) {
      *ended = true;
      return true;
    }
    // Z_BUF_ERROR only says that no progress was possible with these windows.
    return result == Z_OK || result == Z_BUF_ERROR;
  }

 private:
  void end() {
    if (initialised_) inflateEnd(&stream_);
    initialised_ = false;
  }

  bool raw_;
  bool initialised_ = false;
  z_stream stream_{};
};

class zstd_decoder_t final : public cairn_stream_decoder_t {
 public:
  ~zstd_decoder_t() override {
    if (context_) ZSTD_freeDCtx(context_);
  }

  bool reset() override {
    if (!context_) context_ = ZSTD_createDCtx();
    if (!context_) return false;
    return !ZSTD_isError(ZSTD_DCtx_reset(context_, ZSTD_reset_session_and_parameters));
  }

  bool step(const u8* in, u64 in_size, u8* out, u64 out_size, u64* consumed, u64* produced, bool* ended) override {
    *consumed = *produced = 0;
    *ended = false;
    if (!context_) return false;
    ZSTD_inBuffer input{in, (size_t)in_size, 0};
    ZSTD_outBuffer output{out, (size_t)out_size, 0};
    size_t result = ZSTD_decompressStream(context_, &output, &input);
    *consumed = input.pos;
    *produced = output.pos;
    if (ZSTD_isError(result)) return false;
    *ended = result == 0;
    return true;
  }

 private:
  ZSTD_DCtx* context_ = nullptr;
};

}  // namespace

auto_ptr_t<cairn_stream_decoder_t> cairn_create_stream_decoder(u32 compression) {
  switch (compression) {
    case FS_COMPRESSION_ZLIB:
      return auto_ptr_t<cairn_stream_decoder_t>(new zlib_decoder_t(false));
    case FS_COMPRESSION_DEFLATE:
      return auto_ptr_t<cairn_stream_decoder_t>(new zlib_decoder_t(true));
    case FS_COMPRESSION_ZSTD:
      return auto_ptr_t<cairn_stream_decoder_t>(new zstd_decoder_t());
    default:
      return auto_ptr_t<cairn_stream_decoder_t>();
  }
}

cairn_chunk_stream_t::cairn_chunk_stream_t(file_t* archive, const fs_chunk_t& chunk,
                                           auto_ptr_t<cairn_stream_decoder_t> decoder)
    : archive_(archive), chunk_(chunk), decoder_(static_cast<auto_ptr_t<cairn_stream_decoder_t>&&>(decoder)) {
  broken_ = !decoder_ || !restart();
}

bool cairn_chunk_stream_t::restart() {
  input_consumed_ = 0;
  position_ = 0;
  ended_ = false;
  input_begin_ = input_end_ = 0;
  dirty_ = false;
  return decoder_->reset();
}

bool cairn_chunk_stream_t::refill_input() {
  u64 left = chunk_.stored_size - input_consumed_;
  u64 block = left < sizeof(input_) ? left : sizeof(input_);
  if (block == 0) return false;
  if (!archive_->read_at(input_, block, chunk_.offset + input_consumed_)) return false;
  input_consumed_ += block;
  input_begin_ = 0;
  input_end_ = block;
  return true;
}

bool cairn_chunk_stream_t::decode(u8* out, u64 size, u64* produced_total) {
  u8 scratch[4096];
  *produced_total = 0;
  while (*produced_total < size && !ended_) {
    if (input_begin_ == input_end_ && input_consumed_ < chunk_.stored_size && !refill_input()) return false;
    u8* target = out ? out + *produced_total : scratch;
    u64 room = size - *produced_total;
    if (!out && room > sizeof(scratch)) room = sizeof(scratch);
    u64 consumed = 0, produced = 0;
    if (!decoder_->step(input_ + input_begin_, input_end_ - input_begin_, target, room, &consumed, &produced, &ended_))
      return false;
    input_begin_ += consumed;
    *produced_total += produced;
    position_ += produced;
    // Nothing moved: with input at hand the decoder is stuck, and without any stored
    // bytes left the stream was cut short. Either way it would never end.
    if (consumed == 0 && produced == 0 && !ended_ &&
        (input_begin_ < input_end_ || input_consumed_ == chunk_.stored_size))
      return false;
  }
  return true;
}

bool cairn_chunk_stream_t::check_end_of_content() {
  // Ask for one byte more than the content: the stream must end without producing it.
  u8 extra = 0;
  u64 produced = 0;
  return decode(&extra, 1, &produced) && produced == 0 && ended_;
}

bool cairn_chunk_stream_t::read(void* buffer, u64 size, u64 offset) {
  if (broken_) return false;
  if (offset > chunk_.size || size > chunk_.size - offset) return false;
  // After a failure the stream's state is unknown; a read going backwards needs the
  // stream from its first byte again.
  if ((dirty_ || offset < position_) && !restart()) return false;
  dirty_ = true;
  u64 produced = 0;
  if (offset > position_ && (!decode(nullptr, offset - position_, &produced) || position_ != offset)) return false;
  if (!decode(static_cast<u8*>(buffer), size, &produced) || produced != size) return false;
  if (position_ == chunk_.size && !check_end_of_content()) return false;
  dirty_ = false;
  return true;
}

}  // namespace umbra
