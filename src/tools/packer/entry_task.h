// One task per path entry: a worker builds the entry's data block in a memory file with
// its metadata records (chunk offsets relative to the block); the main thread merges the
// finished tasks strictly in entry order, so the layout never depends on scheduling.
#pragma once

#include "tools/packer/archive_output.h"
#include "tools/packer/entry_table.h"
#include "tools/packer/path_entries.h"
#include "tools/packer/pooled_bytes.h"
#include "tools/packer/progress.h"
#include "tools/packer/source_prefetch.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

// The largest source file the writer accepts (0xC800000).
constexpr u64 MAX_SOURCE_FILE_SIZE = 209715200;

class entry_task_t : public thread::task_t {
 public:
  entry_task_t(const path_entry_v2_t& entry, const char* root, listing_registry_t* listings);
  ~entry_task_t() override;

  // Worker thread: opens the source, then the kind's encode.
  void execute() override;
  // What the task makes of its entry ("plain", "directory", ...), as traces show it.
  virtual const char* kind_name() const { return "entry"; }
  // Bytes read from files other than the entry's own (the images a descriptor names).
  virtual u64 other_bytes_read() const { return 0; }
  // Main thread: places the block at the archive's next 16-byte boundary and appends the
  // entry's index and record words to the metadata table.
  bool merge(archive_output_t& archive, cairn_v2_entry_t& record, array_dyn_t<u32>& metadata);
  // The two halves of merge: placing the block (its start in *block), and the records
  // with their chunks relocated to a block start, which may be that of an equal block
  // placed before.
  bool place(archive_output_t& archive, u64* block);
  bool merge_records(u64 block, cairn_v2_entry_t& record, array_dyn_t<u32>& metadata);

  // Told when the task starts reading its source, so that reading ahead keeps pace.
  void set_prefetcher(source_prefetcher_t* prefetcher) { prefetcher_ = prefetcher; }
  // Told of the file once the task has encoded it.
  void set_progress(progress_t* progress) { progress_ = progress; }
  // Asks the worker to key the finished block for sharing (see block_dedupe.h).
  void set_keys_block(bool keys) { keys_block_ = keys; }
  u64 block_key() const { return block_key_; }
  bool has_failed() const { return failed_ != 0; }
  const path_entry_v2_t& entry() const { return entry_; }
  const array_dyn_t<u32>& record_words() const { return record_words_; }
  const array_dyn_t<u32>& index_words() const { return index_words_; }
  file_t* output() const { return output_.get(); }

 protected:
  virtual void encode() = 0;
  void fail() { failed_ = 1; }
  // Appends a four-word chunk record and its index word.
  void add_chunk_record(u32 kind, u64 stored_size, u64 size, u32 compression, u32 attribute, u64 offset, u32 aux);
  // Appends a record of words with its index word.
  void add_record(u32 kind, const u32* words, u32 count);
  // Plain data: compressed when it pays (unless stored), copied into the output, chunk
  // record of kind 128.
  void encode_plain_chunk(bool allow_compression);
  // Reads the whole source with one request and serves it from memory from then on:
  // compression and copying then cost no further trips through the IO pump.
  bool load_source(const char* full_path, u64 size);
  // The block becomes the bytes in block_bytes_ (a compressed stream).
  void set_block_from_bytes();

  const path_entry_v2_t& entry_;
  const char* root_;  // the command line's root: outlives every task
  listing_registry_t* listings_;
  auto_ptr_t<file_t> source_;
  pooled_bytes_t source_bytes_;  // the whole source, read with one request
  pooled_bytes_t block_bytes_;   // the block, when it is a compressed stream
  auto_ptr_t<file_t> output_;
  array_dyn_t<u32> record_words_;
  array_dyn_t<u32> index_words_;
  source_prefetcher_t* prefetcher_ = nullptr;
  progress_t* progress_ = nullptr;
  u64 block_key_ = 0;
  bool keys_block_ = false;
  u8 failed_ = 0;
};

// The task of the entry's kind: directory, image (.tobj), UMA, UMG, stored (.bank) or plain.
entry_task_t* create_entry_task(const path_entry_v2_t& entry, const char* root, listing_registry_t* listings);

}  // namespace umbra
