// GDeflate tile streams: the input is cut into 64 KiB pages, each page becomes one
// GDeflate bit stream (DEFLATE spread over 32 lanes), and the pages are stored behind
// an 8-byte header and a table of page offsets.
//
// Both directions work on plain buffers, keep all their state on the call, and may run
// on any number of threads at once. Failure is reported by the result only.
#pragma once

#include <atomic>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"

namespace umbra {

constexpr u32 GDEFLATE_PAGE_SIZE = 65536;
constexpr u32 GDEFLATE_MAX_PAGES = 65535;
constexpr u32 GDEFLATE_HEADER_SIZE = 8;
constexpr u8 GDEFLATE_STREAM_ID = 4;
constexpr u8 GDEFLATE_STREAM_MAGIC = 0xFB;  // the id with every bit flipped
constexpr u32 GDEFLATE_PAGE_SIZE_INDEX = 1;
// No page is larger than a full page of incompressible data kept in stored blocks.
constexpr u32 GDEFLATE_MAX_COMPRESSED_PAGE = 65672;

// Compresses n bytes into a tile stream appended to out; false on failure (n == 0,
// more than 65535 pages, no memory). out is left as it was on failure.
bool gdeflate_compress(const u8* in, u64 n, array_dyn_t<u8>& out);

// The page encoder's state (gdeflate_page.h).
struct gdeflate_encoder_t;

// A tile stream made page by page, so that the pages of one large input can be spread
// over threads: begin lays out room for the stream, compress_pages may run on any
// number of threads at once (each call takes pages that no call has taken yet, until
// none is left), and finish, once every call has returned, packs the pages behind the
// header and the table. The stream is byte for byte the one gdeflate_compress writes,
// whatever the number of threads and the order in which pages are done.
class gdeflate_paged_compressor_t {
 public:
  gdeflate_paged_compressor_t() = default;
  gdeflate_paged_compressor_t(const gdeflate_paged_compressor_t&) = delete;
  gdeflate_paged_compressor_t& operator=(const gdeflate_paged_compressor_t&) = delete;

  // Prepares a stream of n input bytes to be appended to out. False (out as it was)
  // when n is 0, needs more than 65535 pages, or there is no memory. in and out must
  // stay in place until finish.
  bool begin(const u8* in, u64 n, array_dyn_t<u8>& out);
  u32 page_count() const { return page_count_; }
  // Whether pages are left for another call to take.
  bool has_pages_left() const;
  // Compresses pages until none is left (or one has failed). Thread-safe.
  void compress_pages();
  // Packs the stream; false, with out as it was before begin, when a page failed.
  bool finish();

 private:
  bool compress_page(gdeflate_encoder_t& encoder, u32 index);

  const u8* in_ = nullptr;
  u64 n_ = 0;
  u32 page_count_ = 0;
  array_dyn_t<u8>* out_ = nullptr;
  u64 old_count_ = 0;
  array_dyn_t<u32> page_sizes_;  // each written by the one call that took the page
  std::atomic<u32> next_page_{0};
  std::atomic<bool> failed_{false};
};

// Decodes a tile stream of stream_size bytes into out, which must receive exactly
// out_size bytes. Fails on any stream that does not describe exactly out_size bytes
// or whose pages do not decode cleanly; never reads or writes outside the buffers.
bool gdeflate_decompress(u8* out, u64 out_size, const u8* stream, u64 stream_size);

// Reads the decoded size that a tile stream's header announces; false when the
// header or page table is malformed or does not fit in stream_size bytes.
bool gdeflate_decoded_size(const u8* stream, u64 stream_size, u64& decoded_size);

}  // namespace umbra
