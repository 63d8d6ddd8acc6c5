// Turning an image entry back into a texture descriptor and a DDS file.
//
// An image entry holds every level of its faces laid out with padded rows and aligned
// levels, plus an image record and a sampler record. The rebuild writes a DDS with the
// levels' rows back to back beside a descriptor that names it. It runs in two steps so
// that extraction can check everything on its main thread, in walk order, and write on
// a worker: the plan vets both paths and the entry's records against its data; the
// write then cannot meet anything but a failing disk.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/format/dds.h"
#include "umbracore/umbrautils/format/tobj.h"

namespace umbra {

struct image_rebuild_options_t {
  // Pre-DX10 DDS headers wherever the format has one (-dds-legacy).
  bool dds_legacy = false;
};

// What the checks decided for one entry.
struct image_rebuild_plan_t {
  mstring_t entry_path;         // the descriptor's archive path
  mstring_t dds_path;           // the DDS's archive path, named by the descriptor
  mstring_t descriptor_target;  // both below the destination root, vetted
  mstring_t dds_target;
  fs_meta_image_t image;
  tobj_header_t descriptor_header;
  dds_written_header_t dds_header;
};

// The DDS path of an entry: the extension of its last component (from the last dot
// after the last '/' or '\') replaced by ".dds", or ".dds" appended when it has none.
bool image_dds_path(const string& entry_path, string& out);

// Why an image record cannot be rebuilt from data_size bytes of data, into problem (a
// clause: "format 150 has no layout"); false when it can, with the size its levels
// take in levels_size (less than data_size when bytes past them would be dropped).
bool image_record_problem(const fs_meta_image_t& image, u64 data_size, string& problem, u64* levels_size);

// Checks an entry whose decompressed data has data_size bytes: both target paths, the
// image record (which must describe levels that the data holds) and the sampler
// record. Logs one error line and returns false when the entry cannot be rebuilt; the
// sampler's unknown values are only warned about.
bool plan_image_rebuild(const string& path, const fs_mstat_t& metadata, u64 data_size, const char* root,
                        const image_rebuild_options_t& options, image_rebuild_plan_t* plan);

// Writes the DDS and then the descriptor of a planned entry. The data (size bytes, as
// planned) is compacted in place to tight rows. An entry that fails leaves neither file
// behind, so no descriptor ever names a missing or cut DDS.
bool write_image_rebuild(const image_rebuild_plan_t& plan, u8* data, u64 size);

// Both steps at once: writes the descriptor at the entry's path and the DDS beside it,
// below root.
bool rebuild_image_entry(const string& path, const fs_mstat_t& metadata, array_t<u8>& data, const char* root,
                         const image_rebuild_options_t& options);

}  // namespace umbra
