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

// Reads the data of every entry in archive order (sequential on disk), several chunks
// in flight, and reports each that does not decode to its size.
class data_checker_t {
 public:
  data_checker_t(archive_catalog_t& catalog, verify_report_t& report) : catalog_(catalog), report_(report) {}

  void run(const array_t<u64>& order) {
    UMBRA_PROFILE_SCOPE(packer_profiler_id, "check data");
    for (u64 index : order) {
      while (!reads_.empty() && (bytes_in_flight_ >= READ_BUDGET || reads_.count() - oldest_ >= MAX_READS_IN_FLIGHT))
        finish_oldest();
      start(index);
    }
    while (oldest_ < reads_.count()) finish_oldest();
  }

 private:
  struct read_t {
    u64 index = 0;
    array_dyn_t<u8> data;
    fs_io_request_t* request = nullptr;
  };

  void start(u64 index) {
    const catalog_entry_t& entry = catalog_[index];
    path_string_t problem;
    if (!cairn_check_chunk(entry.chunk, catalog_.archive_size(), problem)) return report(index, problem.c_str());
    // Nothing stored, nothing to decode: no read for it (a hostile table can hold
    // millions of such entries).
    if (entry.chunk.compression == FS_COMPRESSION_NONE && entry.chunk.size == 0) return;
    auto_ptr_t<read_t> read(new read_t());
    read->index = index;
    if (!read->data.resize_uninitialized(entry.chunk.size)) return report(index, "no memory for its data");
    read->request = catalog_.device()->read_chunk(read->data.data(), FS_CHUNK_TARGET_MEMORY, entry.path.c_str(),
                                                  entry.chunk, problem);
    if (!read->request) return report(index, problem.c_str());
    bytes_in_flight_ += entry.chunk.size;
    reads_.append(std::move(read));
  }

  void finish_oldest() {
    auto_ptr_t<read_t> read = std::move(reads_[oldest_++]);
    const catalog_entry_t& entry = catalog_[read->index];
    bytes_in_flight_ -= entry.chunk.size;
    if (!catalog_.device()->io_wait(read->request)) {
      mstring_t problem;
      problem.format("its %s data does not decode to %" PRIu64 " bytes", catalog_compression_name(entry.chunk.compression),
                     entry.chunk.size);
      return report(read->index, problem.c_str());
    }
    if (entry.kind == CATALOG_DIRECTORY && !entry.listed) check_hidden_listing(read->index);
    if (entry.kind == CATALOG_IMAGE) check_image(read->index);
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

  // The walk decoded every listing it reached; a hidden directory's is decoded here.
  void check_hidden_listing(u64 index) {
    fs_dir_list_t children;
    path_string_t problem;
    if (!catalog_.read_listing(index, children, problem)) report(index, problem.c_str());
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
            [&catalog](u64 a, u64 b) { return catalog[a].chunk.offset < catalog[b].chunk.offset; });
  return order;
}

}  // namespace

bool verify_archive(const char* archive_path) {
  UMBRA_PROFILE_SCOPE_FORMAT(packer_profiler_id, "verify %s", archive_path);
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
