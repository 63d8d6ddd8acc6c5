#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/platform_facts.h"
#include "umbracore/platform/cpu_platform.h"
#ifndef _WIN32
#include "umbracore/platform/posix/cpu_linux.h"
#endif
#include "umbracore/timer/cpu.h"

namespace umbra {
namespace {

using platform::cpu_topology_entry_t;

array_dyn_t<cpu_t> build(const std::vector<cpu_topology_entry_t>& entries) {
  array_dyn_t<platform::cpu_topology_entry_t> table;
  for (const cpu_topology_entry_t& e : entries) table.append(e);
  array_dyn_t<cpu_t> cpus;
  EXPECT_TRUE(cpu_build_topology(table, cpus));
  return cpus;
}

struct expected_cpu_t {
  u32 package;
  u32 core;
  u32 thread_in_core;
};

void expect_topology(const array_t<cpu_t>& cpus, const std::vector<expected_cpu_t>& expected) {
  ASSERT_EQ(cpus.count(), expected.size());
  for (u64 i = 0; i < cpus.count(); ++i) {
    SCOPED_TRACE(testing::Message() << "cpu " << i);
    EXPECT_EQ(cpus[i].package, expected[i].package);
    EXPECT_EQ(cpus[i].core, expected[i].core);
    EXPECT_EQ(cpus[i].thread_in_core, expected[i].thread_in_core);
  }
}

TEST(cpu_topology, siblings_listed_after_all_first_threads) {
  // 8 cores with 2 threads each, numbered the way Linux lists most Intel parts.
  std::vector<cpu_topology_entry_t> entries;
  for (u32 p = 0; p < 16; ++p) entries.push_back({p, 0, p % 8});
  array_dyn_t<cpu_t> cpus = build(entries);
  std::vector<expected_cpu_t> expected;
  for (u32 p = 0; p < 16; ++p) expected.push_back({0, p % 8, p / 8});
  expect_topology(cpus, expected);
  EXPECT_EQ(cpu_count_physical_cores(cpus), 8u);
  EXPECT_EQ(cpus[9].processor_number, 9u);
  EXPECT_EQ(cpus[9].affinity_mask, 1ull << 9);
}

TEST(cpu_topology, siblings_adjacent_two_packages_and_core_id_gaps) {
  // Package ids 1 and 0 in that order, core ids with gaps and repeated per package.
  std::vector<cpu_topology_entry_t> entries = {
      {0, 1, 0}, {1, 1, 0}, {2, 1, 4}, {3, 1, 4}, {4, 0, 0}, {5, 0, 0}, {6, 0, 9}, {7, 0, 9},
  };
  array_dyn_t<cpu_t> cpus = build(entries);
  expect_topology(cpus, {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 1}, {1, 2, 0}, {1, 2, 1}, {1, 3, 0}, {1, 3, 1}});
  EXPECT_EQ(cpu_count_physical_cores(cpus), 4u);
}

TEST(cpu_topology, processor_numbers_with_gaps_and_beyond_the_mask) {
  array_dyn_t<cpu_t> cpus = build({{0, 0, 0}, {5, 0, 1}, {70, 0, 2}});
  EXPECT_EQ(cpus[1].processor_number, 5u);
  EXPECT_EQ(cpus[1].affinity_mask, 1ull << 5);
  EXPECT_EQ(cpus[2].affinity_mask, 0u);
  EXPECT_EQ(cpus[2].core, 2u);
}

#ifndef _WIN32
TEST(cpu_topology, processor_list_parsing) {
  array_dyn_t<u32> processors;
  ASSERT_TRUE(platform::cpu_parse_processor_list("0-3,8,10-11\n", processors));
  std::vector<u32> got(processors.begin(), processors.end());
  EXPECT_EQ(got, (std::vector<u32>{0, 1, 2, 3, 8, 10, 11}));
  for (const char* bad : {"", "\n", "3-1", "a", "0-", "0-99999", "1,,x"}) {
    EXPECT_FALSE(platform::cpu_parse_processor_list(bad, processors)) << bad;
  }
}
#endif

TEST(cpu_identity, vendor_ids) {
  EXPECT_EQ(cpu_vendor_from_id("GenuineIntel"), (u32)CPU_VENDOR_INTEL);
  EXPECT_EQ(cpu_vendor_from_id("AuthenticAMD"), (u32)CPU_VENDOR_AMD);
  EXPECT_EQ(cpu_vendor_from_id("HygonGenuine"), (u32)CPU_VENDOR_OTHER);
  EXPECT_EQ(cpu_vendor_from_id(""), (u32)CPU_VENDOR_OTHER);
}

TEST(cpu_identity, this_machine) {
  cpu_t cpu;
  cpu_read_identity(&cpu);
  EXPECT_LE(cpu.vendor, 2u);
  EXPECT_GT(std::string(cpu.brand).size(), 0u);
#if defined(__x86_64__)
  // Every x86-64 processor has SSE2.
  EXPECT_TRUE(cpu.has_feature(CPU_FEATURE_SSE2));
  EXPECT_TRUE(cpu_has_feature(CPU_FEATURE_SSE2));
#endif
  // AVX2 implies the AVX state is saved by the system.
  if (cpu.has_feature(CPU_FEATURE_AVX2)) {
    EXPECT_TRUE(cpu.has_feature(CPU_FEATURE_AVX));
  }
  EXPECT_EQ(cpu.features, cpu.features & ((1ull << CPU_FEATURE_COUNT) - 1));
  EXPECT_STREQ(cpu_feature_name(CPU_FEATURE_SSE41), "SSE4.1");
}

u64 bits(std::initializer_list<cpu_feature_t> features) {
  u64 mask = 0;
  for (cpu_feature_t f : features) mask |= 1ull << f;
  return mask;
}

TEST(cpu_features, disable_list_takes_what_builds_on_each_name) {
  const u64 avx512 = bits({CPU_FEATURE_AVX512F, CPU_FEATURE_AVX512BW, CPU_FEATURE_AVX512VL, CPU_FEATURE_AVX512CD,
                           CPU_FEATURE_AVX512VBMI2});
  const u64 avx = bits({CPU_FEATURE_AVX, CPU_FEATURE_F16C, CPU_FEATURE_FMA, CPU_FEATURE_AVX2}) | avx512;
  const u64 sse = bits({CPU_FEATURE_SSE2, CPU_FEATURE_SSE3, CPU_FEATURE_SSSE3, CPU_FEATURE_SSE41, CPU_FEATURE_SSE42});
  const struct {
    const char* list;
    u64 disabled;
  } cases[] = {
      {"", 0},
      {"avx512f", avx512},
      {"AVX512F", avx512},
      {"avx512vbmi2", bits({CPU_FEATURE_AVX512VBMI2})},
      {"avx2", bits({CPU_FEATURE_AVX2}) | avx512},
      {"avx", avx},
      {"sse2", sse | avx},
      {"sse4.1,bmi2", bits({CPU_FEATURE_SSE41, CPU_FEATURE_SSE42, CPU_FEATURE_BMI2}) | avx},
      {"popcnt,,invariant tsc", bits({CPU_FEATURE_POPCNT, CPU_FEATURE_INVARIANT_TSC})},
      {"avx3,avx51,avx512,bmi", 0},  // unknown names and prefixes of names are skipped
      {"avx512f,", avx512},
  };
  for (const auto& c : cases) EXPECT_EQ(cpu_features_disabled_by(c.list), c.disabled) << '"' << c.list << '"';
}

// Meaningful where the tests run with features disabled (as CI does once per code path).
TEST(cpu_features, disabled_features_read_as_absent) {
  const char* list = std::getenv(CPU_DISABLE_FEATURES_VARIABLE);
  const u64 disabled = list ? cpu_features_disabled_by(list) : 0;
  cpu_t cpu;
  cpu_read_identity(&cpu);
  EXPECT_EQ(cpu.features & disabled, 0u);
  for (u32 f = 0; f < CPU_FEATURE_COUNT; ++f) {
    const cpu_feature_t feature = (cpu_feature_t)f;
    EXPECT_EQ(cpu_has_feature(feature), cpu.has_feature(feature)) << cpu_feature_name(feature);
  }
}

TEST(cpu_speed, registry_value_plausibility) {
  struct {
    u32 mhz;
    bool accepted;
    const char* warning;
  } cases[] = {
      {3600, true, nullptr},
      {1000, true, nullptr},
      {30000, true, nullptr},
      {500, false, "[cpu] The OS reported CPU speed 0.5GHz is off the expected range (1.0GHz - 30.0GHz)"},
      {0, false, "[cpu] The OS reported CPU speed 0.0GHz is off the expected range (1.0GHz - 30.0GHz)"},
      {30001, false, "[cpu] The OS reported CPU speed 30.0GHz is off the expected range (1.0GHz - 30.0GHz)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mhz);
    umbra_test::log_capture_t capture;
    u32 khz = 0;
    EXPECT_EQ(cpu_speed_from_registry_mhz(c.mhz, &khz), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(khz, c.mhz * 1000);
      EXPECT_TRUE(capture.messages().empty());
    } else {
      ASSERT_EQ(capture.messages().size(), 1u);
      EXPECT_EQ(capture.messages()[0].level, (unsigned)LOG_LEVEL_WARNING);
      EXPECT_EQ(capture.messages()[0].text, c.warning);
    }
  }
}

TEST(cpu_speed, estimate_averages_the_samples_near_the_largest) {
  // M = 3010000, threshold 2408000: 1000000 is left out.
  const u32 samples[] = {3000000, 2990000, 1000000, 3010000, 3010000, 3010000, 3010000};
  EXPECT_EQ(cpu_speed_average_samples(samples, 7), (3000000u + 2990000u + 4u * 3010000u) / 6u);
  const u32 equal_to_threshold[] = {1000, 800};  // 800 is not above 0.8 x 1000
  EXPECT_EQ(cpu_speed_average_samples(equal_to_threshold, 2), 1000u);
  const u32 overflowed[] = {1337, 1337};
  EXPECT_EQ(cpu_speed_average_samples(overflowed, 2), 1337u);
  EXPECT_EQ(cpu_speed_average_samples(samples, 0), CPU_SPEED_UNKNOWN);
}

TEST(cpu_speed, measured_clock_is_plausible) {
#if defined(__x86_64__)
  u32 khz = cpu_speed_estimate();
  EXPECT_GT(khz, 100000u);     // 0.1 GHz
  EXPECT_LT(khz, 100000000u);  // 100 GHz
#else
  EXPECT_EQ(cpu_speed_estimate(), CPU_SPEED_UNKNOWN);
#endif
}

TEST(cpu_init, fills_one_entry_per_online_processor) {
  umbra_test::log_capture_t capture;
  EXPECT_TRUE(cpu_init());
  const array_t<cpu_t>& cpus = cpu_list();
  array_dyn_t<u32> processors;
  ASSERT_TRUE(platform::cpu_list_processors(processors));
  ASSERT_EQ(cpus.count(), processors.count());
  u32 speed = cpus[0].speed;
  EXPECT_NE(speed, 0u);
  for (u64 i = 0; i < cpus.count(); ++i) {
    EXPECT_EQ(cpus[i].processor_number, processors[i]);
    EXPECT_EQ(cpus[i].speed, speed);
    EXPECT_EQ(cpus[i].vendor, cpus[0].vendor);
    EXPECT_STREQ(cpus[i].brand, cpus[0].brand);
  }
  EXPECT_GE(cpu_count_physical_cores(cpus), 1u);
  EXPECT_EQ(cpus[0].core, 0u);
  // The nominal clock comes from the registry stand-in: no estimate, no warning.
  u32 nominal_mhz = umbra_test::nominal_cpu_mhz(cpus[0].processor_number);
  if (nominal_mhz >= 1000 && nominal_mhz <= 30000) {
    EXPECT_EQ(speed, nominal_mhz * 1000);
    EXPECT_TRUE(capture.messages().empty());
  }
  cpu_shutdown();
  EXPECT_TRUE(cpu_list().empty());
}

}  // namespace
}  // namespace umbra
