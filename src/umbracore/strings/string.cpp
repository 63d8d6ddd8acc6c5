#include "umbracore/strings/string.h"

#include <cstdio>
#include <cstdlib>

#include "umbracore/mem.h"

namespace umbra {

// ---- string (shared operations) ----

void string::set_length(u32 n) {
  length_ = n;
  if (capacity_ > 0) buffer_[n] = 0;
}

void string::truncate(u32 n) {
  if (n >= length_) return;
  set_length(n);
}

bool string::assign(const char* text) {
  if (text == buffer_) return true;
  if (!text) {
    truncate(0);
    return true;
  }
  return assign(text, std::strlen(text));
}

bool string::assign(const string& other) {
  if (&other == this) return true;
  return assign(other.c_str(), other.length());
}

bool string::assign(const char* text, u64 size) {
  if (text == buffer_ && size == length_) return true;
  truncate(0);
  u64 needed = size + 1;
  u64 available = request_capacity(needed);
  if (available == 0) return size == 0;
  u64 copied = needed <= available ? size : available - 1;
  std::memmove(buffer_, text, copied);
  set_length((u32)copied);
  return copied == size;
}

bool string::assign_substring(const string& src, u64 max) {
  u64 n = src.length() < max ? src.length() : max;
  return assign(src.c_str(), n);
}

bool string::assign_substring(const char* src, u64 max) {
  if (!src) return assign(static_cast<const char*>(nullptr));
  u64 n = strnlen(src, max);
  return assign(src, n);
}

bool string::set_from(u64 offset, const char* src, u64 src_offset, u64 max) {
  if (offset > length_) offset = length_;
  if (!src) {
    truncate((u32)offset);
    return true;
  }
  const char* from = src + src_offset;
  u64 n = strnlen(from, max);
  if (n == 0) {
    truncate((u32)offset);
    return true;
  }
  u64 needed = offset + n + 1;
  if (needed > 0xFFFFFFFFull) needed = 0xFFFFFFFFull;
  u64 available = request_capacity(needed);
  if (available <= offset + 1) return false;  // not even one byte fits: unchanged
  u64 copied = offset + n + 1 <= available ? n : available - 1 - offset;
  std::memmove(buffer_ + offset, from, copied);
  set_length((u32)(offset + copied));
  return copied == n;
}

bool string::append_char(char c) {
  char text[2] = {c, 0};
  if (c == 0) return true;
  return set_from(length_, text, 0, 1);
}

bool string::format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  bool ok = vformat(fmt, args);
  va_end(args);
  return ok;
}

bool string::append_format(const char* fmt, ...) {
  string_local_t<1024> piece;
  va_list args;
  va_start(args, fmt);
  bool ok = piece.vformat(fmt, args);
  va_end(args);
  if (!ok && is_growable()) {
    mstring_t big;
    va_start(args, fmt);
    ok = big.vformat(fmt, args);
    va_end(args);
    return ok && append(big);
  }
  return append(piece) && ok;
}

bool string::vformat(const char* fmt, va_list args) {
  u64 available = capacity_;
  if (is_growable()) {
    va_list measure;
    va_copy(measure, args);
    int needed = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (needed < 0) needed = -1;
    available = request_capacity((u64)(needed + 1));
  }
  if (available == 0) {
    // Only the shared empty buffer has no room; nothing may be written there.
    va_list measure;
    va_copy(measure, args);
    int needed = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    return needed == 0;
  }
  int produced = std::vsnprintf(buffer_, available, fmt, args);
  buffer_[available - 1] = 0;
  if (produced < 0) {
    buffer_[0] = 0;
    length_ = 0;
    return false;
  }
  if ((u64)produced >= available) {
    length_ = (u32)(available - 1);
    return false;
  }
  length_ = (u32)produced;
  return true;
}

bool string::ends_with(const char* suffix) const {
  u64 n = std::strlen(suffix);
  return n <= length_ && std::memcmp(buffer_ + length_ - n, suffix, n) == 0;
}

bool string::starts_with(const char* prefix) const {
  u64 n = std::strlen(prefix);
  return n <= length_ && std::memcmp(buffer_, prefix, n) == 0;
}

// ---- mstring_t ----

namespace {
char g_shared_empty_buffer[1] = {0};
}

mstring_t::mstring_t() {
  buffer_ = g_shared_empty_buffer;
  capacity_ = 0;
  length_ = 0;
}

mstring_t::mstring_t(const char* text) : mstring_t() { assign(text); }

mstring_t::mstring_t(const mstring_t& other) : mstring_t() { assign(other); }

mstring_t::mstring_t(mstring_t&& other) noexcept {
  buffer_ = other.buffer_;
  length_ = other.length_;
  capacity_ = other.capacity_;
  other.buffer_ = g_shared_empty_buffer;
  other.length_ = 0;
  other.capacity_ = 0;
}

mstring_t& mstring_t::operator=(const mstring_t& other) {
  assign(other);
  return *this;
}

mstring_t& mstring_t::operator=(mstring_t&& other) noexcept {
  if (this != &other) {
    release_storage();
    buffer_ = other.buffer_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.buffer_ = g_shared_empty_buffer;
    other.length_ = 0;
    other.capacity_ = 0;
  }
  return *this;
}

mstring_t::~mstring_t() { release_storage(); }

bool mstring_t::uses_shared_empty_buffer() const { return buffer_ == g_shared_empty_buffer; }

u64 mstring_t::request_capacity(u64 n) {
  if (n <= capacity_) return capacity_;
  u64 rounded = align_up(n, 16);
  u64 doubled = (u64)capacity_ * 2;
  u64 new_capacity = rounded > doubled ? rounded : doubled;
  if (new_capacity > 0xFFFFFFF0ull) new_capacity = 0xFFFFFFF0ull;
  if (new_capacity <= capacity_) return capacity_;
  char* block = static_cast<char*>(std::malloc(new_capacity));
  UMBRA_ASSERT(block != nullptr, "Out of memory (%llu bytes)", (unsigned long long)new_capacity);
  if (uses_shared_empty_buffer()) {
    block[0] = 0;
  } else {
    std::memcpy(block, buffer_, (u64)length_ + 1);
    std::free(buffer_);
  }
  buffer_ = block;
  capacity_ = (u32)new_capacity;
  return capacity_;
}

void mstring_t::release_storage() {
  if (!uses_shared_empty_buffer()) std::free(buffer_);
  buffer_ = g_shared_empty_buffer;
  capacity_ = 0;
  length_ = 0;
}

char mstring_t::get_character_byte(u32 index) const {
  UMBRA_ASSERT(index <= length_, "mstring_t bounds check failed.");
  return buffer_[index];
}

// ---- comparison ----

int compare_bytes(const char* a, u64 a_length, const char* b, u64 b_length) {
  u64 n = a_length < b_length ? a_length : b_length;
  int c = n ? std::memcmp(a, b, n) : 0;
  if (c != 0) return c < 0 ? -1 : 1;
  if (a_length == b_length) return 0;
  return a_length < b_length ? -1 : 1;
}

int compare_bytes(const string& a, const string& b) {
  return compare_bytes(a.c_str(), a.length(), b.c_str(), b.length());
}

}  // namespace umbra
