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

constexpr u32 LAST_SIZE_SHIFT = 2;
constexpr u32 LAST_SIZE_MASK = 0x3FFFF;  // bits 2-19 of the header word

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
  if (!stream || stream_size < GDEFLATE_HEADER_SIZE) return false;
  if (stream[0] != GDEFLATE_STREAM_ID || stream[1] != GDEFLATE_STREAM_MAGIC) return false;
  const u32 page_count = load_le16(stream + 2);
  const u32 word = load_le32(stream + 4);
  if ((word & 3) != GDEFLATE_PAGE_SIZE_INDEX) return false;
  const u32 last_size = (word >> LAST_SIZE_SHIFT) & LAST_SIZE_MASK;
  if (last_size >= GDEFLATE_PAGE_SIZE) return false;

  layout.page_count = page_count;
  layout.table = stream + GDEFLATE_HEADER_SIZE;
  layout.data_offset = GDEFLATE_HEADER_SIZE + 4 * (u64)page_count;
  layout.decoded_size =
      page_count == 0 ? 0 : (u64)(page_count - 1) * GDEFLATE_PAGE_SIZE + (last_size ? last_size : GDEFLATE_PAGE_SIZE);
  if (stream_size < layout.data_offset) return false;

  // Pages lie back to back inside the stream, each at least as long as the words the
  // decoder loads at its start (which also bounds what a small stream can claim).
  u64 start = 0;
  for (u32 i = 1; i < page_count; ++i) {
    const u64 next = load_le32(layout.table + 4 * (u64)i);
    if (next < start + GD_INITIAL_BYTES) return false;
    start = next;
  }
  if (page_count != 0) {
    const u64 last_page_bytes = load_le32(layout.table);
    if (last_page_bytes < GD_INITIAL_BYTES || start + last_page_bytes > stream_size - layout.data_offset) {
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
    const u64 first = (u64)i * GDEFLATE_PAGE_SIZE;
    const u32 slot = (u32)(out_size - first < GDEFLATE_PAGE_SIZE ? out_size - first : GDEFLATE_PAGE_SIZE);
    ok = gdeflate_decode_page(*decoder, stream + span.offset, span.size, out + first, slot);
  }
  gdeflate_decoder_destroy(decoder);
  return ok;
}

// While the pages are compressed, page i lies in a slot of its own, at the largest size a
// page can take; finish moves each page down behind the one before it.
namespace {

u64 slot_offset(u64 data_offset, u64 page) { return data_offset + page * GDEFLATE_MAX_COMPRESSED_PAGE; }

}  // namespace

bool gdeflate_paged_compressor_t::begin(const u8* in, u64 n, array_dyn_t<u8>& out) {
  if (n == 0 || !in) return false;
  const u64 page_count = (n + GDEFLATE_PAGE_SIZE - 1) / GDEFLATE_PAGE_SIZE;
  if (page_count > GDEFLATE_MAX_PAGES) return false;
  const u64 old_count = out.count();
  const u64 data_offset = old_count + GDEFLATE_HEADER_SIZE + 4 * page_count;
  // Only the bytes written are ever touched: the slots cost address space, not memory.
  const u64 room = slot_offset(data_offset, page_count);
  if (!page_sizes_.resize((u64)page_count, 0) || !out.request_capacity(room) || !out.resize_uninitialized(room)) {
    return false;
  }
  in_ = in;
  n_ = n;
  page_count_ = (u32)page_count;
  out_ = &out;
  old_count_ = old_count;
  next_page_.store(0, std::memory_order_relaxed);
  failed_.store(false, std::memory_order_relaxed);
  return true;
}

bool gdeflate_paged_compressor_t::has_pages_left() const {
  return !failed_.load(std::memory_order_relaxed) && next_page_.load(std::memory_order_relaxed) < page_count_;
}

bool gdeflate_paged_compressor_t::compress_page(gdeflate_encoder_t& encoder, u32 index) {
  const u64 first = (u64)index * GDEFLATE_PAGE_SIZE;
  const u32 size = (u32)(n_ - first < GDEFLATE_PAGE_SIZE ? n_ - first : GDEFLATE_PAGE_SIZE);
  const u64 data_offset = old_count_ + GDEFLATE_HEADER_SIZE + 4 * (u64)page_count_;
  u8* slot = out_->data() + slot_offset(data_offset, index);
  page_sizes_[index] = gdeflate_encode_page(encoder, in_ + first, size, slot, GDEFLATE_MAX_COMPRESSED_PAGE);
  return page_sizes_[index] != 0;
}

void gdeflate_paged_compressor_t::compress_pages() {
  // The encoder's tables are large: a call that comes too late to find a page makes none.
  if (!has_pages_left()) return;
  gdeflate_encoder_t* encoder = gdeflate_encoder_create();
  if (!encoder) {
    failed_.store(true, std::memory_order_relaxed);
    return;
  }
  while (!failed_.load(std::memory_order_relaxed)) {
    const u32 index = next_page_.fetch_add(1, std::memory_order_relaxed);
    if (index >= page_count_) break;
    if (!compress_page(*encoder, index)) failed_.store(true, std::memory_order_relaxed);
  }
  gdeflate_encoder_destroy(encoder);
}

bool gdeflate_paged_compressor_t::finish() {
  array_dyn_t<u8>& out = *out_;
  // Every page was taken unless a call failed or none ran.
  bool ok = !failed_.load(std::memory_order_relaxed) && next_page_.load(std::memory_order_relaxed) >= page_count_;
  const u64 data_offset = old_count_ + GDEFLATE_HEADER_SIZE + 4 * (u64)page_count_;
  u64 written = 0;  // page bytes so far
  u32 last_size = 0;
  for (u32 i = 0; ok && i < page_count_; ++i) {
    const u32 size = page_sizes_[i];
    if (size == 0 || written + size > 0xFFFFFFFFull) {
      ok = false;
      break;
    }
    // Pages never grow past their slots, so each move goes down (or stays).
    std::memmove(out.data() + data_offset + written, out.data() + slot_offset(data_offset, i), size);
    if (i > 0) store_le32(out.data() + old_count_ + GDEFLATE_HEADER_SIZE + 4 * (u64)i, (u32)written);
    written += size;
    last_size = size;
  }
  page_sizes_.release_storage();
  if (!ok) {
    out.resize(old_count_);
    return false;
  }
  out.resize(data_offset + written);
  u8* header = out.data() + old_count_;
  header[0] = GDEFLATE_STREAM_ID;
  header[1] = GDEFLATE_STREAM_MAGIC;
  store_le16(header + 2, (u16)page_count_);
  store_le32(header + 4, GDEFLATE_PAGE_SIZE_INDEX | (u32)(n_ % GDEFLATE_PAGE_SIZE) << LAST_SIZE_SHIFT);
  store_le32(header + GDEFLATE_HEADER_SIZE, last_size);
  return true;
}

bool gdeflate_compress(const u8* in, u64 n, array_dyn_t<u8>& out) {
  gdeflate_paged_compressor_t compressor;
  if (!compressor.begin(in, n, out)) return false;
  compressor.compress_pages();
  return compressor.finish();
}

}  // namespace umbra
