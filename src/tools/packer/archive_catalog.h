// A read-only view of one archive for the commands that look into it (list, info,
// verify): the mounted read device, every entry of its table with the kind and the data
// chunk its records give, and the walk of the listings from the root that names the
// entries. Everything is read through the read devices and the IO server that
// extraction uses; nothing here parses the format on its own.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

class cairn_device_t;
class cairn_v1_device_t;
class cairn_v2_device_t;

enum catalog_kind_t : u8 {
  CATALOG_FILE = 0,
  CATALOG_DIRECTORY = 1,
  CATALOG_IMAGE = 2,
};

// "file", "directory", "image".
const char* catalog_kind_name(catalog_kind_t kind);
// "none", "zlib", "deflate", "gdeflate", "zstd"; "unknown" for values without a method.
const char* catalog_compression_name(u32 compression);

// Stored bytes per content byte as a percentage ("39.7%"), "-" for no content.
void catalog_format_ratio(string& out, u64 stored, u64 size);

constexpr u64 CATALOG_NO_ENTRY = ~0ull;

struct catalog_entry_t {
  u64 hash = 0;
  catalog_kind_t kind = CATALOG_FILE;
  // The chunk that holds the entry's data: a file's content, a directory's listing, an
  // image's pixels (a version 1 entry's data is always one).
  bool has_chunk = false;
  fs_chunk_t chunk{};
  bool has_image = false;  // image entries: the image record
  fs_meta_image_t image{};
  // Index words or records that lie outside the metadata table, or more records than
  // one metadata set holds: the device's mstat (and so extraction) refuses the entry.
  bool records_malformed = false;
  bool records_overflow = false;
  // The device path that names the entry ("/" for the root); empty while unnamed.
  mstring_t path;
  // Named by a listing reached from the root (else hidden, even once named otherwise).
  bool listed = false;
};

// What a walk meets, in walk order: every entry it reaches (directories before what
// they hold) and every problem of the listings, worded for one line.
class catalog_visitor_t {
 public:
  virtual ~catalog_visitor_t() = default;
  virtual void on_entry(u64 entry_index) = 0;
  virtual void on_problem(const char* text) = 0;
};

class archive_catalog_t {
 public:
  archive_catalog_t();
  ~archive_catalog_t();

  // Opens and mounts the archive: false after the probe's line, or after the device's
  // line and "Failed to mount the archive!".
  bool open(const char* archive_path);

  u16 version() const { return version_; }
  cairn_device_t* device() const { return device_; }
  const cairn_v1_device_t* v1() const { return v1_; }
  const cairn_v2_device_t* v2() const { return v2_; }
  u64 archive_size() const;
  u16 salt() const;

  u64 count() const { return entries_.count(); }
  catalog_entry_t& operator[](u64 index) { return entries_[index]; }
  const catalog_entry_t& operator[](u64 index) const { return entries_[index]; }
  // The entry a device path names, or CATALOG_NO_ENTRY.
  u64 find(const char* device_path) const;

  // Walks the listings breadth-first from start (a directory's device path), naming
  // every entry reached that has no name yet and marking it listed when listed is set.
  // Each entry is visited once, whatever loops the listings make.
  void walk(const char* start, bool listed, catalog_visitor_t& visitor);

  // Names a file entry reached otherwise than by a walk (a candidate path that hashes
  // to it); false when a walk or an earlier call reached it already.
  bool visit(u64 index, const char* device_path);

  // Reads and decodes a directory entry's listing; false with the reason in problem.
  bool read_listing(u64 index, fs_dir_list_t& children, string& problem);
  // Decodes listing bytes already read; false with the reason in problem.
  bool parse_listing(const u8* bytes, u64 size, fs_dir_list_t& children, string& problem) const;

  // Reads a chunk of the archive through the IO server and decodes it into out; false
  // with the reason in problem.
  bool read_chunk(const fs_chunk_t& chunk, const char* label, array_dyn_t<u8>& out, string& problem);

  // A name for messages: the entry's path, or "entry <hash>" while it has none; shown
  // with control bytes and the like escaped.
  void describe(u64 index, string& out) const;

 private:
  void load_v1_entries();
  void load_v2_entries();

  auto_ptr_t<fs_device_t> owned_device_;
  cairn_device_t* device_ = nullptr;
  const cairn_v1_device_t* v1_ = nullptr;
  const cairn_v2_device_t* v2_ = nullptr;
  u16 version_ = 0;
  array_dyn_t<catalog_entry_t> entries_;
  array_dyn_t<u8> visited_;  // per entry: reached by a walk
};

}  // namespace umbra
