// Devices of the unified file system: the system file device, the unified devices that
// layer mounted devices, and the archive devices all answer the same operations, and
// every file of the tool is opened through one of them.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

struct fs_mstat_t;
struct fs_chunk_t;

// Device kinds (what a device is, as opposed to the device type a path is opened with).
enum fs_device_kind_t : u32 {
  FS_DEVICE_KIND_NONE = 0,
  FS_DEVICE_KIND_SYSTEM = 1,
  FS_DEVICE_KIND_CAIRN = 4,
  FS_DEVICE_KIND_UNIFIED = 5,
};

// Index of the root unified device; the layer devices below it have 0 to 3.
constexpr u32 FS_UNIFIED_INDEX_ROOT = 4;

// One entry of a directory listing: its own name (no directory part) and its kind
// (FS_KIND_FILE or FS_KIND_DIRECTORY).
struct fs_dir_entry_t {
  mstring_t name;
  u32 kind = FS_KIND_NONE;
};

struct fs_dir_list_t {
  array_dyn_t<fs_dir_entry_t> entries;
  // Names the system device leaves out of a listing (those beginning with '.' or '@').
  u64 skipped = 0;

  u64 count() const { return entries.count(); }
  const fs_dir_entry_t& operator[](u64 index) const { return entries[index]; }
  // Appends one entry; false when memory runs out.
  bool add(const char* name, u32 kind);
  bool contains(const char* name) const;
};

class fs_device_t {
 public:
  virtual ~fs_device_t() = default;

  // Opens a file; null on failure (fs_device_open prints the message).
  virtual file_t* open(const char* path, u32 mode) { return nullptr; }
  virtual bool remove(const char* path) { return false; }
  // Metadata of a path; false when it does not exist. out may be null.
  virtual bool stat(const char* path, fs_stat_t* out) { return false; }
  virtual bool is_file(const char* path);
  virtual bool is_dir(const char* path);
  virtual bool mstat(const char* path, fs_mstat_t* out) { return false; }
  // Reads one stored chunk through the IO server into target (kind: fs_chunk_target_t).
  virtual fs_io_request_t* chunk_read(void* target, u32 target_kind, const char* path, const fs_chunk_t& chunk,
                                      fs_io_callback_t callback) {
    return nullptr;
  }
  // Whether a chunk request has finished.
  virtual bool io_is_done(fs_io_request_t* request);
  // Waits for a chunk request, recycles it and returns its success.
  virtual bool io_wait(fs_io_request_t* request);
  // Creates the directory and every missing parent.
  virtual bool mkdir(const char* path) { return false; }
  virtual bool rmdir(const char* path) { return false; }
  virtual bool copy(const char* from, const char* to, bool overwrite) { return false; }
  virtual bool move(const char* from, const char* to, bool overwrite) { return false; }
  // The entries of a directory; empty on failure.
  virtual auto_ptr_t<fs_dir_list_t> read_dir(const char* path) { return auto_ptr_t<fs_dir_list_t>(); }
  // mkdir of everything before the last '/'.
  virtual bool mkdir_for_file(const char* path);
  // Device-specific: only the version 2 archive device has a security descriptor.
  virtual bool get_security_descriptor(array_t<u8>& out) { return false; }
  // Remembers where the device is mounted (empty path, FS_DEVICE_ID_NONE and the root
  // index once it is unmounted).
  virtual bool on_mounted(const char* mount_path, u16 device_id, u32 unified_index);

  u32 get_kind() const { return kind; }
  const mstring_t& get_name() const { return name; }
  const mstring_t& get_mount_path() const { return mount_path; }
  u16 get_device_id() const { return device_id; }
  u32 get_unified_index() const { return unified_index; }
  bool is_read_only() const { return read_only; }
  bool is_available() const { return available; }

  fs_device_t(const fs_device_t&) = delete;
  fs_device_t& operator=(const fs_device_t&) = delete;

  u32 kind = FS_DEVICE_KIND_NONE;
  mstring_t name;        // system device: its root; archive devices: the archive's path
  mstring_t mount_path;
  u16 device_id = FS_DEVICE_ID_NONE;
  u32 unified_index = FS_UNIFIED_INDEX_ROOT;
  bool read_only = false;  // the unified device does not ask it to change anything
  bool available = true;
  u64 entry_count = ~0ull;  // archive devices: entries of the mounted archive

 protected:
  explicit fs_device_t(u32 device_kind) : kind(device_kind) {}
};

class ufs_device_t;

// The devices that device types select: FS_DEVICE_UFS (the root unified device) and
// FS_DEVICE_SYSFS; null for other types and before start-up.
fs_device_t* fs_get_device(u32 device_type);
fs_device_t* fs_get_system_device();
ufs_device_t* fs_get_root_device();

// Opens path on the device of the given type; on success out owns the file and the
// file's device type is set. Prints the failure (not for a failing create_new).
bool fs_device_open(auto_ptr_t<file_t>& out, const char* path, u32 mode, u32 device_type);
// The tool's general open: read-only opens may be served by the file cache, opens that
// write drop the cached copy of that path first.
bool fs_open(auto_ptr_t<file_t>& out, const char* path, u32 mode, u32 device_type);
// Opens path in create_truncate mode on the system device after dropping any cached
// copy of it: the one way extracted files are created.
bool fs_open_create_truncate_system(auto_ptr_t<file_t>& out, const char* path);

// Brings up the platform file layer, the system device (with the given root, "" for
// paths that pass through unchanged) and the unified devices; false when the platform
// layer cannot start. fs_shutdown takes them down in reverse; both may be called again
// afterwards.
bool fs_startup(const char* system_root = "");
void fs_shutdown();
bool fs_is_running();

}  // namespace umbra
