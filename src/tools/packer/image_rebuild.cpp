#include "tools/packer/image_rebuild.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "tools/packer/extracted_path.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/strings/path.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

namespace {

constexpr u32 CUBE_FACES = 6;
constexpr u32 MAX_MIPS = 16;
// An entry has one face or a cube's six: no more levels than this.
constexpr u32 MAX_LEVELS = CUBE_FACES * MAX_MIPS;

u32 bit_width(u32 value) { return value ? 32 - (u32)__builtin_clz(value) : 0; }

bool is_cube(const fs_meta_image_t& image) { return image.image_type != 0; }

// Levels halve down to 1x1; more levels than that name no image a DDS can describe.
u32 full_chain_mips(const fs_meta_image_t& image) {
  return bit_width(image.width > image.height ? image.width : image.height);
}

struct level_layout_t {
  surface_level_layout_t levels[MAX_LEVELS];
  u32 rows[MAX_LEVELS];
  u32 lines[MAX_LEVELS];
  u32 count;
  u64 total;
};

bool compute_entry_layout(const fs_meta_image_t& image, level_layout_t* layout) {
  layout->count = image.face_count * image.mip_count;
  return layout->count <= MAX_LEVELS &&
         surface_compute_layout(image.format, image.width, image.height, image.mip_count, image.pitch_alignment,
                                image.image_alignment, layout->count, layout->levels, layout->rows, layout->lines,
                                &layout->total);
}

// Why the record cannot be rebuilt from data_size bytes, into problem; false when it can,
// with the size of its levels.
bool find_image_problem(const fs_meta_image_t& image, u64 data_size, char (&problem)[128], u64* levels_size) {
  if (!format_is_layout_supported(image.format)) {
    std::snprintf(problem, sizeof(problem), "format %u has no layout", (unsigned)static_cast<u8>(image.format));
  } else if (image.face_count != (is_cube(image) ? CUBE_FACES : 1)) {
    std::snprintf(problem, sizeof(problem), "face count %u for image type %u", image.face_count, image.image_type);
  } else if (image.mip_count > full_chain_mips(image)) {
    std::snprintf(problem, sizeof(problem), "%u mips for a %ux%u image", image.mip_count, image.width, image.height);
  } else {
    level_layout_t layout;
    if (!compute_entry_layout(image, &layout)) {
      std::snprintf(problem, sizeof(problem), "its levels are too large");
    } else if (layout.total > data_size) {
      std::snprintf(problem, sizeof(problem), "%" PRIu64 " bytes of data for levels of %" PRIu64 " bytes", data_size,
                    layout.total);
    } else {
      *levels_size = layout.total;
      return false;
    }
  }
  return true;
}

}  // namespace

bool image_record_problem(const fs_meta_image_t& image, u64 data_size, string& problem, u64* levels_size) {
  char text[128];
  if (!find_image_problem(image, data_size, text, levels_size)) return false;
  problem.assign(text);
  return true;
}

namespace {

bool check_image(const string& path, const fs_mstat_t& metadata, u64 data_size, fs_meta_image_t* image) {
  if (!fs_meta_get_image(&metadata, image)) {
    log_error("Failed to decode image for '%s'!", shown_name_t(path.c_str()).c_str());
    return false;
  }
  char problem[128];
  u64 levels_size = 0;
  if (find_image_problem(*image, data_size, problem, &levels_size)) {
    log_error("Image '%s' cannot be rebuilt: %s", shown_name_t(path.c_str()).c_str(), problem);
    return false;
  }
  if (data_size > levels_size) {
    log_warning("Image '%s' holds %" PRIu64 " bytes past its levels, which are dropped",
                shown_name_t(path.c_str()).c_str(), data_size - levels_size);
  }
  return true;
}

bool decode_sampler(const string& path, const fs_mstat_t& metadata, tobj_header_t* header) {
  if (fs_meta_get(nullptr, 0, &FS_TOKEN_SAMPLER, &metadata) == FS_META_NOT_FOUND) return true;  // defaults stay
  u32 sampler = 0;
  if (fs_meta_get(&sampler, FS_META_SAMPLER_WORDS, &FS_TOKEN_SAMPLER, &metadata) != FS_META_SAMPLER_WORDS) {
    log_error("Failed to decode sampler for '%s'!", shown_name_t(path.c_str()).c_str());
    return false;
  }
  tobj_decode_sampler(sampler, header);
  return true;
}

dds_surface_t surface_of(const fs_meta_image_t& image) {
  return {image.format, image.width, image.height, image.mip_count, is_cube(image)};
}

// Moves every level's rows together, front to back: a row never moves to a later
// place, and no row is overwritten before it has moved. Returns the tight size.
u64 compact_levels(const level_layout_t& layout, u8* data) {
  u64 to = 0;
  for (u32 i = 0; i < layout.count; ++i) {
    const surface_level_layout_t& level = layout.levels[i];
    const u64 line = layout.lines[i];
    const u64 rows = layout.rows[i];
    if (level.pitch == line) {
      if (to != level.offset) std::memmove(data + to, data + level.offset, rows * line);
      to += rows * line;
      continue;
    }
    for (u64 row = 0; row < rows; ++row, to += line) std::memmove(data + to, data + level.offset + row * level.pitch, line);
  }
  return to;
}

bool write_descriptor(file_t& file, const image_rebuild_plan_t& plan) {
  const u64 name_length = plan.dds_path.length();
  array_dyn_t<u8> bytes;
  if (!bytes.resize(TOBJ_HEADER_SIZE + sizeof(u64) + name_length)) return false;
  std::memcpy(bytes.data(), &plan.descriptor_header, TOBJ_HEADER_SIZE);
  std::memcpy(bytes.data() + TOBJ_HEADER_SIZE, &name_length, sizeof(u64));
  std::memcpy(bytes.data() + TOBJ_HEADER_SIZE + sizeof(u64), plan.dds_path.c_str(), name_length);
  return file.write_at(bytes.data(), bytes.count(), 0);
}

}  // namespace

bool image_dds_path(const string& entry_path, string& out) {
  const char* text = entry_path.c_str();
  const u64 base_length = (u64)(path_extension(text, entry_path.length()) - text);
  return out.assign(text, base_length) && out.append(".dds");
}

bool plan_image_rebuild(const string& path, const fs_mstat_t& metadata, u64 data_size, const char* root,
                        const image_rebuild_options_t& options, image_rebuild_plan_t* plan) {
  if (!vet_extracted_target(path, root, plan->descriptor_target)) return false;
  if (!plan->entry_path.assign(path) || !image_dds_path(path, plan->dds_path)) {
    log_error("Path operation failed");
    return false;
  }
  if (!vet_extracted_target(plan->dds_path, root, plan->dds_target)) return false;
  if (!check_image(path, metadata, data_size, &plan->image)) return false;
  plan->descriptor_header = tobj_make_rebuild_header(is_cube(plan->image));
  if (!decode_sampler(path, metadata, &plan->descriptor_header)) return false;
  plan->dds_header = dds_make_header(surface_of(plan->image), options.dds_legacy);
  // The header cannot say the pixels are linear; the descriptor says it for it.
  if (plan->dds_header.linear) plan->descriptor_header.color_space = TOBJ_COLOR_SPACE_LINEAR;
  return true;
}

bool write_image_rebuild(const image_rebuild_plan_t& plan, u8* data, u64 size) {
  level_layout_t layout;
  if (!compute_entry_layout(plan.image, &layout) || layout.total > size) {
    log_error("Image '%s' cannot be rebuilt: its levels are too large", shown_name_t(plan.entry_path.c_str()).c_str());
    return false;
  }
  const u64 pixel_bytes = compact_levels(layout, data);

  auto_ptr_t<file_t> dds = create_vetted_file(plan.dds_target);
  if (!dds) return false;
  const dds_written_header_t& header = plan.dds_header;
  bool written = dds->write_at(header.bytes, header.size, 0) && dds->write_at(data, pixel_bytes, header.size);
  dds.reset();
  if (!written) {
    log_error("Failed to write data '%s'!", shown_name_t(plan.dds_path.c_str()).c_str());
    remove_extracted_file(plan.dds_target);
    return false;
  }

  auto_ptr_t<file_t> descriptor = create_vetted_file(plan.descriptor_target);
  if (!descriptor) {
    remove_extracted_file(plan.dds_target);
    return false;
  }
  written = write_descriptor(*descriptor, plan);
  descriptor.reset();
  if (!written) {
    log_error("Failed to write data '%s'!", shown_name_t(plan.entry_path.c_str()).c_str());
    remove_extracted_file(plan.descriptor_target);
    remove_extracted_file(plan.dds_target);
    return false;
  }
  return true;
}

bool rebuild_image_entry(const string& path, const fs_mstat_t& metadata, array_t<u8>& data, const char* root,
                         const image_rebuild_options_t& options) {
  image_rebuild_plan_t plan;
  return plan_image_rebuild(path, metadata, data.count(), root, options, &plan) &&
         write_image_rebuild(plan, data.data(), data.count());
}

}  // namespace umbra
