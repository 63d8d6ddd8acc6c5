#include "umbracore/log/log.h"
#include "umbracore/mem.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"

namespace umbra {

namespace {

constexpr u32 UMA_HEADER_SIZE = 84;
constexpr u32 UMA_VERSION = 5;
constexpr u32 UMG_HEADER_SIZE = 112;
constexpr u32 UMG_MAGIC = 0x556D6715;

void log_header_failure(file_t& file) {
  log_error("[uma] Failed to read header of '%s' for metadata", file.get_name().c_str());
}

}  // namespace

bool fs_meta_uma(fs_mstat_t* set, file_t& file) {
  u8 header[UMA_HEADER_SIZE];
  if (!file.read(header, sizeof(header)) || load_le32(header) != UMA_VERSION) {
    log_header_failure(file);
    return false;
  }
  // Float fields are carried as their bit patterns.
  const u32 words[FS_META_UMA_WORDS] = {
      load_le16(header + 6),  load_le32(header + 60), load_le32(header + 12), load_le32(header + 16),
      load_le32(header + 32), load_le32(header + 20), load_le32(header + 24), load_le32(header + 28),
  };
  fs_meta_append(set, FS_TOKEN_UMA, FS_META_UMA_WORDS, words);
  return true;
}

bool fs_meta_umg(fs_mstat_t* set, file_t& file) {
  u8 header[UMG_HEADER_SIZE];
  if (!file.read(header, sizeof(header)) || load_le32(header) != UMG_MAGIC) {
    log_header_failure(file);
    return false;
  }
  const u32 words[FS_META_UMG_WORDS] = {load_le32(header + 24), load_le32(header + 28)};
  fs_meta_append(set, FS_TOKEN_UMG, FS_META_UMG_WORDS, words);
  return true;
}

}  // namespace umbra
