#include <gtest/gtest.h>

#include "umbracore/mem.h"

using namespace umbra;

TEST(mem, little_endian_loads_and_stores_at_any_offset) {
  const u8 bytes[] = {0xEE, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88, 0xEE};
  EXPECT_EQ(load_le16(bytes + 1), 0x0201u);
  EXPECT_EQ(load_le32(bytes + 1), 0x04030201u);
  EXPECT_EQ(load_le64(bytes + 1), 0x8807060504030201ull);

  u8 out[10] = {};
  store_le64(out + 1, 0x8807060504030201ull);
  EXPECT_EQ(0, std::memcmp(out + 1, bytes + 1, 8));
  store_le32(out + 3, 0xA3A2A1A0u);
  store_le16(out + 7, 0xB1B0);
  const u8 expected[] = {0, 0x01, 0x02, 0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1, 0};
  EXPECT_EQ(0, std::memcmp(out, expected, sizeof(out)));
}

TEST(mem, align_up_rounds_to_the_next_multiple) {
  const struct {
    u64 value, alignment, aligned;
  } cases[] = {{0, 16, 0}, {1, 16, 16}, {16, 16, 16}, {17, 16, 32}, {4095, 4096, 4096}, {5, 1, 5},
               {0xFFFFFFFFFFFFFFF0ull, 16, 0xFFFFFFFFFFFFFFF0ull}};
  for (const auto& c : cases) EXPECT_EQ(align_up(c.value, c.alignment), c.aligned) << c.value << " " << c.alignment;
  EXPECT_TRUE(is_power_of_two(1));
  EXPECT_TRUE(is_power_of_two(4096));
  EXPECT_FALSE(is_power_of_two(0));
  EXPECT_FALSE(is_power_of_two(48));
}
