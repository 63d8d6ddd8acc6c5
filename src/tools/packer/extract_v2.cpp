// Extraction of version 2 archives: walk the listings, then read file contents through
// the IO server under a byte budget while the main thread writes finished files.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>

#include "tools/packer/extract.h"
#include "tools/packer/extract_walk.h"
#include "tools/packer/extracted_path.h"
#include "tools/packer/image_rebuild.h"
#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/ufs/cairn_device_factory.h"
#include "umbracore/ufs/cairn_device_common.h"
#include "umbracore/ufs/fs_meta.h"

namespace umbra {

u64 extract_v2_max_jobs_in_flight = 0;

namespace {

constexpr u64 DEFAULT_IO_BUFFERS_MB = 1024;
constexpr u64 MAX_IO_BUFFERS_MB = 65536;

struct extract_job_t {
  mstring_t path;  // the whole archive path: a 255-byte relative path is 256 bytes here
  fs_mstat_t metadata;
  array_dyn_t<u8> data;
  fs_io_request_t* request = nullptr;
};

using job_list_t = array_dyn_t<auto_ptr_t<extract_job_t>>;

bool is_image_path(const mstring_t& path) { return path.length() >= 5 && path.ends_with(".tobj"); }

// -io-buffers-size: MiB, decimal, default 1024, clamped to 1..65536.
bool read_io_budget(u64* budget) {
  u64 mb = DEFAULT_IO_BUFFERS_MB;
  if (cdl_param("-io-buffers-size") != CDL_NOT_FOUND) {
    if (cdl_argc() != 2) {
      log_error("%s requires value", "-io-buffers-size");
      return false;
    }
    const char* word = cdl_argv();
    const char* digits = word;
    while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r')) ++digits;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = *digits >= '0' && *digits <= '9' ? std::strtoull(digits, &end, 10) : 0;
    if (end == nullptr || *end != 0) {
      log_error("'%s' is not valid value for %s parameter", word, "-io-buffers-size");
      return false;
    }
    mb = errno == ERANGE ? ~0ull : (u64)value;
  }
  if (mb == 0) mb = 1;
  if (mb > MAX_IO_BUFFERS_MB) mb = MAX_IO_BUFFERS_MB;
  *budget = mb << 20;
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
      log_error("Failed to mstat '%s'!", path.c_str());
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
    if (fs_meta_get(nullptr, 0, &fs_token_chunk_mip_tail, &job.metadata) == (size_t)-1) {
      log_error("The image is missing the mip tail chunk '%s'!", job.path.c_str());
      return false;
    }
    if (!fs_meta_get_chunk(&job.metadata, fs_token_chunk_mip_tail, chunk)) {
      log_error("Failed to decode image mip tail chunk '%s'!", job.path.c_str());
      return false;
    }
    return true;
  }
  if (!fs_meta_get_chunk(&job.metadata, fs_token_chunk_plain, chunk)) {
    log_error("Failed to obtain plain data chunk '%s'!", job.path.c_str());
    return false;
  }
  return true;
}

// A hostile archive must not make the tool allocate what its size cannot back, nor
// reach a decoder it does not have.
bool chunk_is_plausible(const extract_job_t& job, const fs_chunk_t& chunk, u64 archive_size) {
  if (!fs_compression_is_known(chunk.compression)) {
    log_error("Unsupported compression %u of '%s'!", (unsigned)chunk.compression, job.path.c_str());
    return false;
  }
  if (!cairn_range_in_archive(chunk.offset, chunk.stored_size, archive_size) ||
      chunk.size > cairn_max_decoded_size(chunk.compression, chunk.stored_size)) {
    log_error("Data of '%s' lies outside the archive or is corrupt!", job.path.c_str());
    return false;
  }
  return true;
}

bool start_job(fs_device_t* device, extract_job_t& job, u64 archive_size) {
  fs_chunk_t chunk{};
  if (!job_chunk(job, &chunk)) return false;
  if (!chunk_is_plausible(job, chunk, archive_size)) return false;
  if (!job.data.resize_uninitialized(chunk.size)) {
    log_error("Out of memory reading '%s'!", job.path.c_str());
    return false;
  }
  job.request = device->chunk_read(job.data.data(), 1, job.path.c_str(), chunk, nullptr);
  return true;
}

bool write_file(extract_job_t& job, const char* root) {
  auto_ptr_t<file_t> file = create_extracted_file(job.path, root, nullptr);
  if (!file) return false;
  if (job.data.count() == 0) return true;
  fs_io_request_t* request = file->io_write(job.data.data(), job.data.count(), 0);
  if (!request || !file->io_wait(request)) {
    log_error("Failed to write data '%s'!", job.path.c_str());
    return false;
  }
  return true;
}

bool complete_job(fs_device_t* device, extract_job_t& job, const char* root) {
  bool read_ok = job.request && device->io_wait(job.request);
  job.request = nullptr;
  if (!read_ok) return false;
  if (is_image_path(job.path)) return rebuild_image_entry(job.path, job.metadata, job.data, root);
  return write_file(job, root);
}

// Starts reads while the data in flight stays below the budget, and completes them in
// start order; once a file fails no further file is started.
bool copy_phase(fs_device_t* device, job_list_t& pending, const char* root, u64 budget, u64 archive_size) {
  job_list_t in_flight;
  u64 next_pending = 0, oldest = 0;
  u64 bytes_in_flight = 0;
  bool ok = true;
  for (;;) {
    while (ok && next_pending < pending.count() && bytes_in_flight < budget) {
      auto_ptr_t<extract_job_t> job = std::move(pending[next_pending++]);
      if (!start_job(device, *job, archive_size)) {
        ok = false;
        break;
      }
      bytes_in_flight += job->data.count();
      in_flight.append(std::move(job));
      u64 count = in_flight.count() - oldest;
      if (count > extract_v2_max_jobs_in_flight) extract_v2_max_jobs_in_flight = count;
    }
    if (oldest == in_flight.count()) break;
    auto_ptr_t<extract_job_t> job = std::move(in_flight[oldest++]);
    bytes_in_flight -= job->data.count();
    if (!complete_job(device, *job, root)) ok = false;
  }
  return ok;
}

}  // namespace

bool extract_v2(const char* root, auto_ptr_t<file_t>& archive) {
  extract_v2_max_jobs_in_flight = 0;
  u64 archive_size = archive->get_size();
  auto_ptr_t<fs_device_t> device = mount_for_extraction(archive);
  if (!device) return false;
  u64 budget = 0;
  if (!read_io_budget(&budget)) return false;
  job_list_t jobs;
  job_collector_t collector(device.get(), jobs);
  if (!extract_walk(device.get(), root, collector)) return false;
  if (!copy_phase(device.get(), jobs, root, budget, archive_size)) {
    log_error("Failed to extract some files");
    return false;
  }
  return true;
}

}  // namespace umbra
