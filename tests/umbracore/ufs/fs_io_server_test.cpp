// The IO server: the queue choice, the scheduler moving whole queues as batches, waiting
// and counting, and the generic back end reading real files (stored, zlib, raw deflate,
// Zstandard and GDeflate chunks) with every malformed chunk finishing unsuccessfully.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/cairn_builder.h"
#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/cairn_device_factory.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_io_server_core.h"
#include "umbracore/ufs/fs_io_server_generic.h"
#include "umbracore/ufs/fs_proc.h"
#include "umbracore/ufs/sysfs_device.h"
#include "umbracore/thread/run_context_system.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/umbrautils/format/gdeflate.h"

using namespace umbra;

namespace {

std::string pattern(size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = (char)((i * 31 + seed * 7) ^ (i >> 7));
  return bytes;
}

fs_chunk_t make_chunk(u64 stored_size, u64 size, u64 offset, u8 compression) {
  fs_chunk_t chunk{};
  chunk.stored_size = stored_size;
  chunk.size = size;
  chunk.offset = offset;
  chunk.compression = compression;
  return chunk;
}

fs_io_location_t location_of(const char* path) {
  fs_io_location_t location;
  location.set(path);
  return location;
}

// A back end that takes batches only while allowed, records them, and fills each
// target with the low byte of its chunk's offset.
class scripted_server_t final : public fs_io_server_t {
 public:
  explicit scripted_server_t(u64 limit = 1u << 30) { load_buffer_limit_ = limit; }
  ~scripted_server_t() override { shutdown(); }

  struct batch_record_t {
    u8 priority;
    u64 count;
  };
  std::vector<batch_record_t> batches() {
    std::lock_guard<std::mutex> guard(lock_);
    return batches_;
  }

  std::atomic<bool> accepting{true};

 protected:
  bool can_accept(const io_queue_t& queue) override { return accepting.load(); }
  void batch_submit(io_batch_t* batch) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      batches_.push_back({batch->priority, batch->requests.count});
    }
    for (fs_io_server_request_t* request = batch->requests.head; request; request = request->next) {
      std::memset(request->target, (int)(request->chunk.offset & 0xFF), request->chunk.size);
    }
  }
  bool batch_done(io_batch_t* batch) override { return true; }
  void batch_release(io_batch_t* batch) override {}

 private:
  std::mutex lock_;
  std::vector<batch_record_t> batches_;
};

// Waits (bounded) until the scheduler has made n more passes.
void await_passes(fs_io_server_t& server, u64 n) {
  u64 target = server.debug_stats().passes + n;
  for (int i = 0; i < 5000 && server.debug_stats().passes < target; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

// ---------------------------------------------------------------------------------
// Queue choice

TEST(io_server_queue_choice, follows_size_and_file_type) {
  struct case_t {
    const char* path;
    u64 stored_size;
    u32 queue;
  } cases[] = {
      {"/a/b.bin", 4096, FS_IO_PRIORITY_HIGH},
      {"/a/b.dds", 4096, FS_IO_PRIORITY_HIGH},
      {"/a/b.dds", 4097, FS_IO_PRIORITY_LOW},
      {"/material/ui/x.dds", 4097, FS_IO_PRIORITY_HIGH},
      {"/material/ui/x.dds", 3u << 20, FS_IO_PRIORITY_HIGH},
      {"/m/a.umg", 3u << 20, FS_IO_PRIORITY_NORMAL},
      {"/m/a.bin", 3u << 20, FS_IO_PRIORITY_LOW},
      {"/m/a.bin", 2097152, FS_IO_PRIORITY_NORMAL},
      {"/m/a.bin", 2097153, FS_IO_PRIORITY_LOW},
      {"/x.umd", 3u << 20, FS_IO_PRIORITY_HIGH},
      {"/x.mat", 5000, FS_IO_PRIORITY_HIGH},
      {"/x.tobj", 5000, FS_IO_PRIORITY_HIGH},
      {"/x.font", 3u << 20, FS_IO_PRIORITY_HIGH},
      {"/x", 5000, FS_IO_PRIORITY_NORMAL},
      // The extension is taken from the last component only.
      {"/dir.umd/file", 5000, FS_IO_PRIORITY_NORMAL},
      {"/dir.dds/file", 3u << 20, FS_IO_PRIORITY_LOW},
  };
  for (const case_t& c : cases) {
    EXPECT_EQ(fs_io_server_t::choose_queue(c.path, c.stored_size), c.queue) << c.path << " " << c.stored_size;
  }
  EXPECT_STREQ(fs_io_server_t::queue_name(0), "Read Queue, Prio Low");
  EXPECT_STREQ(fs_io_server_t::queue_name(1), "Read Queue, Prio Normal");
  EXPECT_STREQ(fs_io_server_t::queue_name(2), "Read Queue, Prio High");
  EXPECT_STREQ(fs_io_server_t::queue_name(3), "Read Queue, Prio Realtime");
}

// ---------------------------------------------------------------------------------
// Scheduling

TEST(io_server_scheduling, held_queues_move_to_the_back_end_as_one_batch_each) {
  scripted_server_t server;
  server.accepting = false;
  ASSERT_TRUE(server.init());
  const u64 read_ops = fs_io_counters.read_ops.load();
  const u64 finish_ops = fs_io_counters.finish_ops.load();
  const u64 pending_ops = fs_io_counters.pending_ops.load();
  const u64 high_ops = fs_io_counters.queue_ops[FS_IO_PRIORITY_HIGH].load();
  const u64 high_bytes = fs_io_counters.queue_bytesize[FS_IO_PRIORITY_HIGH].load();

  struct read_t {
    const char* path;
    u64 stored_size;
  } reads[] = {
      {"/a/small.bin", 100}, {"/a/b.dds", 5000},     {"/m/a.umg", 3u << 20},
      {"/x.tobj", 9000},     {"/material/ui/x.dds", 5000}, {"/y.font", 5000},
  };
  std::vector<std::string> targets;
  std::vector<fs_io_request_t*> requests;
  for (size_t i = 0; i < sizeof(reads) / sizeof(reads[0]); ++i) targets.push_back(std::string(10 + i, '\0'));
  for (size_t i = 0; i < targets.size(); ++i) {
    fs_chunk_t chunk = make_chunk(reads[i].stored_size, targets[i].size(), 0x40 + i, 1);
    requests.push_back(server.chunk_read(targets[i].data(), FS_CHUNK_TARGET_MEMORY, 3, location_of(reads[i].path),
                                         chunk, FS_IO_PRIORITY_REALTIME, nullptr));
    ASSERT_NE(requests.back(), nullptr);
  }
  await_passes(server, 3);
  fs_io_server_stats_t stats = server.debug_stats();
  EXPECT_EQ(stats.accepted[FS_IO_PRIORITY_LOW], 1u);
  EXPECT_EQ(stats.accepted[FS_IO_PRIORITY_NORMAL], 1u);
  EXPECT_EQ(stats.accepted[FS_IO_PRIORITY_HIGH], 4u);
  EXPECT_EQ(stats.accepted[FS_IO_PRIORITY_REALTIME], 0u) << "the priority argument does not choose the queue";
  EXPECT_EQ(stats.pending_ops, 6u);
  EXPECT_EQ(stats.max_pending_ops, 6u);
  EXPECT_EQ(stats.batches, 0u);
  EXPECT_EQ(fs_io_counters.pending_ops.load(), pending_ops + 6);
  for (fs_io_request_t* request : requests) EXPECT_FALSE(server.io_is_done(request));

  server.accepting = true;
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_TRUE(server.io_wait(requests[i])) << i;
    EXPECT_EQ(targets[i], std::string(targets[i].size(), (char)(0x40 + i))) << i;
  }
  std::vector<scripted_server_t::batch_record_t> batches = server.batches();
  ASSERT_EQ(batches.size(), 3u);
  u64 per_queue[FS_IO_QUEUE_COUNT] = {};
  for (const auto& batch : batches) per_queue[batch.priority] += batch.count;
  EXPECT_EQ(per_queue[FS_IO_PRIORITY_LOW], 1u);
  EXPECT_EQ(per_queue[FS_IO_PRIORITY_NORMAL], 1u);
  EXPECT_EQ(per_queue[FS_IO_PRIORITY_HIGH], 4u);
  stats = server.debug_stats();
  EXPECT_EQ(stats.largest_batch, 4u);
  EXPECT_EQ(stats.pending_ops, 0u);
  EXPECT_EQ(fs_io_counters.read_ops.load(), read_ops + 6);
  EXPECT_EQ(fs_io_counters.finish_ops.load(), finish_ops + 6);
  EXPECT_EQ(fs_io_counters.pending_ops.load(), pending_ops);
  EXPECT_EQ(fs_io_counters.queue_ops[FS_IO_PRIORITY_HIGH].load(), high_ops + 4);
  EXPECT_EQ(fs_io_counters.queue_bytesize[FS_IO_PRIORITY_HIGH].load(), high_bytes + 10 + 13 + 14 + 15);

  std::vector<std::string> names;
  fs_io_counters_visit([](const char* name, u64, void* out) { static_cast<std::vector<std::string>*>(out)->push_back(name); },
                       &names);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 6),
            (std::vector<std::string>{"io.chunk.read_ops", "io.chunk.read_bytesize", "io.chunk.pending_ops",
                                      "io.chunk.pending_bytesize", "io.chunk.finish_ops", "io.chunk.finish_bytesize"}));
  EXPECT_EQ(names.size(), 14u);
}

namespace {
std::atomic<int> callback_calls{0};
std::atomic<bool> callback_saw_unfinished{false};
void count_callback(fs_io_request_t* request) {
  callback_calls.fetch_add(1);
  if (!request->is_finished()) callback_saw_unfinished = true;
}
}  // namespace

TEST(io_server_scheduling, callback_runs_once_before_the_request_is_finished) {
  scripted_server_t server(64);
  ASSERT_TRUE(server.init());
  callback_calls = 0;
  callback_saw_unfinished = false;
  std::string target(8, '\0');
  fs_io_request_t* queued = server.chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, 3, location_of("/a"),
                                              make_chunk(8, 8, 1, 0), 0, &count_callback);
  EXPECT_TRUE(server.io_wait(queued));
  // Refused at once (above the limit): finished on the caller's thread, callback included.
  fs_io_request_t* refused = server.chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, 3, location_of("/a"),
                                               make_chunk(65, 8, 1, 0), 0, &count_callback);
  EXPECT_TRUE(server.io_is_done(refused));
  EXPECT_FALSE(server.io_wait(refused));
  EXPECT_EQ(callback_calls.load(), 2);
  EXPECT_TRUE(callback_saw_unfinished.load());
}

TEST(io_server_scheduling, requests_from_many_threads_all_finish) {
  scripted_server_t server;
  ASSERT_TRUE(server.init());
  constexpr int thread_count = 4;
  constexpr int reads_per_thread = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::string> targets(8, std::string(32, '\0'));
      std::vector<fs_io_request_t*> in_flight;
      for (int i = 0; i < reads_per_thread; ++i) {
        size_t slot = i % targets.size();
        if (in_flight.size() == targets.size()) {
          // Oldest first, as the extractor does.
          fs_io_request_t* oldest = in_flight.front();
          in_flight.erase(in_flight.begin());
          if (!server.io_wait(oldest)) failures++;
        }
        u64 tag = (u64)(t * 16 + slot);
        const char* path = (i % 3) ? "/big.bin" : "/a.tobj";
        fs_io_request_t* request = server.chunk_read(targets[slot].data(), FS_CHUNK_TARGET_MEMORY, 3, location_of(path),
                                                     make_chunk(5000000, 32, tag, 1), 1, nullptr);
        if (!request) failures++;
        in_flight.push_back(request);
      }
      for (fs_io_request_t* request : in_flight) {
        if (!server.io_wait(request)) failures++;
      }
      for (size_t slot = 0; slot < targets.size(); ++slot) {
        if (targets[slot] != std::string(32, (char)(t * 16 + slot))) failures++;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  fs_io_server_stats_t stats = server.debug_stats();
  EXPECT_EQ(stats.accepted[FS_IO_PRIORITY_LOW] + stats.accepted[FS_IO_PRIORITY_HIGH], (u64)thread_count * reads_per_thread);
  EXPECT_EQ(stats.pending_ops, 0u);
  EXPECT_LE(stats.max_pending_ops, (u64)thread_count * 8);
}

TEST(io_server_scheduling, shutdown_finishes_what_the_back_end_never_took) {
  scripted_server_t server;
  server.accepting = false;
  ASSERT_TRUE(server.init());
  std::string target(4, '\0');
  std::vector<fs_io_request_t*> requests;
  for (int i = 0; i < 3; ++i) {
    requests.push_back(server.chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, 3, location_of("/a"),
                                         make_chunk(4, 4, 0, 0), 0, nullptr));
  }
  server.shutdown();
  EXPECT_EQ(server.chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, 3, location_of("/a"), make_chunk(4, 4, 0, 0), 0,
                              nullptr),
            nullptr);
  for (fs_io_request_t* request : requests) {
    EXPECT_TRUE(server.io_is_done(request));
    EXPECT_FALSE(server.io_wait(request));
  }
  EXPECT_EQ(server.debug_stats().pending_ops, 0u);
  // A server can be started again after a shutdown.
  server.accepting = true;
  ASSERT_TRUE(server.init());
  EXPECT_TRUE(server.io_wait(server.chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, 3, location_of("/a"),
                                               make_chunk(4, 4, 0, 0), 0, nullptr)));
}

TEST(io_server_scheduling_death, unsupported_target_kind_stops_the_process) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        scripted_server_t server;
        server.init();
        std::string target(4, '\0');
        server.chunk_read(target.data(), 5, 3, location_of("/a"), make_chunk(4, 4, 0, 0), 0, nullptr);
      },
      "chunk_read: unsupported chunk type");
}

// ---------------------------------------------------------------------------------
// The generic back end on real files

namespace {

struct stored_chunk_t {
  const char* name;
  u8 compression;
  std::string content;
  std::string stored;
  u64 offset = 0;
};

std::string gdeflate_of(const std::string& content) {
  array_dyn_t<u8> out;
  EXPECT_TRUE(gdeflate_compress(reinterpret_cast<const u8*>(content.data()), content.size(), out));
  return std::string(reinterpret_cast<const char*>(out.data()), out.count());
}

class generic_server_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs_startup());
    ASSERT_TRUE(fs_io_server_startup());
    server = fs_get_io_server();
    ASSERT_NE(server, nullptr);
  }
  void TearDown() override {
    fs_io_server_shutdown();
    fs_shutdown();
  }

  // Writes the chunks one after another (with a few bytes between them) into one file.
  std::string write_chunks(std::vector<stored_chunk_t>& chunks) {
    std::string bytes = "head";
    for (stored_chunk_t& chunk : chunks) {
      chunk.offset = bytes.size();
      bytes += chunk.stored;
      bytes += "gap";
    }
    std::string path = dir / "chunks.bin";
    umbra_test::write_file(path, bytes);
    return path;
  }

  // Reads chunk into a target with guard bytes behind it; the guard must survive.
  bool read(u64 handle, const std::string& path, const fs_chunk_t& chunk, std::string* content) {
    std::string target(chunk.size + 64, '\xEE');
    fs_io_request_t* request =
        server->chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, handle, location_of(path.c_str()), chunk, 1, nullptr);
    if (!request) return false;
    bool ok = server->io_wait(request);
    EXPECT_EQ(target.substr(chunk.size), std::string(64, '\xEE')) << "written past the target";
    if (content) *content = target.substr(0, chunk.size);
    return ok;
  }

  umbra_test::temp_dir_t dir;
  umbra_test::log_capture_t log;
  fs_io_server_t* server = nullptr;
};

}  // namespace

TEST_F(generic_server_test, reads_every_compression_into_memory_exactly) {
  const std::string text = pattern(70000, 3);
  std::vector<stored_chunk_t> chunks = {
      {"stored", FS_COMPRESSION_NONE, pattern(5000, 1), pattern(5000, 1)},
      {"empty", FS_COMPRESSION_NONE, "", ""},
      {"zlib", FS_COMPRESSION_ZLIB, text, umbra_test::zlib_deflate(text)},
      {"deflate", FS_COMPRESSION_DEFLATE, text, umbra_test::raw_deflate(text)},
      {"zstd", FS_COMPRESSION_ZSTD, text, umbra_test::zstd_compress(text)},
      {"gdeflate", FS_COMPRESSION_GDEFLATE, pattern(140000, 5), gdeflate_of(pattern(140000, 5))},
  };
  const std::string path = write_chunks(chunks);
  const u64 handle = server->open(path.c_str(), FS_MODE_READ_ONLY);
  ASSERT_NE(handle, FS_IO_HANDLE_NONE);
  for (const stored_chunk_t& c : chunks) {
    fs_chunk_t chunk = make_chunk(c.stored.size(), c.content.size(), c.offset, c.compression);
    std::string content;
    EXPECT_TRUE(read(handle, path, chunk, &content)) << c.name;
    EXPECT_TRUE(content == c.content) << c.name;
    // Without a handle the back end opens the location itself.
    content.clear();
    EXPECT_TRUE(read(FS_IO_HANDLE_NONE, path, chunk, &content)) << c.name << " by path";
    EXPECT_TRUE(content == c.content) << c.name << " by path";
  }
  server->close(handle);
  EXPECT_EQ(fs_proc_debug_outstanding(), 0u);
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(generic_server_test, malformed_chunks_finish_unsuccessfully_without_writing_past_the_target) {
  const std::string text = pattern(20000, 7);
  const std::string zlib = umbra_test::zlib_deflate(text);
  const std::string raw = umbra_test::raw_deflate(text);
  const std::string zstd = umbra_test::zstd_compress(text);
  const std::string gdeflate = gdeflate_of(text);
  auto flipped = [](std::string bytes) {
    bytes[bytes.size() / 2] ^= 0x5A;
    return bytes;
  };
  std::vector<stored_chunk_t> chunks = {
      {"zlib", FS_COMPRESSION_ZLIB, text, zlib},
      {"zlib_flipped", FS_COMPRESSION_ZLIB, text, flipped(zlib)},
      {"deflate", FS_COMPRESSION_DEFLATE, text, raw},
      {"zstd", FS_COMPRESSION_ZSTD, text, zstd},
      {"zstd_flipped", FS_COMPRESSION_ZSTD, text, flipped(zstd)},
      {"gdeflate", FS_COMPRESSION_GDEFLATE, text, gdeflate},
      // A tile stream has no checksum: a flipped data byte may decode to other bytes of
      // the same length, so the corruption is one the decoder must always see.
      {"gdeflate_flipped", FS_COMPRESSION_GDEFLATE, text, std::string(gdeflate).replace(1, 1, 1, (char)(gdeflate[1] ^ 0x5A))},
      {"stored", FS_COMPRESSION_NONE, text, text},
  };
  const std::string path = write_chunks(chunks);
  const u64 file_size = umbra_test::read_file(path).size();
  const u64 handle = server->open(path.c_str(), FS_MODE_READ_ONLY);
  ASSERT_NE(handle, FS_IO_HANDLE_NONE);
  auto find = [&](const char* name) -> const stored_chunk_t& {
    for (const stored_chunk_t& c : chunks)
      if (std::strcmp(c.name, name) == 0) return c;
    ADD_FAILURE() << name;
    return chunks[0];
  };
  auto chunk_of = [&](const char* name, s64 stored_delta, s64 size_delta) {
    const stored_chunk_t& c = find(name);
    return make_chunk(c.stored.size() + stored_delta, c.content.size() + size_delta, c.offset, c.compression);
  };
  struct case_t {
    const char* what;
    fs_chunk_t chunk;
  } cases[] = {
      {"zlib data error", chunk_of("zlib_flipped", 0, 0)},
      {"zlib content longer than size", chunk_of("zlib", 0, -1)},
      {"zlib content shorter than size", chunk_of("zlib", 0, +1)},
      {"zlib stream cut short", chunk_of("zlib", -6, 0)},
      {"raw deflate content longer than size", chunk_of("deflate", 0, -100)},
      {"raw deflate stream cut short", chunk_of("deflate", -3, 0)},
      {"zstd data error", chunk_of("zstd_flipped", 0, 0)},
      {"zstd content longer than size", chunk_of("zstd", 0, -1)},
      {"zstd content shorter than size", chunk_of("zstd", 0, +1)},
      {"zstd frame cut short", chunk_of("zstd", -5, 0)},
      {"gdeflate data error", chunk_of("gdeflate_flipped", 0, 0)},
      {"gdeflate content longer than size", chunk_of("gdeflate", 0, -1)},
      {"gdeflate content shorter than size", chunk_of("gdeflate", 0, +1)},
      {"stored size differs from size", chunk_of("stored", -1, 0)},
      {"stored size above size", chunk_of("stored", 0, -1)},
      {"stored range past the end of the file", make_chunk(64, 64, file_size - 10, FS_COMPRESSION_NONE)},
      {"zlib range past the end of the file", make_chunk(zlib.size(), text.size(), file_size - 10, FS_COMPRESSION_ZLIB)},
      {"offset far beyond the file", make_chunk(16, 16, 1ull << 62, FS_COMPRESSION_NONE)},
      {"gdeflate offset far beyond the file", make_chunk(16, 16, ~0ull - 8, FS_COMPRESSION_GDEFLATE)},
  };
  for (const case_t& c : cases) {
    EXPECT_FALSE(read(handle, path, c.chunk, nullptr)) << c.what;
    EXPECT_FALSE(read(FS_IO_HANDLE_NONE, path, c.chunk, nullptr)) << c.what << " by path";
  }
  // The intact chunks in the same file still read.
  for (const char* name : {"zlib", "deflate", "zstd", "gdeflate", "stored"}) {
    std::string content;
    EXPECT_TRUE(read(handle, path, chunk_of(name, 0, 0), &content)) << name;
    EXPECT_TRUE(content == text) << name;
  }
  // A location that does not exist fails too.
  EXPECT_FALSE(read(FS_IO_HANDLE_NONE, dir / "missing.bin", make_chunk(4, 4, 0, 0), nullptr));
  server->close(handle);
  EXPECT_EQ(fs_proc_debug_outstanding(), 0u);
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(generic_server_test, chunks_above_the_load_buffer_limit_finish_at_once) {
  EXPECT_EQ(server->get_load_buffer_limit(), 268435456u);
  std::string target(16, '\0');
  const u64 read_ops = fs_io_counters.read_ops.load();
  fs_io_request_t* request = server->chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, FS_IO_HANDLE_NONE,
                                                location_of("/big.bin"), make_chunk(268435457, 16, 0, 0), 1, nullptr);
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(server->io_is_done(request));
  EXPECT_FALSE(server->io_wait(request));
  EXPECT_EQ(log.errors(), (std::vector<std::string>{
                              "Failed to read /big.bin since it exceeds internal loadbuffer size limit of 268435456 bytes"}));
  EXPECT_EQ(fs_io_counters.read_ops.load(), read_ops);

  // Exactly at the limit the chunk is taken (and here fails only because the file is small).
  log.clear();
  const std::string path = dir / "small.bin";
  umbra_test::write_file(path, "0123456789abcdef");
  request = server->chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, FS_IO_HANDLE_NONE, location_of(path.c_str()),
                               make_chunk(268435456, 268435456, 0, FS_COMPRESSION_ZLIB), 1, nullptr);
  ASSERT_NE(request, nullptr);
  EXPECT_FALSE(server->io_wait(request));
  EXPECT_TRUE(log.errors().empty());
  EXPECT_EQ(fs_io_counters.read_ops.load(), read_ops + 1);
}

TEST_F(generic_server_test, opens_only_for_reading) {
  const std::string path = dir / "a.bin";
  umbra_test::write_file(path, "abc");
  EXPECT_EQ(server->open(path.c_str(), FS_MODE_CREATE_OR_READ_WRITE), FS_IO_HANDLE_NONE);
  EXPECT_EQ(log.errors(), (std::vector<std::string>{"[genio] Incompatible open mode"}));
  EXPECT_EQ(server->open((dir / "missing").c_str(), FS_MODE_READ_ONLY), FS_IO_HANDLE_NONE);
  const u64 handle = server->open(path.c_str(), FS_MODE_READ_ONLY);
  EXPECT_NE(handle, FS_IO_HANDLE_NONE);
  server->close(handle);
}

TEST_F(generic_server_test, many_threads_read_through_one_server) {
  std::vector<stored_chunk_t> chunks;
  for (unsigned i = 0; i < 12; ++i) {
    std::string content = pattern(3000 + 997 * i, i);
    u8 compression = i % 4 == 3 ? (u8)FS_COMPRESSION_ZSTD : (u8)(i % 4);
    std::string stored = compression == FS_COMPRESSION_NONE      ? content
                         : compression == FS_COMPRESSION_ZLIB    ? umbra_test::zlib_deflate(content)
                         : compression == FS_COMPRESSION_DEFLATE ? umbra_test::raw_deflate(content)
                                                                 : umbra_test::zstd_compress(content);
    chunks.push_back({"chunk", compression, content, stored});
  }
  const std::string path = write_chunks(chunks);
  const u64 handle = server->open(path.c_str(), FS_MODE_READ_ONLY);
  ASSERT_NE(handle, FS_IO_HANDLE_NONE);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 4; ++round) {
        std::vector<std::string> targets(chunks.size());
        std::vector<fs_io_request_t*> requests(chunks.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
          const stored_chunk_t& c = chunks[(i + t) % chunks.size()];
          targets[i].assign(c.content.size(), '\0');
          requests[i] = server->chunk_read(targets[i].data(), FS_CHUNK_TARGET_MEMORY, handle, location_of("/t.bin"),
                                           make_chunk(c.stored.size(), c.content.size(), c.offset, c.compression), 1,
                                           nullptr);
        }
        for (size_t i = 0; i < chunks.size(); ++i) {
          if (!server->io_wait(requests[i]) || targets[i] != chunks[(i + t) % chunks.size()].content) failures++;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  server->close(handle);
  EXPECT_EQ(failures.load(), 0);
}

// Misuse by the program itself stops the process. The file read is one that is always
// there, so that the death tests leave nothing behind.
TEST(generic_server_death, unsupported_targets_and_compressions_stop_the_process) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* path = UMBRA_SOURCE_DIR "/CMakeLists.txt";
  auto read_and_wait = [&](void* target, u32 target_kind, u8 compression) {
    ASSERT_TRUE(fs_startup());
    ASSERT_TRUE(fs_io_server_startup());
    fs_io_server_t* server = fs_get_io_server();
    server->io_wait(server->chunk_read(target, target_kind, FS_IO_HANDLE_NONE, location_of(path),
                                       make_chunk(64, 64, 0, compression), 1, nullptr));
  };
  std::string target(64, '\0');
  fs_chunk_target_record_t record{target.data(), 64};
  EXPECT_DEATH(read_and_wait(&record, FS_CHUNK_TARGET_RECORD_2, FS_COMPRESSION_NONE),
               "\\[genio\\] Only memory targets are supported!");
  EXPECT_DEATH(read_and_wait(target.data(), FS_CHUNK_TARGET_MEMORY, 7), "Compression format not supported!");
}

TEST_F(generic_server_test, archive_devices_read_their_chunks_through_the_server) {
  const std::string plain = pattern(3000, 11);
  const std::string packed = pattern(90000, 12);
  umbra_test::cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(umbra_test::v2_listing({"a.bin", "b.bin", "c.bin"})));
  b.add_file("a.bin", b.add_plain(plain));
  b.add_file("b.bin", b.add_zlib(packed));
  b.add_file("c.bin", b.add_block(umbra_test::zstd_compress(packed), packed.size(), FS_COMPRESSION_ZSTD));
  const std::string archive_path = dir / "a.qar";
  umbra_test::write_file(archive_path, b.build());
  auto_ptr_t<file_t> archive;
  ASSERT_TRUE(fs_device_open(archive, archive_path.c_str(), FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
  auto_ptr_t<fs_device_t> device(open_cairn_device(archive));
  ASSERT_TRUE(device);

  struct case_t {
    const char* path;
    const std::string& content;
  } cases[] = {{"/a.bin", plain}, {"/b.bin", packed}, {"/c.bin", packed}};
  std::vector<std::string> targets;
  std::vector<fs_io_request_t*> requests;
  for (const case_t& c : cases) {
    fs_mstat_t set;
    ASSERT_TRUE(device->mstat(c.path, &set)) << c.path;
    fs_chunk_t chunk;
    ASSERT_TRUE(fs_meta_get_chunk(&set, FS_TOKEN_CHUNK_PLAIN, &chunk)) << c.path;
    targets.push_back(std::string(chunk.size, '\0'));
    requests.push_back(device->chunk_read(targets.back().data(), FS_CHUNK_TARGET_MEMORY, c.path, chunk, nullptr));
    ASSERT_NE(requests.back(), nullptr) << c.path;
    EXPECT_EQ(static_cast<fs_io_server_request_t*>(requests.back())->device, device.get());
  }
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_TRUE(device->io_wait(requests[i])) << cases[i].path;
    EXPECT_TRUE(targets[i] == cases[i].content) << cases[i].path;
  }
  // A chunk whose content is not its stated size fails through the device as well.
  fs_mstat_t set;
  ASSERT_TRUE(device->mstat("/b.bin", &set));
  fs_chunk_t chunk;
  ASSERT_TRUE(fs_meta_get_chunk(&set, FS_TOKEN_CHUNK_PLAIN, &chunk));
  chunk.size -= 1;
  std::string target(chunk.size, '\0');
  fs_io_request_t* request = device->chunk_read(target.data(), FS_CHUNK_TARGET_MEMORY, "/a.bin", chunk, nullptr);
  ASSERT_NE(request, nullptr);
  EXPECT_FALSE(device->io_wait(request));
  device.reset();
}

// ---------------------------------------------------------------------------------
// Decoding on the thread pool's workers

namespace {

class pooled_server_test : public generic_server_test {
 protected:
  void SetUp() override {
    run_context_startup_main_thread();
    thread_pool_set_worker_count_override(2);
    thread_pool_startup();
    ASSERT_EQ(thread_pool_worker_count(), 2u);
    generic_server_test::SetUp();
  }
  void TearDown() override {
    generic_server_test::TearDown();
    thread_pool_shutdown();
    thread_pool_set_worker_count_override(WORKER_COUNT_NO_OVERRIDE);
    thread_pool_set_worker_strategy(WORKER_STRATEGY_THREE_QUARTERS);
    run_context_shutdown_main_thread();
  }

  // Chunks of every compression, intact and corrupt ones mixed, in one file.
  std::vector<stored_chunk_t> mixed_chunks(int count) {
    std::vector<stored_chunk_t> chunks;
    for (int i = 0; i < count; ++i) {
      std::string content = pattern(2000 + 1711 * (size_t)i, (unsigned)i);
      switch (i % 4) {
        case 0: chunks.push_back({"zlib", FS_COMPRESSION_ZLIB, content, umbra_test::zlib_deflate(content)}); break;
        case 1: chunks.push_back({"deflate", FS_COMPRESSION_DEFLATE, content, umbra_test::raw_deflate(content)}); break;
        case 2: chunks.push_back({"zstd", FS_COMPRESSION_ZSTD, content, umbra_test::zstd_compress(content)}); break;
        default: chunks.push_back({"gdeflate", FS_COMPRESSION_GDEFLATE, content, gdeflate_of(content)}); break;
      }
      if (!intact(i)) chunks.back().stored[chunks.back().stored.size() / 2] ^= 0x5A;
    }
    return chunks;
  }
  // Some zlib and Zstandard chunks are corrupt: their checksums catch any flipped byte.
  static bool intact(int i) { return i % 5 != 4 || i % 2 != 0; }
};

}  // namespace

TEST_F(pooled_server_test, decodes_a_batch_on_the_workers_and_fails_only_the_corrupt_chunks) {
  std::vector<stored_chunk_t> chunks = mixed_chunks(60);
  const std::string path = write_chunks(chunks);
  const u64 handle = server->open(path.c_str(), FS_MODE_READ_ONLY);
  ASSERT_NE(handle, FS_IO_HANDLE_NONE);
  for (int round = 0; round < 3; ++round) {
    std::vector<std::string> targets(chunks.size());
    std::vector<fs_io_request_t*> requests(chunks.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
      const stored_chunk_t& c = chunks[i];
      targets[i].assign(c.content.size(), '\0');
      requests[i] = server->chunk_read(targets[i].data(), FS_CHUNK_TARGET_MEMORY, handle, location_of("/m.bin"),
                                       make_chunk(c.stored.size(), c.content.size(), c.offset, c.compression), 1,
                                       nullptr);
      ASSERT_NE(requests[i], nullptr);
    }
    for (size_t i = 0; i < chunks.size(); ++i) {
      bool ok = server->io_wait(requests[i]);
      EXPECT_EQ(ok, intact((int)i)) << chunks[i].name << " " << i;
      if (intact((int)i)) {
        EXPECT_TRUE(targets[i] == chunks[i].content) << chunks[i].name << " " << i;
      }
    }
  }
  server->close(handle);
  EXPECT_EQ(fs_proc_debug_outstanding(), 0u);
}

TEST_F(pooled_server_test, shutdown_waits_for_the_decodes_in_flight) {
  std::vector<stored_chunk_t> chunks = mixed_chunks(40);
  const std::string path = write_chunks(chunks);
  sysfs_device_t* system_device = static_cast<sysfs_device_t*>(fs_get_system_device());
  fs_io_server_generic_t own(system_device->get_platform());
  ASSERT_TRUE(own.init());
  std::vector<std::string> targets(chunks.size());
  std::vector<fs_io_request_t*> requests(chunks.size());
  for (size_t i = 0; i < chunks.size(); ++i) {
    const stored_chunk_t& c = chunks[i];
    targets[i].assign(c.content.size(), '\0');
    // Without a handle: the back end opens the file and must not close it under a decode.
    requests[i] = own.chunk_read(targets[i].data(), FS_CHUNK_TARGET_MEMORY, FS_IO_HANDLE_NONE,
                                 location_of(path.c_str()),
                                 make_chunk(c.stored.size(), c.content.size(), c.offset, c.compression), 1, nullptr);
    ASSERT_NE(requests[i], nullptr);
  }
  own.shutdown();
  for (size_t i = 0; i < chunks.size(); ++i) {
    ASSERT_TRUE(own.io_is_done(requests[i])) << i;
    // The last pass hands everything still queued to the back end, which decodes it.
    EXPECT_EQ(own.io_wait(requests[i]), intact((int)i)) << i;
    if (intact((int)i)) {
      EXPECT_TRUE(targets[i] == chunks[i].content) << i;
    }
  }
  EXPECT_EQ(fs_proc_debug_outstanding(), 0u);
}
