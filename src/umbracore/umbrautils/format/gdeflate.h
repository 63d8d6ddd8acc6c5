// GDeflate tile streams: the input is cut into 64 KiB pages, each page becomes one
// GDeflate bit stream (DEFLATE spread over 32 lanes), and the pages are stored behind
// an 8-byte header and a table of page offsets.
//
// Both directions work on plain buffers, keep all their state on the call, and may run
// on any number of threads at once. Failure is reported by the result only.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"

namespace umbra {

constexpr u32 gdeflate_page_size = 65536;
constexpr u32 gdeflate_max_pages = 65535;
constexpr u32 gdeflate_header_size = 8;
constexpr u8 gdeflate_stream_id = 4;
constexpr u8 gdeflate_stream_magic = 0xFB;  // the id with every bit flipped
constexpr u32 gdeflate_page_size_index = 1;
// No page is larger than a full page of incompressible data kept in stored blocks.
constexpr u32 gdeflate_max_compressed_page = 65672;

// Compresses n bytes into a tile stream appended to out; false on failure (n == 0,
// more than 65535 pages, no memory). out is left as it was on failure.
bool gdeflate_compress(const u8* in, u64 n, array_dyn_t<u8>& out);

// Decodes a tile stream of stream_size bytes into out, which must receive exactly
// out_size bytes. Fails on any stream that does not describe exactly out_size bytes
// or whose pages do not decode cleanly; never reads or writes outside the buffers.
bool gdeflate_decompress(u8* out, u64 out_size, const u8* stream, u64 stream_size);

// Reads the decoded size that a tile stream's header announces; false when the
// header or page table is malformed or does not fit in stream_size bytes.
bool gdeflate_decoded_size(const u8* stream, u64 stream_size, u64& decoded_size);

}  // namespace umbra
