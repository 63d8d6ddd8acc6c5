// One GDeflate page: at most 64 KiB of input as one independent 32-lane bit stream.
// The tile-stream container (gdeflate.h) is built from these two operations.
#pragma once

#include "umbracore/types.h"

namespace umbra {

// Decodes one page of page_size bytes into out, which must come out exactly out_size
// bytes long. Never reads outside [page, page + page_size) nor writes outside
// [out, out + out_size); any malformed page, a page that ends early or one that
// yields any other byte count fails.
bool gdeflate_decode_page(const u8* page, u64 page_size, u8* out, u32 out_size);

// Tables and lane state of the page decoder, reused from page to page so that a
// stream of many pages allocates them once; one per thread at a time.
struct gdeflate_decoder_t;

// The vector code the decoder may take: the widest the CPU has, at most 256-bit vectors,
// or none. Every path gives the same results; tests compare them.
enum gdeflate_vectors_t { GDEFLATE_VECTORS_BEST, GDEFLATE_VECTORS_256, GDEFLATE_VECTORS_NONE };

// Null when there is no memory.
gdeflate_decoder_t* gdeflate_decoder_create(gdeflate_vectors_t vectors = GDEFLATE_VECTORS_BEST);
void gdeflate_decoder_destroy(gdeflate_decoder_t* decoder);

// gdeflate_decode_page with the caller's decoder state.
bool gdeflate_decode_page(gdeflate_decoder_t& decoder, const u8* page, u64 page_size, u8* out, u32 out_size);

// Match finder, parser and code buffers of the page encoder; one per thread at a time.
struct gdeflate_encoder_t;

// Null when there is no memory. portable_only keeps the parser off the wide-vector path
// even where the CPU has one (both paths give the same pages; tests compare them).
gdeflate_encoder_t* gdeflate_encoder_create(bool portable_only = false);
void gdeflate_encoder_destroy(gdeflate_encoder_t* encoder);

// Compresses n (1..65536) bytes into out; returns the page size (a multiple of 4,
// never above GDEFLATE_MAX_COMPRESSED_PAGE) or 0 when the page does not fit capacity.
u32 gdeflate_encode_page(gdeflate_encoder_t& encoder, const u8* in, u32 n, u8* out, u32 capacity);

}  // namespace umbra
