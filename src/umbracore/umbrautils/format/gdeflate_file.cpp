#include "umbracore/umbrautils/format/gdeflate_file.h"

#include "umbracore/collections/arrays/array.h"
#include "umbracore/umbrautils/format/gdeflate.h"

namespace umbra {

bool gdeflate_compress_file(file_t& out, file_t& in) {
  in.set_position(0);
  const u64 size = in.get_size();
  if (size == 0 || size > (u64)GDEFLATE_MAX_PAGES * GDEFLATE_PAGE_SIZE) return false;
  array_dyn_t<u8> input;
  if (!input.resize_uninitialized(size) || !in.read_at(input.data(), size, 0)) return false;
  array_dyn_t<u8> stream;
  if (!gdeflate_compress(input.data(), size, stream)) return false;
  input.release_storage();
  // A stream that did not reach the file is a failure, not a smaller archive entry.
  return out.write(stream.data(), stream.count());
}

}  // namespace umbra
