// Extraction of version 1 archives: one breadth-first pass that copies every file as
// soon as the walk reaches it, stopping at the first failure.
#include "tools/packer/extract.h"
#include "tools/packer/extract_selection.h"
#include "tools/packer/extract_walk.h"
#include "tools/packer/extracted_path.h"
#include "tools/packer/packer_profiling.h"
#include "tools/packer/progress.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/ufs/cairn_device_factory.h"
#include "umbracore/ufs/cairn_v1_device.h"

namespace umbra {

namespace {

bool selection_limits(const extract_selection_t* selection) { return selection && !selection->selects_everything(); }

class file_copier_t : public extract_visitor_t {
 public:
  file_copier_t(fs_device_t* device, const char* root, progress_t& progress)
      : device_(device), root_(root), progress_(progress) {}

  bool on_file(const mstring_t& path) override {
    UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "copy %s", path.c_str());
    auto_ptr_t<file_t> source(device_->open(path.c_str(), FS_MODE_READ_ONLY));
    if (!source) {
      log_error("Unable to open '%s'!", shown_name_t(path.c_str()).c_str());
      return false;
    }
    mstring_t target;
    auto_ptr_t<file_t> destination = create_extracted_file(path, root_, &target);
    if (!destination) return false;
    source->set_position(0);
    destination->set_position(0);
    if (!fs_copy(destination.get(), source.get())) {
      log_error("[fs_copy] failed to copy files!");
      log_error("Copy of file '%s' to '%s' failed!", shown_name_t(path.c_str()).c_str(),
                shown_name_t(target.c_str()).c_str());
      destination.reset();
      remove_extracted_file(target);
      return false;
    }
    source->set_position(0);
    destination->set_position(0);
    progress_.add(1, source->get_size());
    return true;
  }

 private:
  fs_device_t* device_;
  const char* root_;
  progress_t& progress_;
};

// The whole table's files, which is what a walk of every listing writes (hidden entries
// aside); with a selection the totals are not known up front.
void start_progress(progress_t& progress, fs_device_t* device, const extract_selection_t* selection) {
  const cairn_v1_device_t* v1 = dynamic_cast<const cairn_v1_device_t*>(device);
  u64 files = 0, bytes = 0;
  if (v1 && !selection_limits(selection)) {
    for (const cairn_entry_t& entry : v1->entries()) {
      if (entry.flags & CAIRN_V1_FLAG_DIRECTORY) continue;
      ++files;
      bytes += entry.size;
    }
  }
  progress.start("Extracting", files, bytes);
}

}  // namespace

bool extract_v1(const char* root, auto_ptr_t<file_t>& archive, extract_selection_t* selection) {
  auto_ptr_t<fs_device_t> device = mount_for_extraction(archive);
  if (!device) return false;
  progress_t progress;
  start_progress(progress, device.get(), selection);
  file_copier_t copier(device.get(), root, progress);
  const bool ok = extract_walk(device.get(), root, copier, selection);
  progress.stop();
  return ok;
}

}  // namespace umbra
