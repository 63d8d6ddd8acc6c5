// The decompression procs: zlib (stream and raw deflate) and Zstandard decoders in two
// pools, and the random-access read of a chunk's content on top of their steps.
#include "umbracore/ufs/fs_proc.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_createDCtx_advanced
#include <libdeflate.h>
#include <zlib.h>
#include <zstd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/log/assert.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/thread/locks.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

namespace {

// zlib counts its windows in 32 bits.
constexpr u64 ZLIB_WINDOW_LIMIT = 1u << 30;

u64 clamp_window(u64 size, u64 limit) { return size < limit ? size : limit; }

// ---------------------------------------------------------------------------------
// zlib

voidpf zlib_proc_alloc(voidpf opaque, uInt items, uInt size) {
  if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
  return std::malloc((size_t)items * size);
}

void zlib_proc_free(voidpf opaque, voidpf address) { std::free(address); }

class zlib_proc_t final : public fs_proc_t {
 public:
  ~zlib_proc_t() override {
    if (initialised_) inflateEnd(&stream_);
    if (whole_decoder_) libdeflate_free_decompressor(whole_decoder_);
  }

  bool process(const u8* in, u64 in_size, u8* out, u64 out_size, u64* consumed, u64* produced) override {
    *consumed = *produced = 0;
    if (!initialised_) return false;
    stream_.next_in = const_cast<u8*>(in);
    stream_.avail_in = (uInt)clamp_window(in_size, ZLIB_WINDOW_LIMIT);
    stream_.next_out = out;
    stream_.avail_out = (uInt)clamp_window(out_size, ZLIB_WINDOW_LIMIT);
    uInt in_before = stream_.avail_in;
    uInt out_before = stream_.avail_out;
    int result = inflate(&stream_, Z_SYNC_FLUSH);
    *consumed = in_before - stream_.avail_in;
    *produced = out_before - stream_.avail_out;
    if (result == Z_STREAM_END) ended_ = true;
    return result == Z_OK || result == Z_STREAM_END;
  }

 protected:
  bool start(u8 compression) override {
    compression_ = compression;
    ended_ = false;
    int window_bits = compression == FS_COMPRESSION_ZLIB ? 15 : -15;
    if (initialised_) return inflateReset2(&stream_, window_bits) == Z_OK;
    stream_ = z_stream{};
    stream_.zalloc = zlib_proc_alloc;
    stream_.zfree = zlib_proc_free;
    stream_.opaque = this;
    initialised_ = inflateInit2(&stream_, window_bits) == Z_OK;
    return initialised_;
  }

  bool decodes_whole() const override { return true; }

  bool decode_whole(const u8* in, u64 in_size, u8* out, u64 out_size) override {
    if (!whole_decoder_) whole_decoder_ = libdeflate_alloc_decompressor();
    if (!whole_decoder_) return false;
    // Without a place for the actual size, libdeflate insists on exactly out_size bytes.
    libdeflate_result result =
        compression_ == FS_COMPRESSION_ZLIB
            ? libdeflate_zlib_decompress(whole_decoder_, in, (size_t)in_size, out, (size_t)out_size, nullptr)
            : libdeflate_deflate_decompress(whole_decoder_, in, (size_t)in_size, out, (size_t)out_size, nullptr);
    return result == LIBDEFLATE_SUCCESS;
  }

 private:
  z_stream stream_{};
  bool initialised_ = false;
  libdeflate_decompressor* whole_decoder_ = nullptr;  // made on the first whole read
};

// ---------------------------------------------------------------------------------
// Zstandard

class zstd_proc_t final : public fs_proc_t {
 public:
  ~zstd_proc_t() override {
    if (context_) ZSTD_freeDCtx(context_);
  }

  bool process(const u8* in, u64 in_size, u8* out, u64 out_size, u64* consumed, u64* produced) override {
    *consumed = *produced = 0;
    if (!context_) return false;
    ZSTD_inBuffer input{in, (size_t)in_size, 0};
    ZSTD_outBuffer output{out, (size_t)out_size, 0};
    size_t result = ZSTD_decompressStream(context_, &output, &input);
    *consumed = input.pos;
    *produced = output.pos;
    if (ZSTD_isError(result)) return false;
    if (result == 0) ended_ = true;
    return true;
  }

 protected:
  bool start(u8 compression) override {
    compression_ = compression;
    ended_ = false;
    if (!context_) {
      const ZSTD_customMem default_allocation = {nullptr, nullptr, nullptr};
      context_ = ZSTD_createDCtx_advanced(default_allocation);
      if (!context_) return false;
    }
    // A pooled context starts over: no session, default parameters, no dictionary.
    return !ZSTD_isError(ZSTD_DCtx_reset(context_, ZSTD_reset_session_and_parameters)) &&
           !ZSTD_isError(ZSTD_DCtx_loadDictionary(context_, nullptr, 0));
  }

 private:
  ZSTD_DCtx* context_ = nullptr;
};

// ---------------------------------------------------------------------------------
// Pools

struct proc_pool_t {
  mutex_t lock;
  array_dyn_t<fs_proc_t*> idle;

  ~proc_pool_t() { trim(); }

  void trim() {
    mutex_guard_t guard(lock);
    for (fs_proc_t* proc : idle) delete proc;
    idle.clear();
  }
};

// Created on first use and destroyed after main, when no proc is in use any more.
proc_pool_t& zlib_pool() {
  static proc_pool_t pool;
  return pool;
}

proc_pool_t& zstd_pool() {
  static proc_pool_t pool;
  return pool;
}

std::atomic<u32> outstanding_procs{0};

proc_pool_t& pool_for(u32 compression, const char* message) {
  switch (compression) {
    case FS_COMPRESSION_ZLIB:
    case FS_COMPRESSION_DEFLATE:
      return zlib_pool();
    case FS_COMPRESSION_ZSTD:
      return zstd_pool();
    default:
      UMBRA_FAIL("%s", message);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------
// Requesting and releasing

fs_proc_t* request_io_proc(u32 compression) {
  proc_pool_t& pool = pool_for(compression, "Request IO proc: unsupported compression type");
  fs_proc_t* proc = nullptr;
  {
    mutex_guard_t guard(pool.lock);
    if (!pool.idle.empty()) {
      proc = pool.idle.last();
      pool.idle.remove(pool.idle.count() - 1);
    }
  }
  if (!proc) {
    if (compression == FS_COMPRESSION_ZSTD) {
      proc = new zstd_proc_t();
    } else {
      proc = new zlib_proc_t();
    }
  }
  if (!proc->start((u8)compression)) {
    delete proc;
    return nullptr;
  }
  outstanding_procs.fetch_add(1, std::memory_order_relaxed);
  return proc;
}

void release_io_proc(fs_proc_t* proc) {
  if (!proc) return;
  proc_pool_t& pool = pool_for(proc->get_compression(), "Release IO proc: unsupported compression type");
  proc->clear_source();
  outstanding_procs.fetch_sub(1, std::memory_order_relaxed);
  mutex_guard_t guard(pool.lock);
  if (!pool.idle.append(proc)) delete proc;
}

void fs_proc_pools_trim() {
  zlib_pool().trim();
  zstd_pool().trim();
}

u32 fs_proc_debug_outstanding() { return outstanding_procs.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------------
// Reading a chunk's content

fs_proc_t::~fs_proc_t() { std::free(input_); }

void fs_proc_t::set_source(file_t* file, u64 start, u64 stored_size, u64 content_size) {
  clear_source();
  file_ = file;
  if (file && configure(start, stored_size, content_size)) source_kind_ = SOURCE_FILE;
  reset();
}

void fs_proc_t::set_source(platform_fs_t* platform, u64 handle, u64 start, u64 stored_size, u64 content_size) {
  clear_source();
  platform_ = platform;
  handle_ = handle;
  if (platform && configure(start, stored_size, content_size)) source_kind_ = SOURCE_HANDLE;
  reset();
}

bool fs_proc_t::configure(u64 start, u64 stored_size, u64 content_size) {
  if (stored_size > UINT64_MAX - start) return false;
  if (!input_) input_ = static_cast<u8*>(std::malloc(FS_PROC_INPUT_WINDOW));
  if (!input_) return false;
  start_ = start;
  stored_size_ = stored_size;
  content_size_ = content_size;
  return true;
}

void fs_proc_t::clear_source() {
  source_kind_ = SOURCE_NONE;
  file_ = nullptr;
  platform_ = nullptr;
  handle_ = 0;
  start_ = stored_size_ = content_size_ = 0;
  input_consumed_ = position_ = 0;
  input_begin_ = input_end_ = 0;
  dirty_ = false;
}

bool fs_proc_t::reset() {
  input_consumed_ = 0;
  position_ = 0;
  input_begin_ = input_end_ = 0;
  dirty_ = false;
  return start(compression_);
}

bool fs_proc_t::read_source(u8* buffer, u64 size, u64 offset) {
  if (source_kind_ == SOURCE_FILE) return file_->read_at(buffer, size, offset);
  // The decoder waits for every window anyway: the read happens on this thread.
  return platform_->read_blocking((platform_file_handle_t)handle_, buffer, size, offset);
}

bool fs_proc_t::refill_input() {
  u64 block = clamp_window(stored_size_ - input_consumed_, FS_PROC_INPUT_WINDOW);
  if (block == 0) return false;
  if (!read_source(input_, block, start_ + input_consumed_)) return false;
  input_consumed_ += block;
  input_begin_ = 0;
  input_end_ = block;
  return true;
}

bool fs_proc_t::decode(u8* out, u64 size, u64* produced_total) {
  u8 scratch[4096];
  *produced_total = 0;
  while (*produced_total < size && !ended_) {
    if (input_begin_ == input_end_ && input_consumed_ < stored_size_ && !refill_input()) return false;
    u8* target = out ? out + *produced_total : scratch;
    u64 room = size - *produced_total;
    if (!out) room = clamp_window(room, sizeof(scratch));
    u64 consumed = 0, produced = 0;
    if (!process(input_ + input_begin_, input_end_ - input_begin_, target, room, &consumed, &produced)) return false;
    input_begin_ += consumed;
    *produced_total += produced;
    position_ += produced;
    // Nothing moved: with input at hand the decoder is stuck, and with every stored
    // byte used the stream was cut short. Either way it would never end.
    if (consumed == 0 && produced == 0 && !ended_) return false;
  }
  return true;
}

bool fs_proc_t::check_end_of_content() {
  // Room for one byte more than the content: the stream must end without using it.
  u8 extra = 0;
  u64 produced = 0;
  return decode(&extra, 1, &produced) && produced == 0 && ended_;
}

fs_proc_t::whole_read_t fs_proc_t::read_whole(u8* buffer) {
  if (stored_size_ == 0 || content_size_ == 0 || stored_size_ > FS_PROC_WHOLE_READ_LIMIT) return WHOLE_READ_IN_WINDOWS;
  // Small chunks fit the input window; larger ones get a buffer of their own.
  array_dyn_t<u8> large;
  u8* stored = input_;
  if (stored_size_ > FS_PROC_INPUT_WINDOW) {
    if (!large.resize_uninitialized(stored_size_)) return WHOLE_READ_IN_WINDOWS;
    stored = large.data();
  }
  // A failed read is the read's failure: reading again in windows would only hide it.
  if (!read_source(stored, stored_size_, start_)) return WHOLE_READ_FAILED;
  // The windowed decoder has the last word on a stream the whole decoder refuses.
  if (!decode_whole(stored, stored_size_, buffer, content_size_))
    return reset() ? WHOLE_READ_IN_WINDOWS : WHOLE_READ_FAILED;
  input_consumed_ = stored_size_;
  input_begin_ = input_end_ = 0;
  position_ = content_size_;
  ended_ = true;
  return WHOLE_READ_DONE;
}

bool fs_proc_t::read(void* buffer, u64 size, u64 offset) {
  if (source_kind_ == SOURCE_NONE) return false;
  if (offset > content_size_ || size > content_size_ - offset) return false;
  if (!buffer && size > 0) return false;
  if ((dirty_ || offset < position_) && !reset()) return false;
  dirty_ = true;
  if (offset == 0 && size == content_size_ && position_ == 0 && input_consumed_ == 0 && decodes_whole()) {
    switch (read_whole(static_cast<u8*>(buffer))) {
      case WHOLE_READ_DONE:
        dirty_ = false;
        return true;
      case WHOLE_READ_FAILED:
        return false;
      case WHOLE_READ_IN_WINDOWS:
        dirty_ = true;  // a reset cleared it
        break;
    }
  }
  u64 produced = 0;
  if (offset > position_ && (!decode(nullptr, offset - position_, &produced) || position_ != offset)) return false;
  if (!decode(static_cast<u8*>(buffer), size, &produced) || produced != size) return false;
  if (position_ == content_size_ && !check_end_of_content()) return false;
  dirty_ = false;
  return true;
}

}  // namespace umbra
