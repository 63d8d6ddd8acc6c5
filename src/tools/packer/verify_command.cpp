// The verify command: everything a careful reader can check without writing a byte.
// The entry table is in hash order; the listings from the root decode and name entries
// of the kind they say, each reached once; every name can be extracted; and every
// entry of the table, hidden ones included, has the data its kind needs, inside the
// archive, decoding to exactly its size, with image layouts that fit their data. One
// error line per problem, then a summary; the exit code tells whether there was any.
#include <algorithm>
#include <cinttypes>

#include "tools/packer/archive_catalog.h"
#include "tools/packer/commands.h"
#include "tools/packer/packer_profiling.h"
#include "tools/packer/extracted_path.h"
#include "tools/packer/image_rebuild.h"
#include "umbracore/log/log.h"
#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/cairn_v1_device.h"
#include "umbracore/ufs/cairn_v2_device.h"
#include "umbracore/ufs/fs_io_server_core.h"

namespace umbra {

namespace {

// A hostile archive can hold millions of problems; the count stays exact, the lines stop.
constexpr u64 MAX_PROBLEM_LINES = 1000;
// Decoded data in flight: the IO server decodes the next chunks while the oldest is
// checked, within this much memory (and one chunk of any size).
constexpr u64 READ_BUDGET = 64ull << 20;
constexpr u64 MAX_READS_IN_FLIGHT = 64;

class verify_report_t : public catalog_visitor_t {
 public:
  void on_entry(u64) override {}
  void on_problem(const char* text) override {
    if (++problems_ <= MAX_PROBLEM_LINES) log_error("%s", text);
  }
  void problem(const char* format, ...) UMBRA_PRINTF(2, 3) {
    va_list args;
    va_start(args, format);
    mstring_t text;
    text.vformat(format, args);
    va_end(args);
    on_problem(text.c_str());
  }
  u64 problems() const { return problems_; }

 private:
  u64 problems_ = 0;
};

template <class entry_t>
void check_hash_order(const array_t<entry_t>& entries, verify_report_t& report) {
  for (u64 i = 1; i < entries.count(); ++i) {
    if (entries[i].hash > entries[i - 1].hash) continue;
    report.problem("Entry table is not in ascending hash order at entry %" PRIu64 " (%016" PRIx64
                   "): lookups miss entries",
                   i, entries[i].hash);
  }
}

void check_names(const archive_catalog_t& catalog, verify_report_t& report) {
  mstring_t shown;
  for (u64 i = 0; i < catalog.count(); ++i) {
    const catalog_entry_t& entry = catalog[i];
    if (entry.path.empty() || (entry.kind == CATALOG_DIRECTORY && entry.path.equals("/"))) continue;
    const char* reason = extracted_path_refusal(entry.path);
    if (!reason) continue;
    catalog.describe(i, shown);
    report.problem("'%s' cannot be extracted: %s", shown.c_str(), reason);
  }
}

// What an entry's records must give before its data can be read.
bool entry_records_sound(const catalog_entry_t& entry, string& problem) {
  if (entry.records_malformed) {
    problem.assign("its records lie outside the metadata table");
    return false;
  }
  if (entry.records_overflow) {
    problem.assign("it holds more records than a metadata set");
    return false;
  }
  if (!entry.has_chunk) {
    problem.assign(entry.kind == CATALOG_DIRECTORY ? "it has no listing" : "it has no data chunk");
    return false;
  }
  return true;
}

// The chunk fields that decide what a read gives.
bool same_chunk(const fs_chunk_t& a, const fs_chunk_t& b) {
  return a.offset == b.offset && a.stored_size == b.stored_size && a.size == b.size &&
         a.compression == b.compression && a.aux_size == b.aux_size && a.payload_offset == b.payload_offset;
}

bool chunk_before(const fs_chunk_t& a, const fs_chunk_t& b) {
  if (a.offset != b.offset) return a.offset < b.offset;
  if (a.stored_size != b.stored_size) return a.stored_size < b.stored_size;
  if (a.size != b.size) return a.size < b.size;
  if (a.compression != b.compression) return a.compression < b.compression;
  if (a.aux_size != b.aux_size) return a.aux_size < b.aux_size;
  return a.payload_offset < b.payload_offset;
}

// Reads the data of every entry in archive order (sequential on disk), several chunks
// in flight, and reports each that does not decode to its size. Entries whose records
// name one chunk (create -dedupe writes them, and a hostile table can name one large
// chunk a million times) come next to each other in that order and share one read.
class data_checker_t {
 public:
  data_checker_t(archive_catalog_t& catalog, verify_report_t& report) : catalog_(catalog), report_(report) {}

  void run(const array_t<u64>& order) {
    UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "check data");
    read_t* last = nullptr;  // the latest read started; it is finished only below
    for (u64 index : order) {
      if (last && same_chunk(catalog_[last->index].chunk, catalog_[index].chunk) && last->sharers.append(index))
        continue;
      while (!reads_.empty() && (bytes_in_flight_ >= READ_BUDGET || reads_.count() - oldest_ >= MAX_READS_IN_FLIGHT))
        finish_oldest();
      last = start(index);
    }
    while (oldest_ < reads_.count()) finish_oldest();
  }

 private:
  struct read_t {
    u64 index = 0;
    array_dyn_t<u64> sharers;  // later entries naming the same chunk
    array_dyn_t<u8> data;
    fs_io_request_t* request = nullptr;
  };

  // The read started for the entry, or null when it needs none or could not have one.
  read_t* start(u64 index) {
    const catalog_entry_t& entry = catalog_[index];
    path_string_t problem;
    if (!cairn_check_chunk(entry.chunk, catalog_.archive_size(), problem)) {
      report(index, problem.c_str());
      return nullptr;
    }
    // Nothing stored, nothing to decode: no read for it (a hostile table can hold
    // millions of such entries).
    if (entry.chunk.compression == FS_COMPRESSION_NONE && entry.chunk.size == 0) return nullptr;
    auto_ptr_t<read_t> read(new read_t());
    read->index = index;
    if (!read->data.resize_uninitialized(entry.chunk.size)) {
      report(index, "no memory for its data");
      return nullptr;
    }
    read->request = catalog_.device()->read_chunk(read->data.data(), FS_CHUNK_TARGET_MEMORY, entry.path.c_str(),
                                                  entry.chunk, problem);
    if (!read->request) {
      report(index, problem.c_str());
      return nullptr;
    }
    bytes_in_flight_ += entry.chunk.size;
    read_t* started = read.get();
    reads_.append(std::move(read));
    return started;
  }

  void finish_oldest() {
    auto_ptr_t<read_t> read = std::move(reads_[oldest_++]);
    const catalog_entry_t& entry = catalog_[read->index];
    bytes_in_flight_ -= entry.chunk.size;
    const bool decoded = catalog_.device()->io_wait(read->request);
    mstring_t problem;
    if (!decoded)
      problem.format("its %s data does not decode to %" PRIu64 " bytes", catalog_compression_name(entry.chunk.compression),
                     entry.chunk.size);
    listing_checked_ = false;
    check_decoded(*read, read->index, decoded ? nullptr : problem.c_str());
    for (u64 sharer : read->sharers) check_decoded(*read, sharer, decoded ? nullptr : problem.c_str());
  }

  void check_decoded(const read_t& read, u64 index, const char* decode_problem) {
    if (decode_problem) return report(index, decode_problem);
    const catalog_entry_t& entry = catalog_[index];
    if (entry.kind == CATALOG_DIRECTORY && !entry.listed) check_hidden_listing(read, index);
    if (entry.kind == CATALOG_IMAGE) check_image(index);
  }

  // The image record must describe levels its decoded data holds, exactly as the
  // extraction's rebuild checks it (bytes past the levels it only warns about).
  void check_image(u64 index) {
    const catalog_entry_t& entry = catalog_[index];
    mstring_t problem, line;
    u64 levels_size = 0;
    if (image_record_problem(entry.image, entry.chunk.size, problem, &levels_size)) {
      line.format("its image cannot be rebuilt: %s", problem.c_str());
      return report(index, line.c_str());
    }
    if (levels_size < entry.chunk.size) {
      mstring_t shown;
      catalog_.describe(index, shown);
      log_warning("'%s': its image holds %" PRIu64 " bytes past its levels, which extraction drops", shown.c_str(),
                  entry.chunk.size - levels_size);
    }
  }

  // The walk decoded every listing it reached; a hidden directory's is decoded here,
  // from the bytes just read, once for all the entries that share them.
  void check_hidden_listing(const read_t& read, u64 index) {
    if (!listing_checked_) {
      fs_dir_list_t children;
      listing_problem_.clear();
      listing_sound_ = catalog_.parse_listing(read.data.data(), read.data.count(), children, listing_problem_);
      listing_checked_ = true;
    }
    if (!listing_sound_) report(index, listing_problem_.c_str());
  }

  void report(u64 index, const char* problem) {
    mstring_t shown;
    catalog_.describe(index, shown);
    report_.problem("'%s': %s", shown.c_str(), problem);
  }

  archive_catalog_t& catalog_;
  verify_report_t& report_;
  array_dyn_t<auto_ptr_t<read_t>> reads_;
  u64 oldest_ = 0;
  u64 bytes_in_flight_ = 0;
  // The verdict on the listing in the read being finished.
  bool listing_checked_ = false;
  bool listing_sound_ = false;
  path_string_t listing_problem_;
};

// The entries whose data is still to be read, in the order of their data in the
// archive; those whose records already tell that it cannot be are reported here.
array_dyn_t<u64> readable_entries(const archive_catalog_t& catalog, verify_report_t& report) {
  array_dyn_t<u64> order;
  order.request_capacity(catalog.count());
  mstring_t shown;
  path_string_t problem;
  for (u64 i = 0; i < catalog.count(); ++i) {
    // The walk has read and decoded the listings it reached, or said why it could not.
    if (catalog[i].kind == CATALOG_DIRECTORY && catalog[i].listed) continue;
    if (entry_records_sound(catalog[i], problem)) {
      order.append(i);
      continue;
    }
    catalog.describe(i, shown);
    report.problem("'%s': %s", shown.c_str(), problem.c_str());
  }
  std::sort(order.begin(), order.end(),
            [&catalog](u64 a, u64 b) { return chunk_before(catalog[a].chunk, catalog[b].chunk); });
  return order;
}

}  // namespace

bool verify_archive(const char* archive_path) {
  UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "verify %s", archive_path);
  cairn_device_log_t::set_info_shown(false);
  archive_catalog_t catalog;
  if (!catalog.open(archive_path)) return false;
  verify_report_t report;
  if (catalog.v2()) {
    check_hash_order(catalog.v2()->entries(), report);
  } else {
    check_hash_order(catalog.v1()->entries(), report);
  }
  catalog.walk("/", true, report);
  check_names(catalog, report);
  array_dyn_t<u64> order = readable_entries(catalog, report);
  data_checker_t data(catalog, report);
  data.run(order);
  if (report.problems() > MAX_PROBLEM_LINES)
    log_error("%" PRIu64 " more problems are not shown", report.problems() - MAX_PROBLEM_LINES);
  if (report.problems() == 0) {
    // Every chunk decoded, the listings in the walk and the rest here.
    u64 content = 0;
    for (u64 i = 0; i < catalog.count(); ++i) content += catalog[i].chunk.size;
    log_info("Verified %" PRIu64 " entries with %" PRIu64 " bytes of content: no problems found", catalog.count(),
             content);
    return true;
  }
  log_info("Verified %" PRIu64 " entries: %" PRIu64 " problem%s found", catalog.count(), report.problems(),
           report.problems() == 1 ? "" : "s");
  return false;
}

}  // namespace umbra
