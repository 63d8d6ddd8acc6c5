// Decompression procs: pooled per kind, fresh for every request, decoding a chunk's
// content at any offset from an open file, and refusing streams whose length is not
// the content size.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/cairn_builder.h"
#include "support/test_rng.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_proc.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

using namespace umbra;

namespace {

std::string pattern(size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = (char)((i * 131 + seed) ^ (i >> 9));
  return bytes;
}

std::string stored_form(u8 compression, const std::string& content) {
  switch (compression) {
    case FS_COMPRESSION_ZLIB:
      return umbra_test::zlib_deflate(content);
    case FS_COMPRESSION_DEFLATE:
      return umbra_test::raw_deflate(content);
    default:
      return umbra_test::zstd_compress(content);
  }
}

// An archive-like file: some bytes before the stored chunk and some after it.
struct stored_file_t {
  std::string bytes;
  u64 offset = 0;
  u64 stored_size = 0;
  auto_ptr_t<file_t> file;

  stored_file_t(const std::string& stored) {
    bytes = std::string(37, 'p') + stored + std::string(19, 's');
    offset = 37;
    stored_size = stored.size();
    file = mem_file_create_read_only(bytes.data(), bytes.size(), "/archive");
  }
};

class proc_test : public ::testing::TestWithParam<u8> {};

// Stored bytes whose reads fail while failures are left.
class failing_file_t final : public file_t {
 public:
  explicit failing_file_t(std::string bytes) : file_t("/failing"), bytes_(std::move(bytes)) {}
  bool stat(fs_stat_t* out) override {
    if (out) out->size = out->stored_size = bytes_.size();
    return true;
  }
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32 flag) override {
    ++reads;
    last_ok_ = failures == 0 && offset <= bytes_.size() && size <= bytes_.size() - offset;
    if (failures > 0) --failures;
    if (last_ok_) bytes_.copy(static_cast<char*>(buffer), size, offset);
    return fs_completed_request();
  }
  bool io_wait(fs_io_request_t* request) override { return last_ok_; }
  bool uses_read_cache() override { return false; }
  bool get_path(string& out) override { return out.assign(name); }
  bool get_ufs_path(string& out) override { return false; }
  void get_debug_name(string& out) override { out.assign(name); }

  u32 failures = 0;
  u32 reads = 0;

 private:
  std::string bytes_;
  bool last_ok_ = true;
};

// zlib streams in the three kinds of deflate block: stored (level 0), fixed Huffman
// codes and dynamic ones. wrap_bits 15 makes a zlib stream, -15 raw deflate.
std::string deflate_with(const std::string& content, int level, int strategy, int wrap_bits) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, wrap_bits, 9, strategy), Z_OK);
  std::string out(deflateBound(&z, content.size()), '\0');
  z.next_in = (Bytef*)content.data();
  z.avail_in = (uInt)content.size();
  z.next_out = (Bytef*)&out[0];
  z.avail_out = (uInt)out.size();
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Text with repeats near and far and long runs: every kind of symbol, length 258 included.
std::string walk_content() {
  umbra_test::rng_t rng{7};
  std::string content;
  const char* words[] = {"stone ", "cairn ", "path ", "hash ", "entry ", "table ", "\r\n"};
  while (content.size() < 5000) {
    u32 pick = rng.below(10);
    if (pick < 7) {
      content += words[pick];
    } else if (pick == 7) {
      content += std::string(200 + rng.below(400), (char)('a' + rng.below(26)));
    } else {
      content += (char)rng.below(256);
    }
  }
  return content;
}

// Reads the content with one whole read, or in pieces that never cover it whole.
bool read_content(u8 compression, const std::string& stored, u64 content_size, bool whole, std::string& out) {
  stored_file_t source(stored);
  fs_proc_t* proc = request_io_proc(compression);
  proc->set_source(source.file.get(), source.offset, source.stored_size, content_size);
  out.assign(content_size, '\0');
  bool ok = true;
  if (whole) {
    ok = proc->read(out.data(), content_size, 0);
  } else {
    const u64 piece = 997;
    for (u64 at = 0; ok && at < content_size; at += piece)
      ok = proc->read(out.data() + at, std::min(piece, content_size - at), at);
  }
  release_io_proc(proc);
  return ok;
}

class whole_read_test : public ::testing::TestWithParam<u8> {};

}  // namespace

TEST_P(proc_test, reads_content_at_any_offset_forwards_and_backwards) {
  const u8 compression = GetParam();
  const std::string content = pattern(300000, compression);
  stored_file_t source(stored_form(compression, content));
  fs_proc_t* proc = request_io_proc(compression);
  ASSERT_NE(proc, nullptr);
  EXPECT_EQ(proc->get_compression(), compression);
  proc->set_source(source.file.get(), source.offset, source.stored_size, content.size());
  struct piece_t {
    u64 offset, size;
  } pieces[] = {{0, 10}, {10, 70000}, {250000, 50000}, {5, 1}, {299999, 1}, {100000, 0}, {0, 300000}};
  for (const piece_t& piece : pieces) {
    std::string out(piece.size, '\0');
    EXPECT_TRUE(proc->read(out.data(), piece.size, piece.offset)) << piece.offset << "+" << piece.size;
    EXPECT_TRUE(out == content.substr(piece.offset, piece.size)) << piece.offset << "+" << piece.size;
  }
  EXPECT_EQ(proc->get_position(), content.size());
  EXPECT_EQ(proc->get_input_consumed(), source.stored_size);
  // Past the content nothing is read.
  char byte;
  EXPECT_FALSE(proc->read(&byte, 1, content.size()));
  EXPECT_FALSE(proc->read(&byte, 2, content.size() - 1));
  release_io_proc(proc);
}

TEST_P(proc_test, refuses_streams_whose_length_is_not_the_content_size) {
  const u8 compression = GetParam();
  const std::string content = pattern(50000, 9);
  const std::string stored = stored_form(compression, content);
  std::string flipped = stored;
  flipped[flipped.size() / 2] ^= 0x5A;
  struct case_t {
    const char* what;
    std::string stored;
    u64 stored_size;  // of the stored bytes handed to the proc
    u64 content_size;
  } cases[] = {
      {"content longer than size", stored, stored.size(), content.size() - 1},
      {"content shorter than size", stored, stored.size(), content.size() + 1},
      {"stream cut short", stored, stored.size() - 4, content.size()},
      {"corrupt stream", flipped, flipped.size(), content.size()},
  };
  for (const case_t& c : cases) {
    stored_file_t source(c.stored);
    fs_proc_t* proc = request_io_proc(compression);
    ASSERT_NE(proc, nullptr);
    proc->set_source(source.file.get(), source.offset, c.stored_size, c.content_size);
    std::string out(c.content_size + 32, '\xEE');
    EXPECT_FALSE(proc->read(out.data(), c.content_size, 0)) << c.what;
    EXPECT_EQ(out.substr(c.content_size), std::string(32, '\xEE')) << c.what;
    release_io_proc(proc);
  }
  // A stored range running past the end of its file fails as well.
  stored_file_t source(stored);
  fs_proc_t* proc = request_io_proc(compression);
  proc->set_source(source.file.get(), source.bytes.size() - 8, stored.size(), content.size());
  std::string out(content.size(), '\0');
  EXPECT_FALSE(proc->read(out.data(), out.size(), 0));
  release_io_proc(proc);
}

TEST_P(proc_test, a_failed_read_does_not_poison_the_next_one) {
  const u8 compression = GetParam();
  const std::string content = pattern(40000, 4);
  stored_file_t source(stored_form(compression, content));
  fs_proc_t* proc = request_io_proc(compression);
  proc->set_source(source.file.get(), source.offset, source.stored_size, content.size());
  std::string out(content.size(), '\0');
  EXPECT_FALSE(proc->read(nullptr, 10, 0));
  EXPECT_FALSE(proc->read(out.data(), 10, content.size()));
  EXPECT_TRUE(proc->read(out.data(), 1000, 20000));
  EXPECT_TRUE(out.substr(0, 1000) == content.substr(20000, 1000));
  EXPECT_TRUE(proc->read(out.data(), content.size(), 0));
  EXPECT_TRUE(out == content);
  release_io_proc(proc);
}

INSTANTIATE_TEST_SUITE_P(compressions, proc_test,
                         ::testing::Values((u8)FS_COMPRESSION_ZLIB, (u8)FS_COMPRESSION_DEFLATE, (u8)FS_COMPRESSION_ZSTD),
                         [](const ::testing::TestParamInfo<u8>& info) {
                           return info.param == FS_COMPRESSION_ZLIB      ? std::string("zlib")
                                  : info.param == FS_COMPRESSION_DEFLATE ? std::string("deflate")
                                                                         : std::string("zstd");
                         });

// A whole read goes through libdeflate, a read in pieces through zlib's inflate: every
// cut of the stored bytes and every flipped bit must fail or pass alike. The one thing
// libdeflate takes that zlib refuses are the reserved length codes 286 and 287, which it
// reads as length 258 like code 285: a flip of 285 into 287 then still gives exactly the
// content, so where the two differ the whole read must have given the content itself.
TEST_P(whole_read_test, is_exactly_as_strict_as_reads_in_pieces) {
  const u8 compression = GetParam();
  const int wrap_bits = compression == FS_COMPRESSION_ZLIB ? 15 : -15;
  const std::string content = walk_content();
  struct form_t {
    const char* what;
    int level, strategy;
  } forms[] = {{"stored blocks", 0, Z_DEFAULT_STRATEGY}, {"fixed codes", 9, Z_FIXED}, {"dynamic codes", 9, Z_DEFAULT_STRATEGY}};
  for (const form_t& form : forms) {
    const std::string stored = deflate_with(content, form.level, form.strategy, wrap_bits);
    std::string whole_out, pieces_out;
    ASSERT_TRUE(read_content(compression, stored, content.size(), true, whole_out)) << form.what;
    EXPECT_TRUE(whole_out == content) << form.what;
    u32 mismatches = 0, lenient = 0;
    auto compare = [&](const std::string& variant, const char* change, u64 at) {
      const bool whole_ok = read_content(compression, variant, content.size(), true, whole_out);
      const bool pieces_ok = read_content(compression, variant, content.size(), false, pieces_out);
      if (whole_ok && !pieces_ok && whole_out == content) {
        ++lenient;
        return;
      }
      if (whole_ok != pieces_ok || (whole_ok && whole_out != pieces_out)) {
        if (++mismatches <= 5)
          ADD_FAILURE() << form.what << ": " << change << " at " << at << ": whole " << whole_ok << ", pieces "
                        << pieces_ok;
      }
    };
    for (u64 cut = 0; cut < stored.size(); ++cut) compare(stored.substr(0, cut), "cut", cut);
    for (u64 at = 0; at < stored.size(); ++at) {
      for (int bit = 0; bit < 8; ++bit) {
        std::string flipped = stored;
        flipped[at] ^= (char)(1 << bit);
        compare(flipped, "flipped bit", at * 8 + bit);
      }
    }
    EXPECT_EQ(mismatches, 0u) << form.what;
    if (lenient) std::printf("%s: %u changes taken by the whole read alone, giving the content\n", form.what, lenient);
  }
}

// A failed read of the stored bytes fails the whole read; reading them again in
// windows would hide the failure.
TEST_P(whole_read_test, a_failed_read_of_the_stored_bytes_fails_at_once) {
  const u8 compression = GetParam();
  umbra_test::rng_t rng{3};
  for (u64 size : {3000ull, 200000ull}) {  // stored in the input window, and beyond it
    std::string content(size, '\0');
    for (char& c : content) c = (char)(rng.below(4) == 0 ? rng.below(256) : 'q');
    const std::string stored = stored_form(compression, content);
    failing_file_t file(stored);
    fs_proc_t* proc = request_io_proc(compression);
    proc->set_source(&file, 0, stored.size(), content.size());
    std::string out(content.size(), '\0');
    file.failures = 1;
    EXPECT_FALSE(proc->read(out.data(), out.size(), 0)) << size;
    EXPECT_EQ(file.reads, 1u) << size;
    EXPECT_TRUE(proc->read(out.data(), out.size(), 0)) << size;
    EXPECT_EQ(file.reads, 2u) << "one read of all stored bytes";
    EXPECT_TRUE(out == content) << size;
    release_io_proc(proc);
  }
}

INSTANTIATE_TEST_SUITE_P(deflate_kinds, whole_read_test,
                         ::testing::Values((u8)FS_COMPRESSION_ZLIB, (u8)FS_COMPRESSION_DEFLATE),
                         [](const ::testing::TestParamInfo<u8>& info) {
                           return info.param == FS_COMPRESSION_ZLIB ? std::string("zlib") : std::string("deflate");
                         });

TEST(proc_pool, procs_are_reused_and_start_fresh) {
  const u32 outstanding = fs_proc_debug_outstanding();
  const std::string content = pattern(9000, 2);
  // A zlib proc left in the middle of a stream serves a raw deflate stream next.
  stored_file_t zlib_source(umbra_test::zlib_deflate(content));
  fs_proc_t* first = request_io_proc(FS_COMPRESSION_ZLIB);
  first->set_source(zlib_source.file.get(), zlib_source.offset, zlib_source.stored_size, content.size());
  std::string out(content.size(), '\0');
  ASSERT_TRUE(first->read(out.data(), 100, 0));
  EXPECT_EQ(fs_proc_debug_outstanding(), outstanding + 1);
  release_io_proc(first);
  EXPECT_EQ(fs_proc_debug_outstanding(), outstanding);

  fs_proc_t* second = request_io_proc(FS_COMPRESSION_DEFLATE);
  EXPECT_EQ(second, first) << "zlib and raw deflate share one pool";
  EXPECT_EQ(second->get_compression(), FS_COMPRESSION_DEFLATE);
  stored_file_t raw_source(umbra_test::raw_deflate(content));
  second->set_source(raw_source.file.get(), raw_source.offset, raw_source.stored_size, content.size());
  ASSERT_TRUE(second->read(out.data(), out.size(), 0));
  EXPECT_TRUE(out == content);

  // Two at once are two procs; Zstandard procs come from their own pool.
  fs_proc_t* third = request_io_proc(FS_COMPRESSION_ZLIB);
  EXPECT_NE(third, second);
  fs_proc_t* zstd = request_io_proc(FS_COMPRESSION_ZSTD);
  EXPECT_NE(zstd, second);
  EXPECT_NE(zstd, third);
  release_io_proc(zstd);
  EXPECT_EQ(request_io_proc(FS_COMPRESSION_ZSTD), zstd);
  release_io_proc(zstd);
  release_io_proc(third);
  release_io_proc(second);
  EXPECT_EQ(fs_proc_debug_outstanding(), outstanding);
}

TEST(proc_pool, process_steps_report_consumed_and_produced_bytes) {
  const std::string content = pattern(5000, 6);
  const std::string stored = umbra_test::zstd_compress(content);
  fs_proc_t* proc = request_io_proc(FS_COMPRESSION_ZSTD);
  std::string out(content.size(), '\0');
  u64 consumed_total = 0, produced_total = 0;
  while (!proc->has_ended()) {
    u64 consumed = 0, produced = 0;
    u64 in_size = std::min<u64>(100, stored.size() - consumed_total);
    u64 room = std::min<u64>(700, out.size() - produced_total);
    ASSERT_TRUE(proc->process(reinterpret_cast<const u8*>(stored.data()) + consumed_total, in_size,
                              reinterpret_cast<u8*>(&out[0]) + produced_total, room, &consumed, &produced));
    ASSERT_TRUE(consumed > 0 || produced > 0);
    consumed_total += consumed;
    produced_total += produced;
  }
  EXPECT_EQ(consumed_total, stored.size());
  EXPECT_TRUE(out == content);
  release_io_proc(proc);
}

TEST(proc_pool, many_threads_share_the_pools) {
  const std::string content = pattern(20000, 8);
  const std::string zlib = umbra_test::zlib_deflate(content);
  const std::string zstd = umbra_test::zstd_compress(content);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      stored_file_t zlib_source(zlib);
      stored_file_t zstd_source(zstd);
      std::string out(content.size(), '\0');
      for (int i = 0; i < 20; ++i) {
        bool use_zstd = (i + t) % 2 == 0;
        stored_file_t& source = use_zstd ? zstd_source : zlib_source;
        fs_proc_t* proc = request_io_proc(use_zstd ? FS_COMPRESSION_ZSTD : FS_COMPRESSION_ZLIB);
        proc->set_source(source.file.get(), source.offset, source.stored_size, content.size());
        if (!proc->read(out.data(), out.size(), 0) || out != content) failures++;
        release_io_proc(proc);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(proc_pool_death, only_stream_compressions_have_procs) {
  EXPECT_DEATH(request_io_proc(FS_COMPRESSION_GDEFLATE), "Request IO proc: unsupported compression type");
  EXPECT_DEATH(request_io_proc(FS_COMPRESSION_NONE), "Request IO proc: unsupported compression type");
  EXPECT_DEATH(request_io_proc(9), "Request IO proc: unsupported compression type");
}
