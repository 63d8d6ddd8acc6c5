// The image compression step on the pool: pages of one image are spread over the free
// workers, several images compress at once, and every stream is the one a single thread
// writes.
#include "tools/packer/packer_image.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/texture_files.h"
#include "tools/packer/packer_options.h"
#include "umbracore/thread/pool_fixture.h"
#include "umbracore/umbrautils/format/gdeflate.h"

using namespace umbra;

namespace {

array_dyn_t<u8> image_data(size_t n, u32 seed) {
  const std::string bytes = umbra_test::patterned_bytes(n, seed);
  array_dyn_t<u8> data;
  data.append_block(reinterpret_cast<const u8*>(bytes.data()), bytes.size());
  return data;
}

std::vector<u8> one_thread_stream(const array_dyn_t<u8>& data) {
  array_dyn_t<u8> stream;
  EXPECT_TRUE(gdeflate_compress(data.data(), data.count(), stream));
  return std::vector<u8>(stream.begin(), stream.end());
}

// Compresses its image on a worker, as an image entry task does.
class compress_task_t : public thread::task_t {
 public:
  explicit compress_task_t(array_dyn_t<u8>&& data) : thread::task_t(1, 1, "compress_task_t"), data_(std::move(data)) {}
  void execute() override { compression_ = platform_compress_image(data_); }
  array_dyn_t<u8> data_;
  fs_compression_t compression_ = FS_COMPRESSION_NONE;
};

class platform_compress_image_test : public umbra_test::pool_fixture_t {};

}  // namespace

TEST_F(platform_compress_image_test, images_on_every_worker_at_once_give_single_thread_streams) {
  for (u32 workers : {1u, 2u, 3u}) {
    SCOPED_TRACE(workers);
    start_pool(workers);
    std::vector<std::vector<u8>> expected;
    std::vector<std::unique_ptr<compress_task_t>> tasks;
    // More images than workers: some wait queued while others' pages run.
    for (u32 i = 0; i < 5; ++i) {
      array_dyn_t<u8> data = image_data(3 * 65536 + 1000 * i + 17, 40 + i);
      expected.push_back(one_thread_stream(data));
      tasks.push_back(std::make_unique<compress_task_t>(std::move(data)));
    }
    for (auto& task : tasks) thread::submit_normal(task.get());
    // The main thread compresses one image of its own meanwhile.
    array_dyn_t<u8> own = image_data(4 * 65536, 7);
    const std::vector<u8> own_expected = one_thread_stream(own);
    EXPECT_EQ(platform_compress_image(own), FS_COMPRESSION_GDEFLATE);
    EXPECT_TRUE(std::vector<u8>(own.begin(), own.end()) == own_expected);
    for (size_t i = 0; i < tasks.size(); ++i) {
      thread::wait(tasks[i].get());
      EXPECT_EQ(tasks[i]->compression_, FS_COMPRESSION_GDEFLATE);
      EXPECT_TRUE(std::vector<u8>(tasks[i]->data_.begin(), tasks[i]->data_.end()) == expected[i]) << i;
    }
    tasks.clear();
    thread_pool_shutdown();
  }
}

TEST_F(platform_compress_image_test, keeps_data_that_does_not_shrink_and_respects_nocompress) {
  start_pool(2);
  const std::string noise = umbra_test::random_bytes(2 * 65536 + 5, 3);
  array_dyn_t<u8> data;
  data.append_block(reinterpret_cast<const u8*>(noise.data()), noise.size());
  EXPECT_EQ(platform_compress_image(data), FS_COMPRESSION_NONE);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()), data.count()), noise);

  array_dyn_t<u8> pattern = image_data(65536 * 2, 1);
  const std::vector<u8> before(pattern.begin(), pattern.end());
  no_compress = 1;
  EXPECT_EQ(platform_compress_image(pattern), FS_COMPRESSION_NONE);
  no_compress = 0;
  EXPECT_TRUE(std::vector<u8>(pattern.begin(), pattern.end()) == before);
}
