// Round trips over random and structured inputs of random sizes (1 byte to 3 pages), and
// damaged streams: every truncation fails, and bit flips anywhere either fail or decode
// to exactly the expected number of bytes, never touching memory outside the buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/test_rng.h"
#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace {

using umbra::u32;
using umbra::u64;
using umbra::u8;

using umbra_test::rng_t;

enum data_kind_t {
  KIND_RANDOM,
  KIND_ZEROS,
  KIND_TEXT,
  KIND_RUNS,
  KIND_BLOCKS,
  KIND_MUTATED_REPEAT,
  KIND_MIXED,
  KIND_COUNT
};

void append_kind(rng_t& rng, data_kind_t kind, size_t n, std::vector<u8>& out) {
  static const char* words[] = {"page", "lane", "the", "of", "stream", "texture", "block", "and", "window", "64"};
  const size_t end = out.size() + n;
  switch (kind) {
    case KIND_RANDOM:
      while (out.size() < end) out.push_back((u8)rng.next());
      break;
    case KIND_ZEROS:
      out.resize(end, 0);
      break;
    case KIND_TEXT:
      while (out.size() < end) {
        const char* w = words[rng.below(10)];
        out.insert(out.end(), w, w + std::strlen(w));
        out.push_back(rng.below(8) ? ' ' : '\n');
      }
      break;
    case KIND_RUNS:
      while (out.size() < end) out.insert(out.end(), 1 + rng.below(300), (u8)rng.below(4));
      break;
    case KIND_BLOCKS:  // 8-byte texture-like blocks: drifting end points, a few index patterns
      for (u32 i = 0; out.size() < end; ++i) {
        const u8 block[8] = {(u8)(i / 7), (u8)(i / 13 + rng.below(3)), (u8)(i / 5), (u8)rng.below(2),
                             (u8)(rng.below(4) ? 0x55 : rng.next()), 0x55, (u8)(rng.below(3) ? 0xAA : 0xFF), 0};
        out.insert(out.end(), block, block + 8);
      }
      break;
    case KIND_MUTATED_REPEAT: {
      const size_t period = 1 + rng.below(5000);
      const size_t start = out.size();
      while (out.size() < end) {
        const size_t i = out.size() - start;
        out.push_back(i < period ? (u8)rng.next() : (rng.below(50) ? out[out.size() - period] : (u8)rng.next()));
      }
      break;
    }
    default:
      while (out.size() < end) append_kind(rng, (data_kind_t)rng.below(KIND_MIXED), 1 + rng.below(4000), out);
      break;
  }
  out.resize(end);
}

std::vector<u8> make_input(rng_t& rng, data_kind_t kind, size_t n) {
  std::vector<u8> data;
  data.reserve(n);
  append_kind(rng, kind, n, data);
  return data;
}

std::vector<u8> compress(const std::vector<u8>& input) {
  umbra::array_dyn_t<u8> out;
  EXPECT_TRUE(umbra::gdeflate_compress(input.data(), input.size(), out));
  return std::vector<u8>(out.begin(), out.end());
}

// Decodes into a buffer of exactly out_size bytes on the heap, so that the address
// sanitizer sees any write past it.
bool decompress(const std::vector<u8>& stream, size_t out_size, std::vector<u8>* result = nullptr) {
  std::vector<u8> exact_stream(stream);
  std::unique_ptr<u8[]> out(new u8[out_size ? out_size : 1]);
  const bool ok = umbra::gdeflate_decompress(out.get(), out_size, exact_stream.data(), exact_stream.size());
  if (ok && result) result->assign(out.get(), out.get() + out_size);
  return ok;
}

TEST(gdeflate_roundtrip, random_and_structured_inputs_of_random_sizes) {
  rng_t rng{20260101};
  const size_t fixed_sizes[] = {1, 2, 3, 4, 31, 127, 128, 129, 1000, 65535, 65536, 65537, 131072, 196608};
  for (u32 round = 0; round < 42; ++round) {
    const data_kind_t kind = (data_kind_t)(round % KIND_COUNT);
    const size_t n = round < 14 ? fixed_sizes[round] : 1 + rng.below(3 * 65536);
    SCOPED_TRACE("kind " + std::to_string(kind) + ", " + std::to_string(n) + " bytes");
    const std::vector<u8> input = make_input(rng, kind, n);
    const std::vector<u8> stream = compress(input);
    std::vector<u8> back;
    ASSERT_TRUE(decompress(stream, n, &back));
    EXPECT_TRUE(back == input);
    // Incompressible pages fall back to stored bytes: a stored page holds the bytes, the
    // 32 first words and at most one partly used word per lane beyond its share.
    const u64 pages = (n + 65535) / 65536;
    EXPECT_LE(stream.size(), n + 8 + pages * (4 + 264));
    // The wrong expected size is refused.
    EXPECT_FALSE(decompress(stream, n + 1));
    EXPECT_FALSE(decompress(stream, n - 1));
  }
}

TEST(gdeflate_roundtrip, every_truncation_fails) {
  rng_t rng{7};
  for (data_kind_t kind : {KIND_TEXT, KIND_RANDOM, KIND_MIXED}) {
    const std::vector<u8> input = make_input(rng, kind, 65536 + 5000);
    const std::vector<u8> stream = compress(input);
    std::vector<size_t> cuts;
    for (size_t c = 0; c < 300 && c < stream.size(); ++c) cuts.push_back(c);
    for (u32 i = 0; i < 300; ++i) cuts.push_back(rng.below((u32)stream.size()));
    for (size_t c = stream.size() - 64; c < stream.size(); ++c) cuts.push_back(c);
    for (size_t cut : cuts) {
      const std::vector<u8> part(stream.begin(), stream.begin() + cut);
      EXPECT_FALSE(decompress(part, input.size())) << "cut at " << cut;
    }
  }
}

TEST(gdeflate_roundtrip, bit_flips_fail_cleanly) {
  rng_t rng{11};
  u32 failures = 0;
  u32 flips = 0;
  for (data_kind_t kind : {KIND_TEXT, KIND_BLOCKS, KIND_MIXED, KIND_RUNS}) {
    const std::vector<u8> input = make_input(rng, kind, 70000);
    const std::vector<u8> stream = compress(input);
    for (u32 i = 0; i < 400; ++i, ++flips) {
      std::vector<u8> damaged(stream);
      const size_t at = i < 100 ? rng.below(140) : rng.below((u32)damaged.size());
      damaged[at] ^= (u8)(1u << rng.below(8));
      std::vector<u8> back;
      if (!decompress(damaged, input.size(), &back)) {
        ++failures;
      } else {
        EXPECT_EQ(back.size(), input.size());
      }
    }
  }
  // Most damage is caught; the format has no checksum, so not all of it can be.
  EXPECT_GT(failures, flips / 2);
}

TEST(gdeflate_roundtrip, many_threads_at_once) {
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (u32 t = 0; t < ok.size(); ++t) {
    threads.emplace_back([t, &ok] {
      rng_t rng{100 + t};
      const std::vector<u8> input = make_input(rng, KIND_MIXED, 100000 + 1000 * t);
      umbra::array_dyn_t<u8> stream;
      std::vector<u8> back(input.size());
      ok[t] = umbra::gdeflate_compress(input.data(), input.size(), stream) &&
              umbra::gdeflate_decompress(back.data(), back.size(), stream.data(), stream.count()) && back == input;
    });
  }
  for (auto& th : threads) th.join();
  for (int v : ok) EXPECT_TRUE(v);
}

// A page either fits the room it is given, byte for byte as with ample room, or the
// encoder reports 0; it never writes past the room (the heap buffer is exactly that
// size, so the address sanitizer sees any stray write).
TEST(gdeflate_roundtrip, pages_respect_their_capacity) {
  std::unique_ptr<umbra::gdeflate_encoder_t, void (*)(umbra::gdeflate_encoder_t*)> encoder(
      umbra::gdeflate_encoder_create(), umbra::gdeflate_encoder_destroy);
  ASSERT_TRUE(encoder);
  rng_t rng{77};
  for (data_kind_t kind : {KIND_TEXT, KIND_RANDOM, KIND_BLOCKS, KIND_MIXED}) {
    SCOPED_TRACE(kind);
    const std::vector<u8> input = make_input(rng, kind, 65536);
    std::vector<u8> ample(umbra::GDEFLATE_MAX_COMPRESSED_PAGE);
    const u32 size = umbra::gdeflate_encode_page(*encoder, input.data(), (u32)input.size(), ample.data(), (u32)ample.size());
    ASSERT_GT(size, 0u);
    for (u32 capacity : {size, size - 1, size - 4, size / 2, 200u, 127u}) {
      std::unique_ptr<u8[]> room(new u8[capacity]);
      const u32 got = umbra::gdeflate_encode_page(*encoder, input.data(), (u32)input.size(), room.get(), capacity);
      if (capacity >= size) {
        ASSERT_EQ(got, size);
        EXPECT_EQ(0, std::memcmp(room.get(), ample.data(), size));
      } else {
        EXPECT_EQ(got, 0u) << "capacity " << capacity;
      }
    }
  }
}

// Pages of near-random bytes take a lighter search, which must still follow a repeat up to
// the page's last byte, whether the page ends where the repeat does or inside it.
TEST(gdeflate_roundtrip, near_random_pages_keep_their_repeats) {
  struct repeat_case_t {
    size_t period;  // random bytes, then copied over and over
    size_t size;
    size_t max_stream;  // what finding the repeats brings it under
  };
  const repeat_case_t cases[] = {
      {30000, 65536, 31000},  // a match that runs into the page's last byte
      {4099, 65531, 6000},    // many long matches, page end in the middle of one
      {300, 2000, 1000},      // a short page
  };
  rng_t rng{4242};
  for (const repeat_case_t& c : cases) {
    SCOPED_TRACE(std::to_string(c.period) + " of " + std::to_string(c.size));
    std::vector<u8> input = make_input(rng, KIND_RANDOM, c.period);
    while (input.size() < c.size) input.push_back(input[input.size() - c.period]);
    const std::vector<u8> stream = compress(input);
    EXPECT_LT(stream.size(), c.max_stream);
    std::vector<u8> back;
    ASSERT_TRUE(decompress(stream, input.size(), &back));
    EXPECT_TRUE(back == input);
  }
}

}  // namespace
