// Mounting an opened Cairn archive with the read device of its version.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

// Probes the archive's first 12 bytes and builds the version 1 or version 2 device,
// which then owns the archive file. Null (printing nothing of its own) when the magic
// is not "QAR#", the version is neither 1 nor 2, or the mount failed; the archive file
// stays with the caller only when the probe failed before a device was built.
fs_device_t* open_cairn_device(auto_ptr_t<file_t>& archive);

}  // namespace umbra
