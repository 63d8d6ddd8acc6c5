#include "umbracore/log/log.h"
#include "umbracore/mem.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"

namespace umbra {

namespace {

constexpr u32 uma_header_size = 84;
constexpr u32 uma_version = 5;
constexpr u32 umg_header_size = 112;
constexpr u32 umg_magic = 0x556D6715;

void log_header_failure(file_t& file) {
  log_error("[uma] Failed to read header of '%s' for metadata", file.get_name().c_str());
}

}  // namespace

bool fs_meta_uma(fs_mstat_t* set, file_t& file) {
  u8 header[uma_header_size];
  if (!file.read(header, sizeof(header)) || load_le32(header) != uma_version) {
    log_header_failure(file);
    return false;
  }
  // Float fields are carried as their bit patterns.
  const u32 words[fs_meta_uma_words] = {
      load_le16(header + 6),  load_le32(header + 60), load_le32(header + 12), load_le32(header + 16),
      load_le32(header + 32), load_le32(header + 20), load_le32(header + 24), load_le32(header + 28),
  };
  fs_meta_append(set, fs_token_uma, fs_meta_uma_words, words);
  return true;
}

bool fs_meta_umg(fs_mstat_t* set, file_t& file) {
  u8 header[umg_header_size];
  if (!file.read(header, sizeof(header)) || load_le32(header) != umg_magic) {
    log_header_failure(file);
    return false;
  }
  const u32 words[fs_meta_umg_words] = {load_le32(header + 24), load_le32(header + 28)};
  fs_meta_append(set, fs_token_umg, fs_meta_umg_words, words);
  return true;
}

}  // namespace umbra
