#include "tools/packer/entry_task.h"

#include <cinttypes>

#include "tools/packer/block_dedupe.h"
#include "tools/packer/packer_common.h"
#include "tools/packer/packer_image.h"
#include "tools/packer/packer_profiling.h"
#include "umbracore/log/log.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace umbra {

entry_task_t::entry_task_t(const path_entry_v2_t& entry, const char* root, listing_registry_t* listings)
    : thread::task_t(1, 1, "compress_task_v2_t"), entry_(entry), root_(root), listings_(listings) {}

entry_task_t::~entry_task_t() = default;

void entry_task_t::execute() {
  UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "%s /%s", kind_name(), entry_.path.c_str());
  if (is_cancelled()) {
    fail();
    return;
  }
  if (!entry_.is_directory) {
    if (prefetcher_) prefetcher_->on_read_started(entry_.size);
    system_path_string_t full;
    if (!join_root(full, root_, entry_.path.c_str()) ||
        !fs_open(source_, full.c_str(), FS_MODE_READ_ONLY, FS_DEVICE_SYSFS)) {
      log_error("Failed to open file (%s)", entry_.path.c_str());
      fail();
      return;
    }
    fs_stat_t st;
    if (!source_->stat(&st)) {
      log_error("Failed to open file (%s)", entry_.path.c_str());
      fail();
      return;
    }
    if (st.size > MAX_SOURCE_FILE_SIZE) {
      log_error("File is bigger than %" PRIu64 " (%s)", (u64)MAX_SOURCE_FILE_SIZE, entry_.path.c_str());
      fail();
      source_.reset();
      return;
    }
    if (!load_source(full.c_str(), st.size)) {
      log_error("Failed to copy file to memory (%s)", entry_.path.c_str());
      fail();
      source_.reset();
      return;
    }
  }
  output_ = mem_file_create();
  encode();
  source_.reset();
  if (keys_block_ && !has_failed()) block_key_ = block_dedupe_key(output_.get());
  if (progress_ && !entry_.is_directory) progress_->add(1, entry_.size, other_bytes_read());
}

bool entry_task_t::load_source(const char* full_path, u64 size) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "read");
  if (!source_bytes_.resize_uninitialized(size)) return false;
  // A file that shrinks while it is read fails here; one that grows keeps the size it
  // had when it was stat'ed, which is what its chunk record says.
  if (!source_->read_at(source_bytes_.data(), size, 0)) return false;
  source_ = mem_file_create_read_only(source_bytes_.data(), size, full_path);
  return true;
}

void entry_task_t::add_chunk_record(u32 kind, u64 stored_size, u64 size, u32 compression, u32 attribute,
                                    u64 offset, u32 aux) {
  u32 words[4] = {compression << 28 | (u32)stored_size, attribute << 28 | (u32)size, aux, (u32)(offset / 16)};
  add_record(kind, words, 4);
}

void entry_task_t::add_record(u32 kind, const u32* words, u32 count) {
  index_words_.append(kind << 24 | (u32)record_words_.count());
  record_words_.append_block(words, count);
}

void entry_task_t::encode_plain_chunk(bool allow_compression) {
  const u64 size = source_bytes_.count();
  fs_compression_t compression = allow_compression
                                     ? platform_compress_buffer(source_bytes_.data(), size, source_.get(), block_bytes_)
                                     : FS_COMPRESSION_NONE;
  if (compression != FS_COMPRESSION_NONE) {
    // The source's run goes back to the pool for the next file at once, and the stream
    // gives up the room it did not use while it waits for its turn to be placed.
    source_bytes_.release_storage();
    block_bytes_.compact();
    set_block_from_bytes();
  } else {
    // Stored as it is: the source in memory is the block (the task keeps its bytes).
    source_->set_position(0);
    output_ = std::move(source_);
  }
  add_chunk_record(CAIRN_KIND_PLAIN_CHUNK, output_->get_size(), size, compression, 0, 0, 0);
}

void entry_task_t::set_block_from_bytes() {
  output_ = mem_file_create_read_only(block_bytes_.data(), block_bytes_.count(), "<block>");
}

namespace {

// Relocates a chunk record placed at block_offset; false when the archive has grown
// beyond what offset16 can address.
bool relocate_record(array_dyn_t<u32>& words, u32 position, u64 block_offset) {
  if ((u64)position + CAIRN_CHUNK_RECORD_WORDS > words.count()) return false;
  return cairn_relocate_chunk_record(words.data() + position, block_offset);
}

}  // namespace

bool entry_task_t::merge(archive_output_t& archive, cairn_v2_entry_t& record, array_dyn_t<u32>& metadata) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "merge");
  u64 block = 0;
  return place(archive, &block) && merge_records(block, record, metadata);
}

bool entry_task_t::place(archive_output_t& archive, u64* block) {
  if (!archive.align16()) {
    log_error("Failed to copy file from memory to destination (%s)", entry_.path.c_str());
    return false;
  }
  *block = archive.position();
  if (!archive.append_file(output_.get())) {
    log_error("Failed to copy file from memory to destination (%s)", entry_.path.c_str());
    return false;
  }
  return true;
}

bool entry_task_t::merge_records(u64 block, cairn_v2_entry_t& record, array_dyn_t<u32>& metadata) {
  u64 first = metadata.count();
  u64 n = index_words_.count();
  u64 records = first + n;
  if (records + record_words_.count() > CAIRN_V2_MAX_METADATA_WORDS) {
    log_error("Metadata table exceeds %" PRIu64 " words at '%s'; the archive cannot hold more entries!",
              (u64)CAIRN_V2_MAX_METADATA_WORDS, entry_.path.c_str());
    return false;
  }
  record.metadata_index = (u32)first;
  record.index_count = (u16)n;
  for (u32 word : index_words_) {
    u32 kind = cairn_index_word_kind(word);
    u32 position = cairn_index_word_position(word);
    if (cairn_kind_is_chunk(kind) && !relocate_record(record_words_, position, block)) {
      log_error("Archive grows beyond 64 GiB at '%s'; its data cannot be addressed!", entry_.path.c_str());
      return false;
    }
    metadata.append((word & 0xFF000000u) | (u32)(records + position));
  }
  if (!metadata.append_block(record_words_.data(), record_words_.count())) {
    log_error("Out of memory while building the metadata table!");
    return false;
  }
  output_.reset();
  return true;
}

namespace {

class plain_task_t : public entry_task_t {
 public:
  using entry_task_t::entry_task_t;
  const char* kind_name() const override { return "plain"; }
  void encode() override { encode_plain_chunk(true); }
};

class stored_task_t : public entry_task_t {
 public:
  using entry_task_t::entry_task_t;
  const char* kind_name() const override { return "stored"; }
  void encode() override { encode_plain_chunk(false); }
};

// Model files: the plain chunk, then a few header values copied into a record.
class model_task_t : public entry_task_t {
 public:
  model_task_t(const path_entry_v2_t& entry, const char* root, listing_registry_t* listings, u32 kind,
               token_t token, u32 words)
      : entry_task_t(entry, root, listings), kind_(kind), token_(token), words_(words) {}
  const char* kind_name() const override { return "model"; }

  void encode() override {
    fs_mstat_t meta;
    if (!fs_meta_build(&meta, *source_, 0, 0)) {
      log_error("Failed to extract meta data from (%s)", entry_.path.c_str());
      fail();
      return;
    }
    source_->set_position(0);
    encode_plain_chunk(true);
    if (has_failed()) return;
    u32 words[8] = {};
    if (fs_meta_get(words, words_, &token_, &meta) != words_) {
      log_error("Failed to extract meta data from (%s)", entry_.path.c_str());
      fail();
      return;
    }
    add_record(kind_, words, words_);
  }

 private:
  u32 kind_;
  token_t token_;
  u32 words_;
};

class directory_task_t : public entry_task_t {
 public:
  using entry_task_t::entry_task_t;
  const char* kind_name() const override { return "directory"; }

  void encode() override {
    directory_listing_t* listing = listings_->find_or_create_listing(entry_.path.c_str());
    if (!listing) {
      log_error("Error writing directory entry to memory proxy (%s)", entry_.path.c_str());
      fail();
      return;
    }
    if (listing->names.count() > CAIRN_V2_MAX_LISTING_CHILDREN) {
      log_error("Limit on number of directory (%u) entries exceeded (%s)", CAIRN_V2_MAX_LISTING_CHILDREN,
                entry_.path.c_str());
      fail();
      return;
    }
    array_dyn_t<u8> listing_bytes;
    if (!cairn_encode_listing(listing->names, listing_bytes)) {
      log_error("Error writing directory entry sizes to memory proxy (%s)", entry_.path.c_str());
      fail();
      return;
    }
    if (!output_->write(listing_bytes.data(), listing_bytes.count())) {
      log_error("Error writing directory entry to memory proxy (%s)", entry_.path.c_str());
      fail();
      return;
    }
    u64 size = output_->get_size();
    fs_compression_t compression =
        platform_compress_buffer(listing_bytes.data(), listing_bytes.count(), output_.get(), block_bytes_);
    if (compression != FS_COMPRESSION_NONE) set_block_from_bytes();
    add_chunk_record(CAIRN_KIND_LISTING_CHUNK, output_->get_size(), size, compression, 0, 0, 0);
  }
};

}  // namespace

entry_task_t* create_entry_task(const path_entry_v2_t& entry, const char* root, listing_registry_t* listings) {
  if (entry.is_directory) return new directory_task_t(entry, root, listings);
  if (entry.path.ends_with(".tobj")) return encode_image_entry(entry, root, listings);
  if (entry.path.ends_with(".uma")) return new model_task_t(entry, root, listings, CAIRN_KIND_UMA, FS_TOKEN_UMA, 8);
  if (entry.path.ends_with(".umg")) return new model_task_t(entry, root, listings, CAIRN_KIND_UMG, FS_TOKEN_UMG, 2);
  if (entry.path.ends_with(".bank")) return new stored_task_t(entry, root, listings);
  return new plain_task_t(entry, root, listings);
}

}  // namespace umbra
