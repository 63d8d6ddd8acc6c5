#include "tools/packer/archive_writer.h"

#include <algorithm>
#include <cinttypes>

#include "tools/packer/commands.h"
#include "tools/packer/entry_task.h"
#include "tools/packer/packer_common.h"
#include "tools/packer/packer_options.h"
#include "tools/packer/packer_profiling.h"
#include "tools/packer/pooled_bytes.h"
#include "tools/packer/source_prefetch.h"
#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/mem.h"
#include "umbracore/platform/platform_path.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/sysfs_atomic_file.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace umbra {

namespace {

void cancel_and_collect(array_dyn_t<auto_ptr_t<entry_task_t>>& tasks, u64 from) {
  for (u64 i = from; i < tasks.count(); ++i) thread::cancel(tasks[i].get());
  for (u64 i = from; i < tasks.count(); ++i) thread::wait(tasks[i].get());
}

// Blocks are placed in entry order whatever order the tasks run in. Starting the largest
// files first keeps both workers busy to the end instead of leaving one big file running
// alone; the head start is capped so their finished blocks do not pile up in memory.
constexpr u64 HEAD_START_MIN_SIZE = 1 << 20;
constexpr u64 HEAD_START_BUDGET = 128ull << 20;

// The order tasks are submitted in: the largest files first, then every entry in order.
array_dyn_t<u64> submission_order(const path_entries_t& entries) {
  array_dyn_t<u64> large;
  for (u64 i = 0; i < entries.count(); ++i)
    if (entries[i].size >= HEAD_START_MIN_SIZE) large.append(i);
  std::sort(large.begin(), large.end(), [&entries](u64 a, u64 b) { return entries[a].size > entries[b].size; });
  array_dyn_t<u64> order;
  order.request_capacity(entries.count());
  array_dyn_t<u8> placed;
  placed.resize(entries.count());
  u64 budget = HEAD_START_BUDGET;
  for (u64 index : large) {
    if (entries[index].size > budget) continue;
    budget -= entries[index].size;
    order.append(index);
    placed[index] = 1;
  }
  for (u64 i = 0; i < entries.count(); ++i)
    if (!placed[i]) order.append(i);
  return order;
}

// Files far ahead of the tasks would only push each other out of the system's cache.
constexpr u64 PREFETCH_WINDOW = 64ull << 20;

void start_prefetch(source_prefetcher_t& prefetcher, const path_entries_t& entries, const array_dyn_t<u64>& order) {
  array_dyn_t<source_prefetcher_t::item_t> items;
  items.request_capacity(order.count());
  for (u64 index : order)
    if (!entries[index].is_directory) items.append({entries[index].path.c_str(), entries[index].size});
  prefetcher.start(std::move(items));
}

// Places the task's block, or with sharing on points its records at an equal block
// placed before.
bool merge_task(entry_task_t& task, archive_output_t& output, cairn_v2_entry_t& record, array_dyn_t<u32>& metadata,
                block_dedupe_t* dedupe) {
  if (!dedupe || task.entry().is_directory) return task.merge(output, record, metadata);
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "merge");
  u64 block = 0;
  if (dedupe->find(output, task.output(), task.block_key(), &block)) return task.merge_records(block, record, metadata);
  const u64 size = task.output()->get_size();
  if (!task.place(output, &block)) return false;
  dedupe->remember(task.block_key(), block, size);
  return task.merge_records(block, record, metadata);
}

bool write_header(file_t* archive, const cairn_v2_header_t& header) {
  u8 bytes[CAIRN_V2_HEADER_SIZE];
  cairn_v2_encode_header(header, bytes);
  return archive->write_at(bytes, sizeof bytes, 0);
}

bool prepare_entries(archive_build_t& build, const char* root) {
  if (!read_lists(build.lists, root)) return false;
  if (!build_path_entries(build.entries, build.lists, root)) {
    log_error("Unable to build path entries!");
    return false;
  }
  sort_path_entries(build.entries);
  if (!build_entry_table(build.entries, build.table, build.listings)) return false;
  build.header.entry_count = (u32)build.table.count();
  return check_collisions(build.table);
}

bool write_archive(archive_build_t& build, file_t* archive, const char* root) {
  if (!build_archive(build, archive, root)) {
    log_error("Failed to build archive!");
    return false;
  }
  if (!store_tables(build, archive)) {
    log_error("Failed to store tables!");
    return false;
  }
  if (!write_header(archive, build.header)) {
    log_error("Failed to write the archive header!");
    return false;
  }
  return true;
}

}  // namespace

void exclude_archive_from_scan(source_lists_t& lists, const char* archive_path, const char* root) {
  mstring_t canonical_root, canonical_archive;
  if (!platform::canonical_path(root && *root ? root : ".", canonical_root)) return;
  if (!platform::canonical_path(archive_path, canonical_archive)) return;
  if (!canonical_root.ends_with("/")) canonical_root.append("/");
  if (!canonical_archive.starts_with(canonical_root.c_str())) return;
  const char* relative = canonical_archive.c_str() + canonical_root.length();
  path_string_t excluded;
  if (excluded.assign(relative)) lists.excluded.append(excluded);
  if (excluded.format("%s.atomic", relative)) lists.excluded.append(excluded);
}

bool build_archive(archive_build_t& build, file_t* archive, const char* root) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "build archive");
  archive->set_position(CAIRN_V2_DATA_OFFSET);
  // Declared before the tasks, so that it outlives every task that reports to it.
  source_prefetcher_t prefetcher(root, PREFETCH_WINDOW, platform::prefetch_file);
  array_dyn_t<auto_ptr_t<entry_task_t>> tasks;
  if (!tasks.request_capacity(build.entries.count())) {
    log_error("Out of memory while creating tasks!");
    return false;
  }
  for (const path_entry_v2_t& entry : build.entries) {
    tasks.append(auto_ptr_t<entry_task_t>(create_entry_task(entry, root, &build.listings)));
    tasks.last()->set_prefetcher(&prefetcher);
    tasks.last()->set_progress(build.progress);
    tasks.last()->set_keys_block(build.dedupe && !entry.is_directory);
  }
  array_dyn_t<u64> order = submission_order(build.entries);
  start_prefetch(prefetcher, build.entries, order);
  for (u64 index : order) thread::submit_normal(tasks[index].get());
  archive_output_t output(archive, build.read_back);
  block_dedupe_t dedupe;
  for (u64 i = 0; i < tasks.count(); ++i) {
    entry_task_t* task = tasks[i].get();
    UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "entry /%s", task->entry().path.c_str());
    thread::wait(task);
    cairn_v2_entry_t& record = build.table[task->entry().entry_index];
    if (task->has_failed() || !merge_task(*task, output, record, build.metadata, build.dedupe ? &dedupe : nullptr)) {
      cancel_and_collect(tasks, i + 1);
      return false;
    }
    tasks[i].reset();
  }
  // Every block is placed: the runs kept for the next sources are of no further use.
  pooled_bytes_trim();
  build.shared_entries = dedupe.shared_entries();
  build.saved_bytes = dedupe.saved_bytes();
  if (!output.flush()) {
    log_error("Failed to write the archive's data!");
    return false;
  }
  return true;
}

bool store_table(file_t* archive, const array_t<u8>& raw, const char* compress_error, u32* stored_size) {
  // A table is a zlib stream even where that is longer than the table. Readers take a
  // stored size equal to the raw size for a raw table, so a stream of exactly that
  // length gives way to the raw table.
  array_dyn_t<u8> stream;
  if (zlib_compress_buffer(raw.data(), raw.count(), false, stream) != ZLIB_COMPRESS_MADE) {
    log_error("%s", compress_error);
    return false;
  }
  const array_t<u8>& stored = stream.count() == raw.count() ? raw : stream;
  *stored_size = (u32)stored.count();
  return archive->write(stored.data(), stored.count());
}

bool store_tables(archive_build_t& build, file_t* archive) {
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "store tables");
  array_dyn_t<u8> raw;
  if (!cairn_v2_encode_entry_table(build.table.data(), build.table.count(), raw)) {
    log_error("Error writing entry table");
    return false;
  }
  archive->set_position(align_up(archive->get_position(), CAIRN_V2_BLOCK_ALIGNMENT));
  build.header.entry_table_offset = archive->get_position();
  build.header.entry_count = (u32)build.table.count();
  if (!store_table(archive, raw, "Error compressing entry table", &build.header.entry_table_size)) return false;
  raw.clear();
  if (!cairn_v2_encode_metadata_table(build.metadata.data(), build.metadata.count(), raw)) {
    log_error("Error writing metadata table");
    return false;
  }
  archive->set_position(align_up(archive->get_position(), CAIRN_V2_BLOCK_ALIGNMENT));
  build.header.metadata_table_offset = archive->get_position();
  build.header.metadata_count = (u32)build.metadata.count();
  return store_table(archive, raw, "Error compressing metadata table", &build.header.metadata_table_size);
}

namespace {

struct create_totals_t {
  u64 files = 0;
  u64 directories = 0;
  u64 bytes = 0;
};

create_totals_t count_entries(const path_entries_t& entries) {
  create_totals_t totals;
  for (const path_entry_v2_t& entry : entries) {
    if (entry.is_directory) {
      ++totals.directories;
    } else {
      ++totals.files;
      totals.bytes += entry.size;
    }
  }
  return totals;
}

// The closing line of a run that showed progress: what went in, what came out, how long
// it took, what the scan left out and, with -dedupe, what sharing saved.
void report_created(const archive_build_t& build, const create_totals_t& totals, u64 archive_size, u64 elapsed_us) {
  // What went in: the files and the images their descriptors named.
  const u64 read = totals.bytes + build.progress->other_bytes();
  mstring_t in, out;
  format_byte_size(in, read);
  format_byte_size(out, archive_size);
  mstring_t ratio;
  if (read == 0) {
    ratio.assign("-");
  } else {
    ratio.format("%.1f%%", 100.0 * (double)archive_size / (double)read);
  }
  mstring_t shared;
  if (build.dedupe) {
    mstring_t saved;
    format_byte_size(saved, build.saved_bytes);
    shared.format("; %" PRIu64 " %s the block of an equal file (%s saved)", build.shared_entries,
                  build.shared_entries == 1 ? "file shares" : "files share", saved.c_str());
  }
  log_info("Packed %" PRIu64 " entries (%" PRIu64 " files, %" PRIu64 " directories), %s in, %s out (%s), %.1f s; "
           "%" PRIu64 " names skipped ('.' or '@' first, .dds)%s",
           totals.files + totals.directories, totals.files, totals.directories, in.c_str(), out.c_str(), ratio.c_str(),
           (double)elapsed_us / 1e6, build.lists.skipped_names, shared.c_str());
}

}  // namespace

bool create(const char* archive_path, const char* root) {
  UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "create %s", archive_path);
  const u64 started_us = progress_clock_us();
  if (!read_compression_level()) return false;
  archive_build_t build;
  build.dedupe = cdl_param("-dedupe") != CDL_NOT_FOUND;
  cairn_v2_header_init(&build.header, (u8)platform_type);
  exclude_archive_from_scan(build.lists, archive_path, root);
  if (!prepare_entries(build, root)) return false;
  // The new archive is written next to the old one and replaces it only once complete,
  // so a failed run leaves the old archive as it was and no partial file behind.
  auto_ptr_t<file_t> archive;
  if (!fs_open(archive, archive_path, FS_MODE_ATOMIC, FS_DEVICE_SYSFS)) {
    log_error("Failed to create archive!");
    return false;
  }
  // The atomic file refuses reads; what sharing compares is read from its temporary.
  if (auto* atomic = dynamic_cast<sysfs_atomic_file_t*>(archive.get())) build.read_back = atomic->written_file();
  const create_totals_t totals = count_entries(build.entries);
  progress_t progress;
  build.progress = &progress;
  progress.start("Packing", totals.files, totals.bytes);
  const bool written = write_archive(build, archive.get(), root);
  progress.stop();
  if (!written) {
    archive->cancel_atomic();
    return false;
  }
  // The size is for the closing line; a file system that cannot stat the file it has
  // just written is not trusted with the archive either.
  u64 archive_size = 0;
  if (!archive->find_size(&archive_size)) {
    archive->cancel_atomic();
    log_error("Failed to create archive!");
    return false;
  }
  if (!archive->commit_atomic()) {
    log_error("Failed to create archive!");
    return false;
  }
  if (progress_wanted())
    report_created(build, totals, archive_size, progress_clock_us() - started_us);
  return true;
}

}  // namespace umbra
