// Files whose contents live in memory, in fixed-size pages held in a page directory:
// growing never moves what was written, and pages never written read as zeros without
// costing memory. A memory file can also present a caller's buffer as a file.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

constexpr u64 MEM_FILE_PAGE_SIZE = 1024;

class mem_file_t final : public file_t {
 public:
  class page_t {
   public:
    virtual ~page_t() = default;
    virtual void read(void* destination, u64 size, u64 offset) const = 0;
    virtual void write(const void* source, u64 size, u64 offset) = 0;
  };

  // An empty, growable, writable file named "<mem-file>".
  mem_file_t();
  // A file over size bytes of caller memory that the caller keeps alive for the file's
  // lifetime. Writes land in that memory; the file cannot be shortened and lengthened
  // beyond it by set_size, but writes past its end add ordinary pages.
  mem_file_t(void* buffer, u64 size, const char* file_name);
  ~mem_file_t() override;

  bool stat(fs_stat_t* out) override;
  bool uses_read_cache() override { return false; }
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32 flag) override;
  fs_io_request_t* io_write(const void* buffer, u64 size, u64 offset) override;
  bool io_poll(fs_io_request_t* request) override { return true; }
  bool io_wait(fs_io_request_t* request) override { return true; }
  void io_release(fs_io_request_t* request) override {}
  bool set_size(u64 new_size) override;
  bool get_path(string& out) override;
  bool get_ufs_path(string& out) override;
  void get_debug_name(string& out) override;

  void set_read_only(bool value) { read_only_ = value; }
  bool is_read_only() const { return read_only_; }
  u64 size() const { return size_; }
  u64 page_size() const { return page_size_; }
  // Entries of the page directory, and whether an entry holds a page of its own.
  u64 page_count() const { return pages_.count(); }
  bool is_page_allocated(u64 index) const { return index < pages_.count() && pages_[index].get() != nullptr; }

 private:
  page_t* get_page(u64 index, bool create);
  // Bytes between the old end and a new end may hold what was written before the file
  // was shortened; they must read as zeros once the file covers them again.
  void clear_range(u64 from, u64 to);

  bool read_only_ = false;
  bool fixed_page_ = false;
  u64 fixed_limit_ = 0;  // a fixed-page file's buffer length
  u64 size_ = 0;
  u64 page_size_ = MEM_FILE_PAGE_SIZE;
  array_dyn_t<auto_ptr_t<page_t>> pages_;
};

// An empty memory file that grows as it is written.
auto_ptr_t<file_t> mem_file_create();
// A memory file over a caller's buffer (see mem_file_t).
auto_ptr_t<file_t> mem_file_create_over(void* buffer, u64 size, const char* file_name);
// A read-only memory file over a caller's constant buffer.
auto_ptr_t<file_t> mem_file_create_read_only(const void* buffer, u64 size, const char* file_name);

}  // namespace umbra
