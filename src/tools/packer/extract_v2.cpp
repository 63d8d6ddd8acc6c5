// Extraction of version 2 archives: walk the listings, then read file contents through
// the IO server under a byte budget; the main thread completes the reads in order and
// the pool's workers create and write the files.
#include <cinttypes>

#include "tools/packer/extract.h"
#include "tools/packer/extract_buffers.h"
#include "tools/packer/extract_walk.h"
#include "tools/packer/extracted_path.h"
#include "tools/packer/image_rebuild.h"
#include "tools/packer/packer_options.h"
#include "tools/packer/packer_profiling.h"
#include "tools/packer/progress.h"
#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/ufs/cairn_device_factory.h"
#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/fs_io_server_core.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

namespace {

constexpr u64 DEFAULT_IO_BUFFERS_MB = 1024;
constexpr u64 MAX_IO_BUFFERS_MB = 65536;

// The budget is an upper limit, not a target: beyond a few MiB in flight the workers
// decode no faster, and every further MiB is fresh memory that costs a page fault per
// page and falls out of the caches before it is written. Past this much in flight a new
// job starts only to keep a second one going beside a large file.
constexpr u64 WORKING_SET_BYTES = 16ull << 20;
constexpr u64 MIN_JOBS_IN_FLIGHT = 2;
// Finished jobs' buffers kept for later ones (or the budget, when that is smaller).
constexpr u64 MAX_KEPT_BYTES = 64ull << 20;

struct extract_job_t;

// Creates and writes one extracted file on a pool worker.
class write_task_t final : public thread::task_t {
 public:
  write_task_t() : task_t(WRITE_TASK_PRIORITY, 1, "extract write") {}
  void start(extract_job_t* job) {
    job_ = job;
    ok_ = false;
  }
  void execute() override;
  bool is_finished() const { return get_state() >= thread::TASK_FINISHED; }
  bool ok() const { return ok_; }

 private:
  static constexpr u8 WRITE_TASK_PRIORITY = 1;  // served by the normal workers
  extract_job_t* job_ = nullptr;
  bool ok_ = false;
};

struct extract_job_t {
  mstring_t path;  // the whole archive path: a 255-byte relative path is 256 bytes here
  fs_mstat_t metadata;
  array_dyn_t<u8> data;
  fs_io_request_t* request = nullptr;
  mstring_t target;  // below the destination root, once the path is vetted
  auto_ptr_t<image_rebuild_plan_t> image;  // for an image entry, once it is checked
  write_task_t write;
};

using job_list_t = array_dyn_t<auto_ptr_t<extract_job_t>>;

bool is_image_path(const mstring_t& path) { return path.length() >= 5 && path.ends_with(".tobj"); }

// -io-buffers-size: MiB, decimal, default 1024, clamped to 1..65536.
bool read_io_budget(u64* budget) {
  u64 mb = DEFAULT_IO_BUFFERS_MB;
  const char* word = nullptr;
  if (!read_decimal_option("-io-buffers-size", &mb, &word)) return false;
  if (mb == 0) mb = 1;
  if (mb > MAX_IO_BUFFERS_MB) mb = MAX_IO_BUFFERS_MB;
  *budget = mb << 20;
  return true;
}

// -dds-legacy: rebuilt DDS files get pre-DX10 headers where their format has one.
bool read_image_options(image_rebuild_options_t* options) {
  if (cdl_param("-dds-legacy") == CDL_NOT_FOUND) return true;
  if (cdl_argc() != 1) {
    log_error("%s takes no value", "-dds-legacy");
    return false;
  }
  options->dds_legacy = true;
  return true;
}

// Collects a job with the file's metadata for every file the walk reaches.
class job_collector_t : public extract_visitor_t {
 public:
  job_collector_t(fs_device_t* device, job_list_t& jobs) : device_(device), jobs_(jobs) {}
  bool on_file(const mstring_t& path) override {
    auto_ptr_t<extract_job_t> job(new extract_job_t());
    job->path = path;
    if (!device_->mstat(path.c_str(), &job->metadata)) {
      log_error("Failed to mstat '%s'!", shown_name_t(path.c_str()).c_str());
      return false;
    }
    if (!jobs_.append(std::move(job))) {
      log_error("Out of memory while walking the archive!");
      return false;
    }
    return true;
  }

 private:
  fs_device_t* device_;
  job_list_t& jobs_;
};

bool job_chunk(const extract_job_t& job, fs_chunk_t* chunk) {
  if (is_image_path(job.path)) {
    if (fs_meta_get(nullptr, 0, &FS_TOKEN_CHUNK_MIP_TAIL, &job.metadata) == (size_t)-1) {
      log_error("The image is missing the mip tail chunk '%s'!", shown_name_t(job.path.c_str()).c_str());
      return false;
    }
    if (!fs_meta_get_chunk(&job.metadata, FS_TOKEN_CHUNK_MIP_TAIL, chunk)) {
      log_error("Failed to decode image mip tail chunk '%s'!", shown_name_t(job.path.c_str()).c_str());
      return false;
    }
    return true;
  }
  if (!fs_meta_get_chunk(&job.metadata, FS_TOKEN_CHUNK_PLAIN, chunk)) {
    log_error("Failed to obtain plain data chunk '%s'!", shown_name_t(job.path.c_str()).c_str());
    return false;
  }
  return true;
}

// A hostile archive must not make the tool allocate what its size cannot back, nor
// reach a decoder it does not have.
bool chunk_is_plausible(const extract_job_t& job, const fs_chunk_t& chunk, u64 archive_size) {
  if (!fs_compression_is_known(chunk.compression)) {
    log_error("Unsupported compression %u of '%s'!", (unsigned)chunk.compression,
              shown_name_t(job.path.c_str()).c_str());
    return false;
  }
  if (!cairn_range_in_archive(chunk.offset, chunk.stored_size, archive_size) ||
      chunk.size > cairn_max_decoded_size(chunk.compression, chunk.stored_size)) {
    log_error("Data of '%s' lies outside the archive or is corrupt!", shown_name_t(job.path.c_str()).c_str());
    return false;
  }
  return true;
}

bool start_job(fs_device_t* device, extract_job_t& job, u64 archive_size, extract_buffer_pool_t& buffers) {
  fs_chunk_t chunk{};
  if (!job_chunk(job, &chunk)) return false;
  if (!chunk_is_plausible(job, chunk, archive_size)) return false;
  if (!buffers.take(chunk.size, job.data)) {
    log_error("Out of memory reading '%s'!", shown_name_t(job.path.c_str()).c_str());
    return false;
  }
  job.request = device->chunk_read(job.data.data(), FS_CHUNK_TARGET_MEMORY, job.path.c_str(), chunk, nullptr);
  return true;
}

// Creates the vetted target and writes the job's data: on a pool worker, several files
// at once, since creating a file costs the file system more than writing it.
bool write_file(extract_job_t& job) {
  if (job.image) return write_image_rebuild(*job.image, job.data.data(), job.data.count());
  auto_ptr_t<file_t> file = create_vetted_file(job.target);
  if (!file) return false;
  if (job.data.count() == 0) return true;
  if (!write_extracted_data(*file, job.data.data(), job.data.count())) {
    log_error("Failed to write data '%s'!", shown_name_t(job.path.c_str()).c_str());
    file.reset();
    remove_extracted_file(job.target);
    return false;
  }
  return true;
}

void write_task_t::execute() {
  UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "%s %s", job_->image ? "rebuild image" : "write", job_->path.c_str());
  ok_ = write_file(*job_);
}

// Whether another job may start beside the ones in flight: never at or above the
// budget, and above the working set only to keep a second job going.
bool may_start_job(u64 bytes_in_flight, u64 jobs_in_flight, u64 budget) {
  if (bytes_in_flight >= budget) return false;
  return bytes_in_flight < WORKING_SET_BYTES || jobs_in_flight < MIN_JOBS_IN_FLIGHT;
}

// Starts reads while the data in flight allows and completes them in start order: the
// main thread vets each path in that order (so refusals print in walk order) and hands
// the writing to the pool; writes are collected in the same order. Once a file fails no
// further file is started, and every job in flight is still completed.
class copy_phase_t {
 public:
  copy_phase_t(fs_device_t* device, job_list_t& pending, const char* root, const image_rebuild_options_t& image_options,
               u64 budget, u64 archive_size)
      : device_(device),
        pending_(pending),
        root_(root),
        image_options_(image_options),
        budget_(budget),
        archive_size_(archive_size),
        buffers_(budget < MAX_KEPT_BYTES ? budget : MAX_KEPT_BYTES) {}

  u64 max_jobs_in_flight() const { return max_jobs_in_flight_; }

  // Told of every file once it is written (or has failed).
  void set_progress(progress_t* progress) { progress_ = progress; }

  bool run() {
    UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "copy files");
    for (;;) {
      start_jobs();
      if (collect_finished_write()) continue;
      if (oldest_read_ < reading_.count()) {
        finish_read(take(reading_, oldest_read_));
      } else if (oldest_write_ < writing_.count()) {
        finish_write(take(writing_, oldest_write_));
      } else {
        return ok_;
      }
    }
  }

 private:
  static auto_ptr_t<extract_job_t> take(job_list_t& list, u64& oldest) { return std::move(list[oldest++]); }
  u64 jobs_in_flight() const { return reading_.count() - oldest_read_ + writing_.count() - oldest_write_; }

  void start_jobs() {
    while (ok_ && next_pending_ < pending_.count() && may_start_job(bytes_in_flight_, jobs_in_flight(), budget_)) {
      auto_ptr_t<extract_job_t> job = std::move(pending_[next_pending_++]);
      if (!start_job(device_, *job, archive_size_, buffers_)) {
        ok_ = false;
        return;
      }
      bytes_in_flight_ += job->data.count();
      reading_.append(std::move(job));
      if (jobs_in_flight() > max_jobs_in_flight_) max_jobs_in_flight_ = jobs_in_flight();
    }
  }

  void finish_read(auto_ptr_t<extract_job_t> job) {
    bool read_ok = wait_read(*job);
    job->request = nullptr;
    if (!read_ok) {
      release(job, false);
    } else if (!prepare_write(*job)) {
      release(job, false);
    } else {
      job->write.start(job.get());
      thread::submit_normal(&job->write);
      writing_.append(std::move(job));
    }
  }

  bool wait_read(extract_job_t& job) {
    UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "read %s", job.path.c_str());
    return job.request && device_->io_wait(job.request);
  }

  // Vets the job's target (both for an image entry, and checks its records against its
  // data) so that refusals print in walk order; false after the refusal's line.
  bool prepare_write(extract_job_t& job) {
    if (!is_image_path(job.path)) return vet_extracted_target(job.path, root_, job.target);
    job.image.reset(new image_rebuild_plan_t());
    return plan_image_rebuild(job.path, job.metadata, job.data.count(), root_, image_options_, job.image.get());
  }

  // Collects the oldest write when it is finished already; false when there is none.
  bool collect_finished_write() {
    if (oldest_write_ == writing_.count() || !writing_[oldest_write_]->write.is_finished()) return false;
    finish_write(take(writing_, oldest_write_));
    return true;
  }

  // Waits for the write (running it here when no worker has taken it yet).
  void finish_write(auto_ptr_t<extract_job_t> job) {
    thread::wait(&job->write);
    release(job, job->write.ok());
  }

  void release(auto_ptr_t<extract_job_t>& job, bool job_ok) {
    if (!job_ok) ok_ = false;
    if (progress_) progress_->add(1, job->data.count());
    bytes_in_flight_ -= job->data.count();
    buffers_.give(job->data);
    job.reset();
  }

  fs_device_t* device_;
  job_list_t& pending_;
  const char* root_;
  image_rebuild_options_t image_options_;
  u64 budget_;
  u64 archive_size_;
  extract_buffer_pool_t buffers_;
  job_list_t reading_;
  job_list_t writing_;
  u64 next_pending_ = 0;
  u64 oldest_read_ = 0;
  u64 oldest_write_ = 0;
  u64 bytes_in_flight_ = 0;
  u64 max_jobs_in_flight_ = 0;
  bool ok_ = true;
  progress_t* progress_ = nullptr;
};

// The content bytes the jobs will read, for the progress line's total.
u64 planned_bytes(const job_list_t& jobs) {
  u64 total = 0;
  for (const auto& job : jobs) {
    fs_chunk_t chunk{};
    token_t token = is_image_path(job->path) ? FS_TOKEN_CHUNK_MIP_TAIL : FS_TOKEN_CHUNK_PLAIN;
    if (fs_meta_get_chunk(&job->metadata, token, &chunk)) total += chunk.size;
  }
  return total;
}

}  // namespace

bool extract_v2(const char* root, auto_ptr_t<file_t>& archive, extract_selection_t* selection,
                extract_v2_stats_t* stats) {
  u64 archive_size = 0;
  if (!archive->find_size(&archive_size)) return false;
  auto_ptr_t<fs_device_t> device = mount_for_extraction(archive);
  if (!device) return false;
  u64 budget = 0;
  if (!read_io_budget(&budget)) return false;
  image_rebuild_options_t image_options;
  if (!read_image_options(&image_options)) return false;
  job_list_t jobs;
  job_collector_t collector(device.get(), jobs);
  if (!extract_walk(device.get(), root, collector, selection)) return false;
  copy_phase_t copy(device.get(), jobs, root, image_options, budget, archive_size);
  progress_t progress;
  copy.set_progress(&progress);
  progress.start("Extracting", jobs.count(), planned_bytes(jobs));
  const bool copied = copy.run();
  progress.stop();
  if (stats) stats->max_jobs_in_flight = copy.max_jobs_in_flight();
  if (!copied) {
    log_error("Failed to extract some files");
    return false;
  }
  return true;
}

}  // namespace umbra
