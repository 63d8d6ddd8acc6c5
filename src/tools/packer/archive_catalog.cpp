#include "tools/packer/archive_catalog.h"

#include <cinttypes>

#include "tools/packer/archive_probe.h"
#include "tools/packer/packer_profiling.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/path.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/ufs/cairn_device_factory.h"
#include "umbracore/ufs/cairn_v1_device.h"
#include "umbracore/ufs/cairn_v1_file.h"
#include "umbracore/ufs/cairn_v2_device.h"
#include "umbracore/ufs/fs_io_server_core.h"

namespace umbra {

namespace {

void shown_path(mstring_t& out, const char* path) {
  out.clear();
  append_escaped_for_display(out, path);
}

}  // namespace

const char* catalog_kind_name(catalog_kind_t kind) {
  switch (kind) {
    case CATALOG_DIRECTORY:
      return "directory";
    case CATALOG_IMAGE:
      return "image";
    default:
      return "file";
  }
}

const char* catalog_compression_name(u32 compression) {
  static const char* const names[] = {"none", "zlib", "deflate", "gdeflate", "zstd"};
  return fs_compression_is_known(compression) ? names[compression] : "unknown";
}

void catalog_format_ratio(string& out, u64 stored, u64 size) {
  if (size == 0) {
    out.assign("-");
  } else {
    out.format("%.1f%%", 100.0 * (double)stored / (double)size);
  }
}

archive_catalog_t::archive_catalog_t() = default;
archive_catalog_t::~archive_catalog_t() = default;

bool archive_catalog_t::open(const char* archive_path) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "mount");
  auto_ptr_t<file_t> archive;
  if (!open_archive(archive_path, archive, &version_)) return false;
  owned_device_.reset(open_cairn_device(archive));
  device_ = dynamic_cast<cairn_device_t*>(owned_device_.get());
  if (!device_ || !device_->is_available()) {
    log_error("Failed to mount the archive!");
    return false;
  }
  v1_ = dynamic_cast<const cairn_v1_device_t*>(device_);
  v2_ = dynamic_cast<const cairn_v2_device_t*>(device_);
  if (v1_) {
    load_v1_entries();
  } else {
    load_v2_entries();
  }
  if (!visited_.resize(entries_.count())) {
    log_error("Out of memory while reading the entry table!");
    return false;
  }
  return true;
}

u64 archive_catalog_t::archive_size() const { return device_ ? device_->archive_size() : 0; }

u16 archive_catalog_t::salt() const { return v1_ ? v1_->header().salt : v2_ ? v2_->header().salt : 0; }

void archive_catalog_t::load_v1_entries() {
  const array_t<cairn_entry_t>& table = v1_->entries();
  entries_.resize(table.count());
  for (u64 i = 0; i < table.count(); ++i) {
    catalog_entry_t& entry = entries_[i];
    entry.hash = table[i].hash;
    entry.kind = (table[i].flags & CAIRN_V1_FLAG_DIRECTORY) ? CATALOG_DIRECTORY : CATALOG_FILE;
    entry.has_chunk = true;
    entry.chunk = cairn_v1_entry_chunk(table[i]);
  }
}

namespace {

// Checks every record the device's mstat would hand on, as it does: each inside the
// table, all of them within one metadata set.
void check_v2_records(const u32* metadata, u64 words, const cairn_v2_entry_t& stored, catalog_entry_t& entry) {
  if (stored.index_count == 0) return;
  const u32* index_words = cairn_v2_entry_index_words(metadata, words, stored);
  if (!index_words) {
    entry.records_malformed = true;
    return;
  }
  u64 records = 0, record_words = 0;
  for (u32 i = 0; i < stored.index_count; ++i) {
    const u32 kind = cairn_index_word_kind(index_words[i]);
    if (kind == CAIRN_KIND_RESERVED_3 || kind == CAIRN_KIND_LISTING_CHUNK || cairn_record_word_count(kind) == 0)
      continue;
    if (!cairn_v2_record_in_table(index_words[i], words)) entry.records_malformed = true;
    ++records;
    record_words += cairn_kind_is_chunk(kind) ? FS_META_CHUNK_WORDS : cairn_record_word_count(kind);
  }
  entry.records_overflow = records > FS_MSTAT_MAX_RECORDS || record_words > FS_MSTAT_MAX_WORDS;
}

}  // namespace

void archive_catalog_t::load_v2_entries() {
  const array_t<cairn_v2_entry_t>& table = v2_->entries();
  const u32* metadata = v2_->metadata().data();
  const u64 words = v2_->metadata().count();
  entries_.resize(table.count());
  for (u64 i = 0; i < table.count(); ++i) {
    const cairn_v2_entry_t& stored = table[i];
    catalog_entry_t& entry = entries_[i];
    entry.hash = stored.hash;
    u32 position = 0;
    cairn_lookup_t image = cairn_v2_find_record(metadata, words, stored, CAIRN_KIND_IMAGE, &position);
    if (image == CAIRN_RECORD_FOUND) {
      entry.has_image = true;
      fs_meta_unpack_image(metadata + position, &entry.image);
    }
    u32 chunk_kind = CAIRN_KIND_PLAIN_CHUNK;
    entry.kind = CATALOG_FILE;
    if (cairn_v2_entry_is_directory(stored)) {
      entry.kind = CATALOG_DIRECTORY;
      chunk_kind = CAIRN_KIND_LISTING_CHUNK;
    } else if (entry.has_image) {
      entry.kind = CATALOG_IMAGE;
      chunk_kind = CAIRN_KIND_MIP_TAIL_CHUNK;
    }
    cairn_lookup_t chunk = cairn_v2_find_record(metadata, words, stored, chunk_kind, &position);
    if (chunk == CAIRN_RECORD_FOUND) {
      entry.has_chunk = true;
      fs_chunk_from_archive_words(metadata + position, &entry.chunk);
    }
    entry.records_malformed = image == CAIRN_RECORD_MALFORMED || chunk == CAIRN_RECORD_MALFORMED;
    check_v2_records(metadata, words, stored, entry);
  }
}

u64 archive_catalog_t::find(const char* device_path) const {
  if (v1_) {
    const cairn_entry_t* entry = v1_->find_entry(device_path);
    return entry ? (u64)(entry - v1_->entries().data()) : CATALOG_NO_ENTRY;
  }
  const cairn_v2_entry_t* entry = v2_ ? v2_->find_entry(device_path) : nullptr;
  return entry ? (u64)(entry - v2_->entries().data()) : CATALOG_NO_ENTRY;
}

bool archive_catalog_t::visit(u64 index, const char* device_path) {
  if (visited_[index]) return false;
  visited_[index] = 1;
  if (entries_[index].path.empty()) entries_[index].path.assign(device_path);
  return true;
}

void archive_catalog_t::describe(u64 index, string& out) const {
  out.clear();
  const catalog_entry_t& entry = entries_[index];
  if (entry.path.empty()) {
    out.format("entry %016" PRIx64, entry.hash);
  } else {
    append_escaped_for_display(out, entry.path.c_str(), entry.path.length());
  }
}

bool archive_catalog_t::read_chunk(const fs_chunk_t& chunk, const char* label, array_dyn_t<u8>& out,
                                   string& problem) {
  out.clear();
  // Checked before anything is allocated for the content.
  if (!cairn_check_chunk(chunk, archive_size(), problem)) return false;
  if (!out.resize_uninitialized(chunk.size)) {
    problem.format("no memory for its %" PRIu64 " bytes", chunk.size);
    return false;
  }
  fs_io_request_t* request = device_->read_chunk(out.data(), FS_CHUNK_TARGET_MEMORY, label, chunk, problem);
  if (!request) return false;
  if (!device_->io_wait(request)) {
    problem.format("its %s data does not decode to %" PRIu64 " bytes", catalog_compression_name(chunk.compression),
                   chunk.size);
    return false;
  }
  return true;
}

bool archive_catalog_t::read_listing(u64 index, fs_dir_list_t& children, string& problem) {
  const catalog_entry_t& entry = entries_[index];
  if (entry.records_malformed) {
    problem.assign("its records lie outside the metadata table");
    return false;
  }
  if (!entry.has_chunk) {
    problem.assign("it has no listing");
    return false;
  }
  array_dyn_t<u8> bytes;
  if (!read_chunk(entry.chunk, entry.path.c_str(), bytes, problem)) return false;
  return parse_listing(bytes.data(), bytes.count(), children, problem);
}

bool archive_catalog_t::parse_listing(const u8* bytes, u64 size, fs_dir_list_t& children, string& problem) const {
  if (v1_) {
    if (!cairn_v1_parse_listing(reinterpret_cast<const char*>(bytes), size, children)) {
      problem.assign("the listing holds a zero byte");
      return false;
    }
    return true;
  }
  array_dyn_t<cairn_listing_child_t> decoded;
  if (!cairn_decode_listing(bytes, size, decoded)) {
    problem.assign("the listing is malformed");
    return false;
  }
  path_string_t name;
  for (const cairn_listing_child_t& child : decoded) {
    name.assign(child.name, child.length);
    if (!children.add(name.c_str(), child.is_directory ? FS_KIND_DIRECTORY : FS_KIND_FILE)) {
      problem.assign("no memory for its names");
      return false;
    }
  }
  return true;
}

void archive_catalog_t::walk(const char* start, bool listed, catalog_visitor_t& visitor) {
  UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "walk %s", start);
  mstring_t line, shown;
  u64 first = find(start);
  if (first == CATALOG_NO_ENTRY || entries_[first].kind != CATALOG_DIRECTORY) {
    shown_path(shown, start);
    line.format(first == CATALOG_NO_ENTRY ? "Directory '%s' has no entry" : "'%s' is not a directory", shown.c_str());
    visitor.on_problem(line.c_str());
    return;
  }
  if (visited_[first]) return;
  array_dyn_t<u64> queue;
  visited_[first] = 1;
  if (entries_[first].path.empty()) entries_[first].path.assign(start);
  entries_[first].listed = listed;
  visitor.on_entry(first);
  queue.append(first);
  mstring_t child_path;
  for (u64 head = 0; head < queue.count(); ++head) {
    const u64 directory = queue[head];
    // A copy: naming children below does not move it, but the reads in between are long.
    mstring_t directory_path(entries_[directory].path.c_str());
    fs_dir_list_t children;
    path_string_t problem;
    if (!read_listing(directory, children, problem)) {
      shown_path(shown, directory_path.c_str());
      line.format("Unable to read content of directory '%s': %s", shown.c_str(), problem.c_str());
      visitor.on_problem(line.c_str());
      continue;
    }
    for (u64 i = 0; i < children.count(); ++i) {
      const fs_dir_entry_t& child = children[i];
      path_join(child_path, directory_path.c_str(), child.name.c_str());  // as the extraction's walk joins it
      shown_path(shown, child_path.c_str());
      const bool listed_as_directory = child.kind == FS_KIND_DIRECTORY;
      if (child.name.empty()) {
        shown_path(shown, directory_path.c_str());
        line.format("Directory '%s' lists an entry with an empty name", shown.c_str());
        visitor.on_problem(line.c_str());
        continue;
      }
      u64 index = find(child_path.c_str());
      if (index == CATALOG_NO_ENTRY) {
        line.format("'%s' is listed but has no entry", shown.c_str());
        visitor.on_problem(line.c_str());
        continue;
      }
      catalog_entry_t& entry = entries_[index];
      if (listed_as_directory != (entry.kind == CATALOG_DIRECTORY)) {
        line.format("'%s' is listed as a %s but its entry is a %s", shown.c_str(),
                    listed_as_directory ? "directory" : "file", catalog_kind_name(entry.kind));
        visitor.on_problem(line.c_str());
        continue;
      }
      if (visited_[index]) {
        // A listing loop, or two paths that share their hashed form.
        mstring_t before;
        describe(index, before);
        line.format("'%s' leads to the entry of '%s' again", shown.c_str(), before.c_str());
        visitor.on_problem(line.c_str());
        continue;
      }
      visited_[index] = 1;
      if (entry.path.empty()) entry.path.assign(child_path);
      entry.listed = listed;
      visitor.on_entry(index);
      if (listed_as_directory && !queue.append(index)) {
        visitor.on_problem("Out of memory while walking the archive");
        return;
      }
    }
  }
}

}  // namespace umbra
