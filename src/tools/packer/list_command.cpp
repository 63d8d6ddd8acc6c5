// The list command: one line per entry reached from the root, in the order the walk
// reaches them, then a summary; with -json one JSON document instead. Hidden entries
// (in the entry table, in no listing) are counted, and named when a candidate path of
// -list hashes to them.
#include <cinttypes>

#include "tools/packer/archive_catalog.h"
#include "tools/packer/commands.h"
#include "tools/packer/packer_profiling.h"
#include "tools/packer/source_lists.h"
#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/ufs/cairn_device_common.h"

namespace umbra {

namespace {

struct list_totals_t {
  u64 entries = 0;
  u64 by_kind[3] = {};
  u64 size = 0;
  u64 stored = 0;
  u64 hidden = 0;
  u64 hidden_named = 0;
  u64 problems = 0;
};

// Collects the entries in walk order and prints each problem as it is met.
class list_collector_t : public catalog_visitor_t {
 public:
  explicit list_collector_t(list_totals_t& totals) : totals_(totals) {}
  void on_entry(u64 entry_index) override { order.append(entry_index); }
  void on_problem(const char* text) override {
    ++totals_.problems;
    log_error("%s", text);
  }
  array_dyn_t<u64> order;

 private:
  list_totals_t& totals_;
};

// Candidate paths name hidden entries: a hidden directory's listing then names what
// lies below it, which is hidden too.
bool name_hidden_entries(archive_catalog_t& catalog, list_collector_t& collector) {
  path_list_t candidates;
  if (!read_list_option("-list", candidates)) return false;
  mstring_t device_path;
  for (const path_string_t& candidate : candidates) {
    device_path.format("/%s", candidate.c_str());
    u64 index = catalog.find(device_path.c_str());
    if (index == CATALOG_NO_ENTRY || catalog[index].listed) continue;
    if (catalog[index].kind == CATALOG_DIRECTORY) {
      catalog.walk(device_path.c_str(), false, collector);
    } else if (catalog.visit(index, device_path.c_str())) {
      collector.on_entry(index);
    }
  }
  return true;
}

void add_to_totals(list_totals_t& totals, const catalog_entry_t& entry) {
  ++totals.entries;
  ++totals.by_kind[entry.kind];
  if (entry.has_chunk) {
    totals.size += entry.chunk.size;
    totals.stored += entry.chunk.stored_size;
  }
}

void count_hidden(const archive_catalog_t& catalog, list_totals_t& totals) {
  for (u64 i = 0; i < catalog.count(); ++i) {
    if (catalog[i].listed) continue;
    ++totals.hidden;
    if (!catalog[i].path.empty()) ++totals.hidden_named;
  }
}

// ---- text ----

void print_text_entry(const catalog_entry_t& entry) {
  mstring_t line, path;
  append_escaped_for_display(path, entry.path.c_str(), entry.path.length());
  line.format("%-9s %12" PRIu64 " %12" PRIu64 "  %-8s  %s", catalog_kind_name(entry.kind),
              entry.has_chunk ? entry.chunk.size : 0, entry.has_chunk ? entry.chunk.stored_size : 0,
              entry.has_chunk ? catalog_compression_name(entry.chunk.compression) : "-", path.c_str());
  if (entry.has_image) {
    line.append_format("  [%s %ux%u, mips %u, faces %u]", format_name(entry.image.format), entry.image.width,
                       entry.image.height, entry.image.mip_count, entry.image.face_count);
  }
  if (!entry.listed) line.append(" (hidden)");
  log_info("%s", line.c_str());
}

void print_text(const archive_catalog_t& catalog, const array_t<u64>& order, const list_totals_t& totals) {
  log_info("%-9s %12s %12s  %-8s  %s", "kind", "size", "stored", "method", "path");
  for (u64 index : order) print_text_entry(catalog[index]);
  mstring_t ratio;
  catalog_format_ratio(ratio, totals.stored, totals.size);
  log_info("%" PRIu64 " entries (%" PRIu64 " files, %" PRIu64 " directories, %" PRIu64 " images), %" PRIu64
           " bytes, %" PRIu64 " stored, ratio %s",
           totals.entries, totals.by_kind[CATALOG_FILE], totals.by_kind[CATALOG_DIRECTORY],
           totals.by_kind[CATALOG_IMAGE], totals.size, totals.stored, ratio.c_str());
  log_info("%" PRIu64 " hidden entries (in the entry table, in no listing), %" PRIu64 " of them named by -list",
           totals.hidden, totals.hidden_named);
}

// ---- JSON ----

// Lines of a JSON array: each element is printed when the next one (or the end) shows
// whether it needs a comma.
class json_lines_t {
 public:
  void add(const string& element) {
    flush(",");
    pending_.assign(element);
    has_pending_ = true;
  }
  void finish() { flush(""); }

 private:
  void flush(const char* separator) {
    if (has_pending_) log_info("%s%s", pending_.c_str(), separator);
    has_pending_ = false;
  }
  mstring_t pending_;
  bool has_pending_ = false;
};

void append_json_entry(string& out, const catalog_entry_t& entry) {
  out.assign("{");
  if (!entry.path.empty()) {
    bool utf8 = true;
    out.append("\"path\": ");
    append_json_string(out, entry.path.c_str(), entry.path.length(), &utf8);
    // The string could not hold the bytes: they follow exactly, in hexadecimal.
    if (!utf8) {
      out.append(", \"path_hex\": \"");
      append_hex_bytes(out, entry.path.c_str(), entry.path.length());
      out.append("\"");
    }
    out.append(", ");
  }
  out.append_format("\"hash\": \"%016" PRIx64 "\", \"kind\": \"%s\", ", entry.hash, catalog_kind_name(entry.kind));
  if (entry.has_chunk) {
    out.append_format("\"size\": %" PRIu64 ", \"stored_size\": %" PRIu64 ", \"compression\": \"%s\"", entry.chunk.size,
                      entry.chunk.stored_size, catalog_compression_name(entry.chunk.compression));
  } else {
    out.append("\"size\": 0, \"stored_size\": 0, \"compression\": null");
  }
  out.append_format(", \"hidden\": %s", entry.listed ? "false" : "true");
  if (entry.has_image) {
    out.append(", \"image\": {\"format\": ");
    append_json_string(out, format_name(entry.image.format), std::strlen(format_name(entry.image.format)));
    out.append_format(", \"width\": %u, \"height\": %u, \"mips\": %u, \"faces\": %u}", entry.image.width,
                      entry.image.height, entry.image.mip_count, entry.image.face_count);
  }
  out.append("}");
}

void print_json(const char* archive_path, const archive_catalog_t& catalog, const array_t<u64>& order,
                const list_totals_t& totals) {
  mstring_t line;
  line.assign("{\"archive\": ");
  append_json_string(line, archive_path, std::strlen(archive_path));
  line.append_format(", \"version\": %u,", (unsigned)catalog.version());
  log_info("%s", line.c_str());
  log_info("\"entries\": [");
  json_lines_t entries;
  for (u64 index : order) {
    append_json_entry(line, catalog[index]);
    entries.add(line);
  }
  entries.finish();
  log_info("],");
  log_info("\"unnamed_hidden\": [");
  json_lines_t unnamed;
  for (u64 i = 0; i < catalog.count(); ++i) {
    if (catalog[i].listed || !catalog[i].path.empty()) continue;
    append_json_entry(line, catalog[i]);
    unnamed.add(line);
  }
  unnamed.finish();
  log_info("],");
  line.format("\"summary\": {\"entries\": %" PRIu64 ", \"files\": %" PRIu64 ", \"directories\": %" PRIu64
              ", \"images\": %" PRIu64 ", \"size\": %" PRIu64 ", \"stored_size\": %" PRIu64 ", \"ratio\": ",
              totals.entries, totals.by_kind[CATALOG_FILE], totals.by_kind[CATALOG_DIRECTORY],
              totals.by_kind[CATALOG_IMAGE], totals.size, totals.stored);
  if (totals.size == 0) {
    line.append("null");
  } else {
    line.append_format("%.6f", (double)totals.stored / (double)totals.size);
  }
  line.append_format(", \"hidden\": %" PRIu64 ", \"hidden_named\": %" PRIu64 ", \"problems\": %" PRIu64 "}}",
                     totals.hidden, totals.hidden_named, totals.problems);
  log_info("%s", line.c_str());
}

}  // namespace

bool list_archive(const char* archive_path) {
  UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "list %s", archive_path);
  // Standard output is the listing: the device's own information lines stay out of it.
  cairn_device_log_t::set_info_shown(false);
  const bool json = cdl_param("-json") != CDL_NOT_FOUND;
  archive_catalog_t catalog;
  if (!catalog.open(archive_path)) return false;
  list_totals_t totals;
  list_collector_t collector(totals);
  catalog.walk("/", true, collector);
  if (!name_hidden_entries(catalog, collector)) return false;
  for (u64 index : collector.order) add_to_totals(totals, catalog[index]);
  count_hidden(catalog, totals);
  if (json) {
    print_json(archive_path, catalog, collector.order, totals);
  } else {
    print_text(catalog, collector.order, totals);
  }
  return totals.problems == 0;
}

}  // namespace umbra
