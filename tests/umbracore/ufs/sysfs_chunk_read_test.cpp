// Chunk reads of loose files through the system device and the IO server.
#include <gtest/gtest.h>

#include <string>

#include "support/cairn_builder.h"
#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_io_server_core.h"
#include "umbracore/ufs/fs_meta.h"

using namespace umbra;

TEST(sysfs_chunk_read, reads_and_decodes_a_chunk_of_a_loose_file) {
  umbra_test::log_capture_t log;
  ASSERT_TRUE(fs_startup(""));
  ASSERT_TRUE(fs_io_server_startup());
  umbra_test::temp_dir_t dir;
  const std::string content(20000, 'c');
  const std::string stored = umbra_test::zlib_deflate(content);
  umbra_test::write_file(dir / "f.bin", "prefix--" + stored);
  fs_chunk_t chunk{};
  chunk.stored_size = stored.size();
  chunk.size = content.size();
  chunk.offset = 8;
  chunk.compression = FS_COMPRESSION_ZLIB;
  std::string target(content.size(), '\0');
  fs_device_t* device = fs_get_system_device();
  fs_io_request_t* request = device->chunk_read(&target[0], FS_CHUNK_TARGET_MEMORY, (dir / "f.bin").c_str(), chunk, nullptr);
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(device->io_wait(request));
  EXPECT_EQ(target, content);
  EXPECT_EQ(device->chunk_read(&target[0], FS_CHUNK_TARGET_MEMORY, (dir / "missing.bin").c_str(), chunk, nullptr), nullptr);
  fs_io_server_shutdown();
  fs_shutdown();
}
