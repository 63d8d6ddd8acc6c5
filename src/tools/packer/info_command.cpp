// The info command: what the header and the tables of an archive say, without reading
// any data block. Content bytes count every entry's data chunk; stored bytes count each
// stored block once, however many entries share it.
#include <algorithm>
#include <cinttypes>

#include "tools/packer/archive_catalog.h"
#include "tools/packer/commands.h"
#include "tools/packer/packer_profiling.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/cairn_v1_device.h"
#include "umbracore/ufs/cairn_v2_device.h"

namespace umbra {

namespace {

struct data_totals_t {
  u64 files = 0;
  u64 directories = 0;
  u64 images = 0;
  u64 content = 0;
  u64 stored = 0;         // distinct blocks only
  u64 shared_chunks = 0;  // chunks whose block an earlier chunk already counted
};

struct block_t {
  u64 offset;
  u64 stored_size;
  bool operator<(const block_t& other) const {
    return offset != other.offset ? offset < other.offset : stored_size < other.stored_size;
  }
  bool operator==(const block_t& other) const { return offset == other.offset && stored_size == other.stored_size; }
};

data_totals_t count_data(const archive_catalog_t& catalog) {
  data_totals_t totals;
  array_dyn_t<block_t> blocks;
  blocks.request_capacity(catalog.count());
  for (u64 i = 0; i < catalog.count(); ++i) {
    const catalog_entry_t& entry = catalog[i];
    if (entry.kind == CATALOG_DIRECTORY) ++totals.directories;
    if (entry.kind == CATALOG_IMAGE) ++totals.images;
    if (entry.kind == CATALOG_FILE) ++totals.files;
    if (!entry.has_chunk) continue;
    totals.content += entry.chunk.size;
    blocks.append(block_t{entry.chunk.offset, entry.chunk.stored_size});
  }
  std::sort(blocks.begin(), blocks.end());
  for (u64 i = 0; i < blocks.count(); ++i) {
    if (i > 0 && blocks[i] == blocks[i - 1]) {
      ++totals.shared_chunks;
      continue;
    }
    totals.stored += blocks[i].stored_size;
  }
  return totals;
}

void print_hash_method(const char method[4]) {
  mstring_t shown;
  append_escaped_for_display(shown, method, 4);
  log_info("Hash method: %s", shown.c_str());
}

void print_table(const char* name, u64 raw_size, u64 stored_size, u64 offset) {
  const bool raw = cairn_table_is_raw(stored_size, raw_size);
  log_info("%s: %" PRIu64 " bytes at offset %" PRIu64 ", stored %" PRIu64 " bytes (%s)", name, raw_size, offset,
           stored_size, raw ? "raw" : "zlib");
}

void print_v2_header(const cairn_v2_header_t& header) {
  log_info("Salt: %u", (unsigned)header.salt);
  log_info("Platform: %s (%u)", cairn_platform_name(header.platform), (unsigned)header.platform);
  print_hash_method(header.hash_method);
  log_info("Entries: %u", header.entry_count);
  log_info("Metadata words: %u", header.metadata_count);
  print_table("Entry table", cairn_v2_entry_table_raw_size(header.entry_count), header.entry_table_size,
              header.entry_table_offset);
  print_table("Metadata table", cairn_v2_metadata_table_raw_size(header.metadata_count), header.metadata_table_size,
              header.metadata_table_offset);
  if (header.security_descriptor_offset == 0) {
    log_info("Security block: none");
  } else {
    log_info("Security block: %u bytes at offset %" PRIu64, CAIRN_V2_SECURITY_DESCRIPTOR_SIZE,
             header.security_descriptor_offset);
  }
}

void print_v1_header(const cairn_v1_header_t& header) {
  log_info("Salt: %u", (unsigned)header.salt);
  log_info("Platform: none (version 1)");
  print_hash_method(header.hash_method);
  log_info("Entries: %u", header.entry_count);
  log_info("Metadata words: none (version 1)");
  const u64 size = (u64)header.entry_count * CAIRN_V1_ENTRY_SIZE;
  print_table("Entry table", size, size, header.entry_table_offset);
  log_info("Metadata table: none (version 1)");
  log_info("Security block: none (version 1)");
}

}  // namespace

bool info_archive(const char* archive_path) {
  UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "info %s", archive_path);
  cairn_device_log_t::set_info_shown(false);
  archive_catalog_t catalog;
  if (!catalog.open(archive_path)) return false;
  mstring_t shown;
  append_escaped_for_display(shown, archive_path);
  log_info("Archive: %s", shown.c_str());
  log_info("Size: %" PRIu64 " bytes", catalog.archive_size());
  log_info("Version: %u", (unsigned)catalog.version());
  if (catalog.v2()) {
    print_v2_header(catalog.v2()->header());
  } else {
    print_v1_header(catalog.v1()->header());
  }
  data_totals_t totals = count_data(catalog);
  log_info("Kinds: %" PRIu64 " files, %" PRIu64 " directories, %" PRIu64 " images", totals.files, totals.directories,
           totals.images);
  mstring_t ratio;
  catalog_format_ratio(ratio, totals.stored, totals.content);
  log_info("Data: %" PRIu64 " bytes of content in %" PRIu64 " stored bytes, ratio %s", totals.content, totals.stored,
           ratio.c_str());
  if (totals.shared_chunks != 0)
    log_info("Shared blocks: %" PRIu64 " chunks point at a block that another chunk stores", totals.shared_chunks);
  return true;
}

}  // namespace umbra
