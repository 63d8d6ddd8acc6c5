// The tile stream around the pages: an 8-byte header (id, magic, page count, page size
// index with the last page's input size), a table of page offsets, then the pages.
//
// Decoding trusts nothing in the stream: the header must announce exactly the size the
// caller expects, the table must describe pages that lie inside the stream, and every
// page must fill exactly its own 64 KiB slot of the output (the last page its rest).
#include <cstring>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_format.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace umbra {
namespace {

constexpr u32 last_size_shift = 2;
constexpr u32 last_size_mask = 0x3FFFF;  // bits 2-19 of the header word

struct page_span_t {
  u64 offset;  // from the start of the stream
  u64 size;
};

struct stream_layout_t {
  u32 page_count;
  u64 decoded_size;
  const u8* table;  // page_count little-endian u32 entries
  u64 data_offset;  // where page 0 starts

  page_span_t page(u32 i) const {
    const u64 start = i == 0 ? 0 : load_le32(table + 4 * (u64)i);
    const u64 end = i + 1 < page_count ? load_le32(table + 4 * (u64)(i + 1)) : start + load_le32(table);
    return {data_offset + start, end - start};
  }
};

bool read_layout(const u8* stream, u64 stream_size, stream_layout_t& layout) {
  if (!stream || stream_size < gdeflate_header_size) return false;
  if (stream[0] != gdeflate_stream_id || stream[1] != gdeflate_stream_magic) return false;
  const u32 page_count = load_le16(stream + 2);
  const u32 word = load_le32(stream + 4);
  if ((word & 3) != gdeflate_page_size_index) return false;
  const u32 last_size = (word >> last_size_shift) & last_size_mask;
  if (last_size >= gdeflate_page_size) return false;

  layout.page_count = page_count;
  layout.table = stream + gdeflate_header_size;
  layout.data_offset = gdeflate_header_size + 4 * (u64)page_count;
  layout.decoded_size =
      page_count == 0 ? 0 : (u64)(page_count - 1) * gdeflate_page_size + (last_size ? last_size : gdeflate_page_size);
  if (stream_size < layout.data_offset) return false;

  // Pages lie back to back inside the stream, each at least as long as the words the
  // decoder loads at its start (which also bounds what a small stream can claim).
  u64 start = 0;
  for (u32 i = 1; i < page_count; ++i) {
    const u64 next = load_le32(layout.table + 4 * (u64)i);
    if (next < start + gd_initial_bytes) return false;
    start = next;
  }
  if (page_count != 0) {
    const u64 last_page_bytes = load_le32(layout.table);
    if (last_page_bytes < gd_initial_bytes || start + last_page_bytes > stream_size - layout.data_offset) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool gdeflate_decoded_size(const u8* stream, u64 stream_size, u64& decoded_size) {
  stream_layout_t layout;
  if (!read_layout(stream, stream_size, layout)) return false;
  decoded_size = layout.decoded_size;
  return true;
}

bool gdeflate_decompress(u8* out, u64 out_size, const u8* stream, u64 stream_size) {
  stream_layout_t layout;
  if (!read_layout(stream, stream_size, layout)) return false;
  if (layout.decoded_size != out_size) return false;
  if (out_size != 0 && !out) return false;
  if (layout.page_count == 0) return true;
  // The tables are too large for the small stacks some worker threads run on.
  gdeflate_decoder_t* decoder = gdeflate_decoder_create();
  if (!decoder) return false;
  bool ok = true;
  for (u32 i = 0; i < layout.page_count && ok; ++i) {
    const page_span_t span = layout.page(i);
    const u64 first = (u64)i * gdeflate_page_size;
    const u32 slot = (u32)(out_size - first < gdeflate_page_size ? out_size - first : gdeflate_page_size);
    ok = gdeflate_decode_page(*decoder, stream + span.offset, span.size, out + first, slot);
  }
  gdeflate_decoder_destroy(decoder);
  return ok;
}

bool gdeflate_compress(const u8* in, u64 n, array_dyn_t<u8>& out) {
  if (n == 0 || !in) return false;
  const u64 page_count = (n + gdeflate_page_size - 1) / gdeflate_page_size;
  if (page_count > gdeflate_max_pages) return false;

  gdeflate_encoder_t* encoder = gdeflate_encoder_create();
  if (!encoder) return false;
  const u64 old_count = out.count();
  const u64 data_offset = old_count + gdeflate_header_size + 4 * page_count;
  // Room for every page at its largest, taken once: growing page by page would copy the
  // stream again and again. Only the bytes written are ever touched.
  bool ok = out.request_capacity(data_offset + page_count * gdeflate_max_compressed_page) &&
            out.resize(data_offset, 0);

  u64 written = 0;  // page bytes so far
  u32 last_page_size = 0;
  for (u64 i = 0; ok && i < page_count; ++i) {
    const u64 first = i * gdeflate_page_size;
    const u32 size = (u32)(n - first < gdeflate_page_size ? n - first : gdeflate_page_size);
    const u64 at = out.count();
    // The page goes straight into the stream.
    if (!out.resize_uninitialized(at + gdeflate_max_compressed_page)) {
      ok = false;
      break;
    }
    const u32 page_size = gdeflate_encode_page(*encoder, in + first, size, out.data() + at,
                                               gdeflate_max_compressed_page);
    out.resize(at + page_size);
    if (page_size == 0 || written + page_size > 0xFFFFFFFFull) {
      ok = false;
      break;
    }
    if (i > 0) store_le32(out.data() + old_count + gdeflate_header_size + 4 * i, (u32)written);
    written += page_size;
    last_page_size = page_size;
  }
  gdeflate_encoder_destroy(encoder);
  if (!ok || written == 0) {
    out.resize(old_count);
    return false;
  }

  u8* header = out.data() + old_count;
  header[0] = gdeflate_stream_id;
  header[1] = gdeflate_stream_magic;
  store_le16(header + 2, (u16)page_count);
  store_le32(header + 4, gdeflate_page_size_index | (u32)(n % gdeflate_page_size) << last_size_shift);
  store_le32(header + gdeflate_header_size, last_page_size);
  return true;
}

}  // namespace umbra
