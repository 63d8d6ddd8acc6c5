// stb_image is compiled here and nowhere else. Failure strings are left out: they are a
// process-wide variable that tasks decoding at the same time would share, and nothing
// reads them.
#include "umbracore/umbrautils/format/raster.h"

#include <climits>
#include <cstring>

#include "umbracore/ufs/fs_file.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_NO_FAILURE_STRINGS
#define STBI_MAX_DIMENSIONS 65536
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit samples are stored as they come out of the decoder");

namespace umbra {

namespace {

// stb_image's reader over an open file: reads are cut at the end of the file, skips
// stay inside it.
struct file_reader_t {
  file_t* file;
  u64 size;
};

int read_callback(void* user, char* data, int count) {
  file_reader_t* reader = static_cast<file_reader_t*>(user);
  const u64 position = reader->file->get_position();
  if (count <= 0 || position >= reader->size) return 0;
  const u64 available = reader->size - position;
  const u64 wanted = (u64)count < available ? (u64)count : available;
  if (!reader->file->read(data, wanted)) return 0;
  return (int)wanted;
}

void skip_callback(void* user, int count) {
  file_reader_t* reader = static_cast<file_reader_t*>(user);
  const u64 position = reader->file->get_position();
  u64 next;
  if (count < 0) {
    next = (u64)(-(s64)count) > position ? 0 : position - (u64)(-(s64)count);
  } else {
    next = position + (u64)count;
    if (next > reader->size) next = reader->size;
  }
  reader->file->set_position(next);
}

int eof_callback(void* user) {
  file_reader_t* reader = static_cast<file_reader_t*>(user);
  return reader->file->get_position() >= reader->size ? 1 : 0;
}

constexpr stbi_io_callbacks FILE_CALLBACKS = {read_callback, skip_callback, eof_callback};

// Bytes in memory for the decoder, noting whether it ever asked for more than there are.
struct memory_reader_t {
  const u8* bytes;
  u64 size;
  u64 position;
  bool ran_out;
};

int memory_read_callback(void* user, char* data, int count) {
  memory_reader_t* reader = static_cast<memory_reader_t*>(user);
  if (count <= 0) return 0;
  const u64 available = reader->size - reader->position;
  if (available == 0) {
    reader->ran_out = true;
    return 0;
  }
  const u64 taken = (u64)count < available ? (u64)count : available;
  std::memcpy(data, reader->bytes + reader->position, taken);
  reader->position += taken;
  return (int)taken;
}

void memory_skip_callback(void* user, int count) {
  memory_reader_t* reader = static_cast<memory_reader_t*>(user);
  if (count < 0) {
    const u64 back = (u64)(-(s64)count);
    reader->position = back > reader->position ? 0 : reader->position - back;
  } else {
    const u64 available = reader->size - reader->position;
    if ((u64)count > available) reader->ran_out = true;
    reader->position += (u64)count < available ? (u64)count : available;
  }
}

int memory_eof_callback(void* user) {
  const memory_reader_t* reader = static_cast<const memory_reader_t*>(user);
  return reader->position >= reader->size ? 1 : 0;
}

constexpr stbi_io_callbacks MEMORY_CALLBACKS = {memory_read_callback, memory_skip_callback, memory_eof_callback};

bool accept_info(int width, int height, int components, int is_16_bit, raster_info_t* out) {
  if (width <= 0 || height <= 0 || components <= 0) return false;
  if ((u32)width > RASTER_MAX_DIMENSION || (u32)height > RASTER_MAX_DIMENSION) return false;
  out->width = (u32)width;
  out->height = (u32)height;
  out->components = (u32)components;
  out->is_16_bit = is_16_bit != 0;
  return true;
}

// Whether the decoder must be asked for 16-bit samples.
bool decodes_16_bit(const raster_info_t& info) { return info.is_16_bit && info.components != 3; }

}  // namespace

bool raster_probe(file_t& file, raster_info_t* out) {
  fs_stat_t stat;
  if (!file.stat(&stat)) return false;
  file_reader_t reader = {&file, stat.size};
  const u64 start = file.get_position();
  int width = 0, height = 0, components = 0;
  if (!stbi_info_from_callbacks(&FILE_CALLBACKS, &reader, &width, &height, &components)) return false;
  file.set_position(start);
  const int is_16_bit = stbi_is_16_bit_from_callbacks(&FILE_CALLBACKS, &reader);
  return accept_info(width, height, components, is_16_bit, out);
}

bool raster_probe(const u8* bytes, u64 size, raster_info_t* out) {
  if (!bytes || size == 0 || size > (u64)INT_MAX) return false;
  int width = 0, height = 0, components = 0;
  if (!stbi_info_from_memory(bytes, (int)size, &width, &height, &components)) return false;
  const int is_16_bit = stbi_is_16_bit_from_memory(bytes, (int)size);
  return accept_info(width, height, components, is_16_bit, out);
}

format_t raster_format(const raster_info_t& info) {
  switch (info.components) {
    case 1:
      return info.is_16_bit ? format_t::R16_UNORM : format_t::R8_UNORM;
    case 2:
      return info.is_16_bit ? format_t::R16G16_UNORM : format_t::R8G8_UNORM;
    case 3:
      return format_t::R8G8B8_UNORM_SRGB;
    case 4:
      return info.is_16_bit ? format_t::R16G16B16A16_UNORM : format_t::R8G8B8A8_UNORM_SRGB;
    default:
      return format_t::UNKNOWN;
  }
}

bool raster_decoded_size(const raster_info_t& info, u64* size) {
  const u64 bits = format_bits_per_pixel(raster_format(info));
  if (bits == 0) return false;
  u64 pixels;
  if (__builtin_mul_overflow((u64)info.width, (u64)info.height, &pixels)) return false;
  if (__builtin_mul_overflow(pixels, bits / 8, size)) return false;
  return true;
}

bool raster_decode(const u8* bytes, u64 size, const raster_info_t& info, array_dyn_t<u8>& pixels) {
  // The image must still be the one that was probed: the decoder sizes its buffer from
  // the header it reads now.
  raster_info_t actual;
  if (!raster_probe(bytes, size, &actual) || actual.width != info.width || actual.height != info.height ||
      actual.components != info.components || actual.is_16_bit != info.is_16_bit) {
    return false;
  }
  u64 expected;
  if (!raster_decoded_size(info, &expected)) return false;
  int width = 0, height = 0, components = 0;
  const int wanted = (int)info.components;
  memory_reader_t reader = {bytes, size, 0, false};
  void* decoded =
      decodes_16_bit(info)
          ? (void*)stbi_load_16_from_callbacks(&MEMORY_CALLBACKS, &reader, &width, &height, &components, wanted)
          : (void*)stbi_load_from_callbacks(&MEMORY_CALLBACKS, &reader, &width, &height, &components, wanted);
  if (!decoded) return false;
  // A decoder that wanted bytes beyond the end read a cut file: stb_image fills the rest
  // of such an image (TGA, JPEG and others) with zeros instead of failing.
  const bool ok = !reader.ran_out && (u32)width == info.width && (u32)height == info.height &&
                  pixels.resize_uninitialized(expected);
  if (ok) std::memcpy(pixels.data(), decoded, expected);
  stbi_image_free(decoded);
  return ok;
}

}  // namespace umbra
