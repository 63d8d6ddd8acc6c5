#include "umbracore/umbrautils/ufs/mem_file.h"

#include <cstdlib>
#include <cstring>

#include "umbracore/log/assert.h"

namespace umbra {

namespace {

using page_t = mem_file_t::page_t;

// Page of the file's own memory, zeroed at creation. Its length is the file's page
// size, so pages added past the end of a caller's buffer hold a whole page as well.
class data_page_t final : public page_t {
 public:
  static data_page_t* create(u64 length) {
    void* memory = std::calloc(1, sizeof(data_page_t) + length);
    UMBRA_ASSERT(memory != nullptr, "[memfs] unable to allocate a page!");
    return new (memory) data_page_t(length);
  }
  static void operator delete(void* memory) { std::free(memory); }

  void read(void* destination, u64 size, u64 offset) const override {
    check(size, offset);
    if (size) std::memcpy(destination, bytes() + offset, size);
  }
  void write(const void* source, u64 size, u64 offset) override {
    check(size, offset);
    if (size) std::memcpy(bytes() + offset, source, size);
  }

 private:
  explicit data_page_t(u64 length) : length_(length) {}
  void check(u64 size, u64 offset) const {
    UMBRA_ASSERT(offset <= length_ && size <= length_ - offset, "[memfs] access outside page!");
  }
  u8* bytes() { return reinterpret_cast<u8*>(this + 1); }
  const u8* bytes() const { return reinterpret_cast<const u8*>(this + 1); }

  u64 length_;
};

// Every page never written: reads as zeros, owns nothing, shared by all files and
// threads (it has no state to share).
class zero_page_t final : public page_t {
 public:
  void read(void* destination, u64 size, u64 offset) const override {
    if (size) std::memset(destination, 0, size);
  }
  void write(const void* source, u64 size, u64 offset) override {
    if (size) UMBRA_FAIL("writing to ZERO page is not supported!");
  }
};

// A caller's memory, not owned.
class buffer_page_t final : public page_t {
 public:
  buffer_page_t(u8* memory, u64 length) : memory_(memory), length_(length) {}

  void read(void* destination, u64 size, u64 offset) const override {
    check(size, offset);
    if (size) std::memcpy(destination, memory_ + offset, size);
  }
  void write(const void* source, u64 size, u64 offset) override {
    check(size, offset);
    if (size) std::memcpy(memory_ + offset, source, size);
  }

 private:
  void check(u64 size, u64 offset) const {
    UMBRA_ASSERT(offset <= length_ && size <= length_ - offset, "[memfs] access outside page!");
  }

  u8* memory_;
  u64 length_;
};

zero_page_t g_zero_page;

const u8 ZEROS[MEM_FILE_PAGE_SIZE] = {};

u64 min_u64(u64 a, u64 b) { return a < b ? a : b; }

}  // namespace

mem_file_t::mem_file_t() : file_t("<mem-file>") {}

mem_file_t::mem_file_t(void* buffer, u64 size, const char* file_name) : file_t(file_name) {
  fixed_page_ = true;
  fixed_limit_ = size;
  size_ = size;
  // A page size of 0 would divide by zero; an empty buffer holds no page at all.
  if (size == 0) return;
  page_size_ = size;
  auto_ptr_t<page_t>* entry = pages_.emplace();
  UMBRA_ASSERT(entry != nullptr, "[memfs] unable to resize page directory!");
  entry->reset(new buffer_page_t(static_cast<u8*>(buffer), size));
}

mem_file_t::~mem_file_t() = default;

mem_file_t::page_t* mem_file_t::get_page(u64 index, bool create) {
  if (index >= pages_.count()) {
    if (!create) return nullptr;
    UMBRA_ASSERT(index < ~0ull && pages_.resize(index + 1), "[memfs] unable to resize page directory!");
  }
  auto_ptr_t<page_t>& entry = pages_[index];
  if (entry) return entry.get();
  if (!create) return &g_zero_page;
  entry.reset(data_page_t::create(page_size_));
  return entry.get();
}

bool mem_file_t::stat(fs_stat_t* out) {
  if (!out) return true;
  out->kind = FS_KIND_FILE;
  out->time = ~0ull;
  out->size = size_;
  out->stored_size = size_;
  out->device_reference = 0;
  out->entry_index = 0;
  return true;
}

fs_io_request_t* mem_file_t::io_read(void* buffer, u64 size, u64 offset, u32 flag) {
  if (size == 0 || !buffer) return fs_completed_request();
  if (offset > size_ || size > size_ - offset) return nullptr;
  u8* out = static_cast<u8*>(buffer);
  u64 remaining = size;
  u64 in_page = offset % page_size_;
  for (u64 index = offset / page_size_; remaining != 0; ++index) {
    u64 piece = min_u64(page_size_ - in_page, remaining);
    page_t* page = get_page(index, false);
    (page ? page : &g_zero_page)->read(out, piece, in_page);
    out += piece;
    remaining -= piece;
    in_page = 0;
  }
  return fs_completed_request();
}

fs_io_request_t* mem_file_t::io_write(const void* buffer, u64 size, u64 offset) {
  if (read_only_) return nullptr;
  if (size == 0 || !buffer) return fs_completed_request();
  if (offset > ~0ull - size) return nullptr;
  if (offset > size_) clear_range(size_, offset);
  const u8* in = static_cast<const u8*>(buffer);
  u64 remaining = size;
  u64 in_page = offset % page_size_;
  for (u64 index = offset / page_size_; remaining != 0; ++index) {
    u64 piece = min_u64(page_size_ - in_page, remaining);
    get_page(index, true)->write(in, piece, in_page);
    in += piece;
    remaining -= piece;
    in_page = 0;
  }
  if (offset + size > size_) size_ = offset + size;
  return fs_completed_request();
}

void mem_file_t::clear_range(u64 from, u64 to) {
  // Only pages that exist can hold old bytes; absent ones read as zeros already.
  u64 in_page = from % page_size_;
  for (u64 index = from / page_size_; from < to && index < pages_.count(); ++index) {
    u64 piece = min_u64(page_size_ - in_page, to - from);
    if (pages_[index]) {
      for (u64 done = 0; done < piece; done += MEM_FILE_PAGE_SIZE) {
        pages_[index]->write(ZEROS, min_u64(MEM_FILE_PAGE_SIZE, piece - done), in_page + done);
      }
    }
    from += piece;
    in_page = 0;
  }
}

bool mem_file_t::set_size(u64 new_size) {
  if (fixed_page_) {
    if (new_size > fixed_limit_) return false;
  } else {
    u64 entries = new_size / page_size_ + 1;
    if (entries < pages_.count()) {
      pages_.resize(entries);
    } else if (!pages_.resize(entries)) {
      return false;
    }
  }
  if (new_size > size_) clear_range(size_, new_size);
  size_ = new_size;
  return true;
}

bool mem_file_t::get_path(string& out) { return out.assign(name); }

bool mem_file_t::get_ufs_path(string& out) {
  if (device_type != FS_DEVICE_UFS) return false;
  return out.assign(name);
}

void mem_file_t::get_debug_name(string& out) {
  out.format("<MEMFILE><%s>%s", fs_device_type_name(device_type), name.c_str());
}

auto_ptr_t<file_t> mem_file_create() { return auto_ptr_t<file_t>(new mem_file_t()); }

auto_ptr_t<file_t> mem_file_create_over(void* buffer, u64 size, const char* file_name) {
  return auto_ptr_t<file_t>(new mem_file_t(buffer, size, file_name));
}

auto_ptr_t<file_t> mem_file_create_read_only(const void* buffer, u64 size, const char* file_name) {
  mem_file_t* file = new mem_file_t(const_cast<void*>(buffer), size, file_name);
  file->set_read_only(true);
  return auto_ptr_t<file_t>(file);
}

}  // namespace umbra
