// Image entries: a texture descriptor (".tobj") and the images it names are stored as
// one entry under the descriptor's path. The entry holds an image record, a sampler
// record and one chunk with every level of every face, each level starting at a
// multiple of 512 bytes and each row at a multiple of 256 bytes from its level's start,
// GDeflate-compressed when that makes it smaller.
//
// Descriptors and images come from the source tree, so they are untrusted: whatever an
// image entry cannot hold is refused with one error line, never written cut or corrupt.
#pragma once

#include "tools/packer/entry_task.h"
#include "umbracore/collections/arrays/array.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

// One image per face of a cube at most.
constexpr u32 IMAGE_ENTRY_MAX_NAMES = 6;
constexpr u32 IMAGE_ENTRY_PITCH_ALIGNMENT = 256;
constexpr u32 IMAGE_ENTRY_IMAGE_ALIGNMENT = 512;
// The chunk attribute of image entry data.
constexpr u32 IMAGE_ENTRY_CHUNK_ATTRIBUTE = 3;

// An image entry before it is placed in the archive.
struct image_entry_t {
  fs_meta_image_t image{};  // the record stored under the entry
  u32 sampler = 0;          // the sampler word of the descriptor
  u64 size = 0;             // bytes of the laid out levels (T)
  fs_compression_t compression = FS_COMPRESSION_NONE;
  array_dyn_t<u8> data;  // the laid out levels, or their tile stream
  u64 images_read = 0;   // bytes of the image files the descriptor names
};

// Builds the entry of a descriptor of size bytes at entry_path (used in messages); the
// names it holds are joined with root. False after an error line.
bool build_image_entry(const u8* descriptor, u64 size, const char* entry_path, const char* root, image_entry_t* out);

// GDeflate for image data: data is replaced by its tile stream when that is strictly
// smaller (FS_COMPRESSION_GDEFLATE); otherwise, and with -nocompress, it stays as it
// is (FS_COMPRESSION_NONE). The pages are compressed on every worker of the pool.
fs_compression_t platform_compress_image(array_dyn_t<u8>& data);

// The task of a path entry whose name ends in ".tobj" (anything else is a programming
// error).
entry_task_t* encode_image_entry(const path_entry_v2_t& entry, const char* root, listing_registry_t* listings);

}  // namespace umbra
