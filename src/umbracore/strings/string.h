// UTF-8 byte strings: an abstract base over buffer/length/capacity, a heap string
// (mstring_t) whose empty state shares one static zero byte, and inline strings
// (string_local_t<N>) that never allocate and report truncation as false.
#pragma once

#include <cstdarg>
#include <cstring>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"

namespace umbra {

class string {
 public:
  virtual ~string() = default;
  virtual bool is_growable() const = 0;
  // Returns the capacity (terminator included) that is available after the request.
  virtual u64 request_capacity(u64 n) = 0;
  virtual void release_storage() = 0;

  string(const string&) = delete;
  string& operator=(const string&) = delete;

  const char* c_str() const { return buffer_; }
  char* raw_buffer() { return buffer_; }
  u32 length() const { return length_; }
  u32 capacity() const { return capacity_; }
  bool empty() const { return length_ == 0; }

  bool assign(const char* text);
  bool assign(const string& other);
  bool assign(const char* text, u64 size);
  bool assign_substring(const string& src, u64 max);
  bool assign_substring(const char* src, u64 max);
  // Replaces everything from offset on by at most max bytes of src from src_offset,
  // stopping at a zero byte.
  bool set_from(u64 offset, const char* src, u64 src_offset, u64 max);
  bool append(const char* text) { return set_from(length_, text, 0, ~0ull); }
  bool append(const char* text, u64 size) { return set_from(length_, text, 0, size); }
  bool append(const string& text) { return set_from(length_, text.c_str(), 0, text.length()); }
  bool append_char(char c);
  bool format(const char* fmt, ...) UMBRA_PRINTF(2, 3);
  bool append_format(const char* fmt, ...) UMBRA_PRINTF(2, 3);
  bool vformat(const char* fmt, va_list args);
  // Shortens the text to n bytes (n not above the length).
  void truncate(u32 n);
  void clear() { truncate(0); }

  bool ends_with(const char* suffix) const;
  bool starts_with(const char* prefix) const;
  bool equals(const char* text) const { return std::strcmp(buffer_, text) == 0; }

 protected:
  string() = default;
  void set_length(u32 n);

  char* buffer_ = nullptr;
  u32 length_ = 0;
  u32 capacity_ = 0;
};

// Heap-backed string.
class mstring_t final : public string {
 public:
  mstring_t();
  explicit mstring_t(const char* text);
  mstring_t(const mstring_t& other);
  mstring_t(mstring_t&& other) noexcept;
  mstring_t& operator=(const mstring_t& other);
  mstring_t& operator=(mstring_t&& other) noexcept;
  ~mstring_t() override;

  bool is_growable() const override { return true; }
  u64 request_capacity(u64 n) override;
  void release_storage() override;

  char get_character_byte(u32 index) const;
  bool uses_shared_empty_buffer() const;
};

// String with N bytes of inline storage (at most N - 1 text bytes).
template <u32 N>
class string_local_t final : public string {
 public:
  string_local_t() {
    buffer_ = storage_;
    capacity_ = N;
    storage_[0] = 0;
  }
  explicit string_local_t(const char* text) : string_local_t() { assign(text); }
  string_local_t(const string_local_t& other) : string_local_t() { assign(other); }
  string_local_t& operator=(const string_local_t& other) {
    assign(other);
    return *this;
  }
  ~string_local_t() override = default;

  bool is_growable() const override { return false; }
  u64 request_capacity(u64) override { return N; }
  void release_storage() override {
    storage_[0] = 0;
    length_ = 0;
  }

 private:
  char storage_[N];
};

using path_string_t = string_local_t<256>;
// Paths handed to the operating system: archive paths stay within 255 bytes, but the
// directories they are packed from or extracted into add their own length on top.
using system_path_string_t = string_local_t<4096>;

// Byte-wise comparison (unsigned bytes; a prefix sorts first).
int compare_bytes(const string& a, const string& b);
int compare_bytes(const char* a, u64 a_length, const char* b, u64 b_length);

// Unicode.
// Decodes one strict UTF-8 sequence; returns its length 1-4 and the code point, or -1.
int decode_utf8(const char* text, u32* code_point);
// Same with an explicit end: never reads at or past end.
int decode_utf8_bounded(const char* text, const char* end, u32* code_point);
bool is_valid_utf8(const char* text);
bool is_valid_utf8(const char* text, u64 size);
bool append_code_point(string& out, u32 code_point);
bool utf8_to_utf16(array_t<u16>& out, const char* text);
// Converts a zero-terminated UTF-16 name (at most 512 units) and appends it to out.
bool utf16_to_utf8(string& out, const u16* units);

}  // namespace umbra
