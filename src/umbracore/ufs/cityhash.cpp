#include "umbracore/ufs/cityhash.h"

#include <cstring>

namespace umbra {

namespace {

constexpr u64 K0 = 0xC3A5C85C97CB3127ull;
constexpr u64 K1 = 0xB492B66FBE98F273ull;
constexpr u64 K2 = 0x9AE16A3B2F90404Full;
constexpr u64 K3 = 0xC949D7C7509E6557ull;
constexpr u64 HASH_MUL = 0x9DDFEA08EB382D69ull;

// Archive keys are defined on little-endian loads; a big-endian host swaps.
inline u64 fetch64(const u8* p) {
  u64 value;
  std::memcpy(&value, p, sizeof(value));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

inline u64 fetch32(const u8* p) {
  u32 value;
  std::memcpy(&value, p, sizeof(value));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap32(value);
#endif
  return value;
}

// Every caller passes a shift in 1..63 except the length-dependent one, which is
// 9..16; shifting a u64 by 64 would be undefined, so 0 is never reached here.
inline u64 rotate(u64 value, unsigned shift) { return (value >> shift) | (value << (64 - shift)); }

inline u64 shift_mix(u64 value) { return value ^ (value >> 47); }

inline u64 hash128_to_64(u64 low, u64 high) {
  u64 a = (low ^ high) * HASH_MUL;
  a ^= a >> 47;
  u64 b = (high ^ a) * HASH_MUL;
  b ^= b >> 47;
  return b * HASH_MUL;
}

inline u64 hash_len16(u64 u, u64 v) { return hash128_to_64(u, v); }

u64 hash_len0to16(const u8* s, size_t len) {
  if (len > 8) {
    u64 a = fetch64(s);
    u64 b = fetch64(s + len - 8);
    return hash_len16(a, rotate(b + len, (unsigned)len)) ^ b;
  }
  if (len >= 4) {
    u64 a = fetch32(s);
    return hash_len16(len + (a << 3), fetch32(s + len - 4));
  }
  if (len > 0) {
    u8 a = s[0];
    u8 b = s[len >> 1];
    u8 c = s[len - 1];
    u32 y = (u32)a + ((u32)b << 8);
    u32 z = (u32)len + ((u32)c << 2);
    return shift_mix(y * K2 ^ z * K3) * K2;
  }
  return K2;
}

u64 hash_len17to32(const u8* s, size_t len) {
  u64 a = fetch64(s) * K1;
  u64 b = fetch64(s + 8);
  u64 c = fetch64(s + len - 8) * K2;
  u64 d = fetch64(s + len - 16) * K0;
  return hash_len16(rotate(a - b, 43) + rotate(c, 30) + d, a + rotate(b ^ K3, 20) - c + len);
}

struct pair64_t {
  u64 first;
  u64 second;
};

inline pair64_t weak_hash_len32_with_seeds(u64 w, u64 x, u64 y, u64 z, u64 a, u64 b) {
  a += w;
  b = rotate(b + a + z, 21);
  u64 c = a;
  a += x;
  a += y;
  b += rotate(a, 44);
  return {a + z, b + c};
}

inline pair64_t weak_hash_len32_with_seeds(const u8* s, u64 a, u64 b) {
  return weak_hash_len32_with_seeds(fetch64(s), fetch64(s + 8), fetch64(s + 16), fetch64(s + 24), a, b);
}

u64 hash_len33to64(const u8* s, size_t len) {
  u64 z = fetch64(s + 24);
  u64 a = fetch64(s) + (len + fetch64(s + len - 16)) * K0;
  u64 b = rotate(a + z, 52);
  u64 c = rotate(a, 37);
  a += fetch64(s + 8);
  c += rotate(a, 7);
  a += fetch64(s + 16);
  u64 vf = a + z;
  u64 vs = b + rotate(a, 31) + c;
  a = fetch64(s + 16) + fetch64(s + len - 32);
  z = fetch64(s + len - 8);
  b = rotate(a + z, 52);
  c = rotate(a, 37);
  a += fetch64(s + len - 24);
  c += rotate(a, 7);
  a += fetch64(s + len - 16);
  u64 wf = a + z;
  u64 ws = b + rotate(a, 31) + c;
  u64 r = shift_mix((vf + ws) * K2 + (wf + vs) * K0);
  return shift_mix(r * K0 + vs) * K2;
}

// Above 64 bytes: the tail is hashed first, then 64-byte blocks from the start; the
// last, possibly partial, block is covered by the tail already.
u64 hash_len65_up(const u8* s, size_t len) {
  u64 x = fetch64(s + len - 40);
  u64 y = fetch64(s + len - 16) + fetch64(s + len - 56);
  u64 z = hash_len16(fetch64(s + len - 48) + len, fetch64(s + len - 24));
  pair64_t v = weak_hash_len32_with_seeds(s + len - 64, len, z);
  pair64_t w = weak_hash_len32_with_seeds(s + len - 32, y + K1, x);
  x = x * K1 + fetch64(s);

  size_t remaining = (len - 1) & ~(size_t)63;
  do {
    x = rotate(x + y + v.first + fetch64(s + 8), 37) * K1;
    y = rotate(y + v.second + fetch64(s + 48), 42) * K1;
    x ^= w.second;
    y += v.first + fetch64(s + 40);
    z = rotate(z + w.first, 33) * K1;
    v = weak_hash_len32_with_seeds(s, v.second * K1, x + w.first);
    w = weak_hash_len32_with_seeds(s + 32, z + w.second, y + fetch64(s + 16));
    u64 t = z;
    z = x;
    x = t;
    s += 64;
    remaining -= 64;
  } while (remaining != 0);
  return hash_len16(hash_len16(v.first, w.first) + shift_mix(y) * K1 + z, hash_len16(v.second, w.second) + x);
}

}  // namespace

u64 cityhash64(const void* bytes, size_t length) {
  const u8* s = static_cast<const u8*>(bytes);
  if (length <= 16) return hash_len0to16(s, length);
  if (length <= 32) return hash_len17to32(s, length);
  if (length <= 64) return hash_len33to64(s, length);
  return hash_len65_up(s, length);
}

}  // namespace umbra
