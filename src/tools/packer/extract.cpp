// The extract command: read what the command line selects, find the archive, read its
// first 12 bytes, and hand it to the extractor of its version (or, with -stdout, write
// the one named file to standard output).
#include "tools/packer/extract.h"

#include "tools/packer/archive_probe.h"
#include "tools/packer/commands.h"
#include "tools/packer/extract_selection.h"
#include "tools/packer/packer_profiling.h"
#include "umbracore/ufs/cairn_device_common.h"

namespace umbra {

bool extract(const char* archive_path, const char* root) {
  UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "extract %s", archive_path);
  extract_selection_t selection;
  if (!selection.read_command_line()) return false;
  // Standard output then holds the file's bytes and nothing else.
  if (selection.to_stdout()) cairn_device_log_t::set_info_shown(false);
  auto_ptr_t<file_t> archive;
  u16 version = 0;
  if (!open_archive(archive_path, archive, &version)) return false;
  if (selection.to_stdout()) return extract_to_stdout(archive, selection.stdout_path().c_str());
  const char* destination = root && root[0] != '\0' ? root : ".";
  bool ok = version == 1 ? extract_v1(destination, archive, &selection) : extract_v2(destination, archive, &selection);
  // What the selection names but the archive lacks is told once the rest is written.
  return ok && selection.report_unmatched();
}

}  // namespace umbra
