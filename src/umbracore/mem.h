// Little-endian loads and stores at any address, and rounding up to an alignment: the
// byte-level access that every on-disk format of the tool (archives, DDS, model
// headers, GDeflate streams) is read and written with.
#pragma once

#include <cstring>

#include "umbracore/types.h"

namespace umbra {

// Through memcpy, the compiler emits one plain load or store on a little-endian
// machine and reads nothing outside the given bytes on any machine.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define UMBRA_MEM_SWAP_LE(bits, v) __builtin_bswap##bits(v)
#else
#define UMBRA_MEM_SWAP_LE(bits, v) (v)
#endif

inline u16 load_le16(const void* p) {
  u16 v;
  std::memcpy(&v, p, sizeof(v));
  return UMBRA_MEM_SWAP_LE(16, v);
}
inline u32 load_le32(const void* p) {
  u32 v;
  std::memcpy(&v, p, sizeof(v));
  return UMBRA_MEM_SWAP_LE(32, v);
}
inline u64 load_le64(const void* p) {
  u64 v;
  std::memcpy(&v, p, sizeof(v));
  return UMBRA_MEM_SWAP_LE(64, v);
}

inline void store_le16(void* p, u16 v) {
  v = UMBRA_MEM_SWAP_LE(16, v);
  std::memcpy(p, &v, sizeof(v));
}
inline void store_le32(void* p, u32 v) {
  v = UMBRA_MEM_SWAP_LE(32, v);
  std::memcpy(p, &v, sizeof(v));
}
inline void store_le64(void* p, u64 v) {
  v = UMBRA_MEM_SWAP_LE(64, v);
  std::memcpy(p, &v, sizeof(v));
}

#undef UMBRA_MEM_SWAP_LE

constexpr bool is_power_of_two(u64 value) { return value != 0 && (value & (value - 1)) == 0; }

// The smallest multiple of alignment (a power of two) that is at least value. The
// caller keeps value at least alignment - 1 below 2^64.
constexpr u64 align_up(u64 value, u64 alignment) { return (value + alignment - 1) & ~(alignment - 1); }

}  // namespace umbra
