// Bringing the file system up and down: the platform layer first, then the system
// device, then the unified devices (four layers mounted into the root); down in reverse.
#include "umbracore/platform/platform_fs.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/sysfs_device.h"
#include "umbracore/ufs/ufs_device.h"

namespace umbra {

namespace {

constexpr u32 LAYER_COUNT = 4;

struct fs_system_t {
  platform_fs_t platform;
  auto_ptr_t<sysfs_device_t> system_device;
  auto_ptr_t<ufs_device_t> root;
  auto_ptr_t<ufs_device_t> layers[LAYER_COUNT];
};

// Written by start-up and shutdown only, on the main thread, while no other thread
// uses the file system.
fs_system_t* g_fs = nullptr;

}  // namespace

bool fs_startup(const char* system_root) {
  if (g_fs) return true;
  auto_ptr_t<fs_system_t> fs(new fs_system_t());
  if (!fs->platform.init()) return false;
  fs->system_device.reset(new sysfs_device_t(&fs->platform, system_root ? system_root : ""));
  fs->root.reset(new ufs_device_t(FS_UNIFIED_INDEX_ROOT));
  for (u32 i = 0; i < LAYER_COUNT; ++i) {
    fs->layers[i].reset(new ufs_device_t(i));
    fs->root->mount(fs->layers[i].get(), (s32)(LAYER_COUNT - 1 - i));
  }
  g_fs = fs.detach();
  return true;
}

void fs_shutdown() {
  if (!g_fs) return;
  fs_system_t* fs = g_fs;
  g_fs = nullptr;
  for (u32 i = LAYER_COUNT; i-- > 0;) fs->root->unmount(fs->layers[i].get());
  fs->root.reset();
  for (auto_ptr_t<ufs_device_t>& layer : fs->layers) layer.reset();
  fs->system_device.reset();
  fs->platform.shutdown();
  delete fs;
}

bool fs_is_running() { return g_fs != nullptr; }

fs_device_t* fs_get_device(u32 device_type) {
  if (!g_fs) return nullptr;
  if (device_type == FS_DEVICE_UFS) return g_fs->root.get();
  if (device_type == FS_DEVICE_SYSFS) return g_fs->system_device.get();
  return nullptr;
}

fs_device_t* fs_get_system_device() { return fs_get_device(FS_DEVICE_SYSFS); }

ufs_device_t* fs_get_root_device() { return g_fs ? g_fs->root.get() : nullptr; }

}  // namespace umbra
