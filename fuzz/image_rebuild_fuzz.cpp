// libFuzzer target for the rebuild of an image entry at extract from hostile metadata
// and data. The input is a path choice, records as a metadata set holds them (token
// choice, word count, words) and the entry's decompressed data; the rebuild is planned
// and, when the plan passes, written below the scratch directory (the descriptor and
// its DDS, removed again).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "tools/packer/image_rebuild.h"
#include "umbracore/ufs/fs_meta.h"

namespace {

using namespace umbra;

const token_t RECORD_TOKENS[] = {FS_TOKEN_IMAGE, FS_TOKEN_SAMPLER, FS_TOKEN_CHUNK_MIP_TAIL, FS_TOKEN_CHUNK_PLAIN,
                                 FS_TOKEN_ARCHIVE_OTHER};
const char* const ENTRY_PATHS[] = {"/a.tobj", "/t/cube.tobj", "/noext", "/x.y.tobj"};

// Reads the records that lead the input; returns the bytes they took.
size_t read_records(const uint8_t* data, size_t size, fs_mstat_t* set) {
  if (size == 0) return 0;
  size_t at = 1;
  const unsigned records = data[0] & 7;
  for (unsigned r = 0; r < records && at + 2 <= size; ++r) {
    const token_t token = RECORD_TOKENS[data[at] % (sizeof(RECORD_TOKENS) / sizeof(RECORD_TOKENS[0]))];
    const size_t count = data[at + 1] & 7;
    at += 2;
    if (at + count * 4 > size || !fs_meta_can_append(set, count)) break;
    u32 words[8];
    std::memcpy(words, data + at, count * 4);
    at += count * 4;
    fs_meta_append(set, token, count, words);
  }
  return at;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  umbra_fuzz::startup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const u8 choice = data[0];
  fs_mstat_t metadata;
  const size_t used = 1 + read_records(data + 1, size - 1, &metadata);
  const size_t data_size = used <= size ? size - used : 0;

  mstring_t path;
  path.assign(ENTRY_PATHS[choice % 4]);
  image_rebuild_options_t options;
  options.dds_legacy = (choice & 4) != 0;
  image_rebuild_plan_t plan;
  const std::string& root = umbra_fuzz::scratch_dir();
  if (!plan_image_rebuild(path, metadata, data_size, root.c_str(), options, &plan)) return 0;

  array_dyn_t<u8> pixels;
  if (!pixels.resize_uninitialized(data_size)) return 0;
  if (data_size) std::memcpy(pixels.data(), data + used, data_size);
  if (write_image_rebuild(plan, pixels.data(), pixels.count())) {
    std::remove(plan.dds_target.c_str());
    std::remove(plan.descriptor_target.c_str());
  }
  return 0;
}
