#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/platform_facts.h"
#include "umbracore/platform/registry_platform.h"
#ifndef _WIN32
#include "umbracore/platform/posix/registry_linux.h"
#endif
#include "umbracore/timer/registry.h"

namespace umbra {
namespace {

const char CPU_KEY[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

struct failing_path_t {
  std::string path;
  std::vector<std::string> errors;
};

TEST(registry_read_u32, rejected_paths_log_their_reason) {
  const std::string long_name(300, 'a');
  const std::string long_key = "HKEY_LOCAL_MACHINE\\" + long_name + "\\~MHz";
  const std::string long_value = "HKEY_LOCAL_MACHINE\\HARDWARE\\" + long_name;
  const failing_path_t cases[] = {
      {"NoBackslash", {"[reg] Invalid value path 'NoBackslash'."}},
      {"", {"[reg] Invalid value path ''."}},
      {"\\LeadingValue", {"[reg] Invalid value path '\\LeadingValue'."}},
      {"HKEY_LOCAL_MACHINE\\Trailing\\", {"[reg] Invalid value path 'HKEY_LOCAL_MACHINE\\Trailing\\'."}},
      {long_key, {"[reg] Invalid absolute value name '" + long_key + "'."}},
      {long_value, {"[reg] Invalid absolute value name '" + long_value + "'."}},
      {"HKEY_LOCAL_MACHINE\\~MHz", {"[reg] Invalid registry key path 'HKEY_LOCAL_MACHINE'."}},
      {"HKEY_NOWHERE\\Software\\Value",
       {"[reg] Registry root key name 'HKEY_NOWHERE' from key path 'HKEY_NOWHERE\\Software' did not match any "
        "known registry root."}},
      // Root names are matched exactly.
      {"hkey_local_machine\\Software\\Value",
       {"[reg] Registry root key name 'hkey_local_machine' from key path 'hkey_local_machine\\Software' did not "
        "match any known registry root."}},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Nothing\\Value",
       {"[reg] Failed to open registry sub key 'SOFTWARE\\Nothing'.",
        "[reg] Failed to open key 'SOFTWARE\\Nothing' under tree 'HKEY_LOCAL_MACHINE'."}},
      {std::string("HKEY_CURRENT_USER\\") + CPU_KEY + "\\~MHz",
       {std::string("[reg] Failed to open registry sub key '") + CPU_KEY + "'.",
        std::string("[reg] Failed to open key '") + CPU_KEY + "' under tree 'HKEY_CURRENT_USER'."}},
      {"HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\4095\\~MHz",
       {"[reg] Failed to open registry sub key 'HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\4095'.",
        "[reg] Failed to open key 'HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\4095' under tree "
        "'HKEY_LOCAL_MACHINE'."}},
      {"HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\00\\~MHz",
       {"[reg] Failed to open registry sub key 'HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\00'.",
        "[reg] Failed to open key 'HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\00' under tree "
        "'HKEY_LOCAL_MACHINE'."}},
      {std::string("HKEY_LOCAL_MACHINE\\") + CPU_KEY + "\\Identifier",
       {"[reg] Failed to get registry value 'Identifier'."}},
  };
  for (const failing_path_t& c : cases) {
    SCOPED_TRACE(c.path);
    umbra_test::log_capture_t capture;
    u32 value = 77;
    EXPECT_FALSE(registry_read_u32(c.path.c_str(), &value));
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(capture.errors(), c.errors);
    EXPECT_EQ(capture.messages().size(), c.errors.size());
  }
}

TEST(registry_read_u32, answers_the_processor_clock) {
  u32 expected = umbra_test::nominal_cpu_mhz(0);
  if (expected == 0) GTEST_SKIP() << "the system names no clock for processor 0";
  umbra_test::log_capture_t capture;
  u32 value = 0;
  EXPECT_TRUE(registry_read_u32("HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0\\~MHz", &value));
  EXPECT_EQ(value, expected);
  // Key and value names compare without regard to case, as on Windows.
  EXPECT_TRUE(registry_read_u32("HKEY_LOCAL_MACHINE\\hardware\\description\\system\\centralprocessor\\0\\~mhz", &value));
  EXPECT_EQ(value, expected);
  EXPECT_TRUE(capture.messages().empty());
}

#ifndef _WIN32
TEST(registry_linux, model_name_clock) {
  struct {
    const char* text;
    u32 mhz;
  } cases[] = {
      {"Intel(R) Core(TM) i7-4790 CPU @ 3.60GHz", 3600},
      {"Intel(R) Xeon(R) CPU E5-2680 v4 @ 2.40GHz", 2400},
      {"Intel(R) Pentium(R) CPU @ 2.4GHz", 2400},
      {"Some CPU @ 2.6666GHz", 2667},
      {"Old CPU @ 800MHz", 800},
      {"AMD EPYC", 0},
      {"AMD Ryzen 9 5950X 16-Core Processor", 0},
      {"Odd @ GHz", 0},
      {"Odd @ 3.6", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::registry_parse_model_name_mhz(c.text), c.mhz) << c.text;
}

TEST(registry_linux, cpuinfo_fields_of_one_processor) {
  const char cpuinfo[] =
      "processor\t: 0\n"
      "model name\t: AMD EPYC\n"
      "cpu MHz\t\t: 2096.001\n"
      "\n"
      "processor\t: 1\n"
      "model name\t: Intel(R) Core(TM) i7-4790 CPU @ 3.60GHz\n"
      "cpu MHz\t\t: 799.500\n"
      "\n"
      "processor\t: 12\n"
      "cpu MHz\t\t: 1200.000\n";
  EXPECT_EQ(platform::registry_parse_cpuinfo_model_mhz(cpuinfo, 0), 0u);
  EXPECT_EQ(platform::registry_parse_cpuinfo_cpu_mhz(cpuinfo, 0), 2096u);
  EXPECT_EQ(platform::registry_parse_cpuinfo_model_mhz(cpuinfo, 1), 3600u);
  EXPECT_EQ(platform::registry_parse_cpuinfo_cpu_mhz(cpuinfo, 1), 800u);
  EXPECT_EQ(platform::registry_parse_cpuinfo_cpu_mhz(cpuinfo, 12), 1200u);
  EXPECT_EQ(platform::registry_parse_cpuinfo_model_mhz(cpuinfo, 12), 0u);
  EXPECT_EQ(platform::registry_parse_cpuinfo_cpu_mhz(cpuinfo, 2), 0u);
  EXPECT_EQ(platform::registry_parse_cpuinfo_cpu_mhz("", 0), 0u);
  EXPECT_EQ(platform::registry_parse_cpuinfo_cpu_mhz("processor : 0\ncpu MHz : x\n", 0), 0u);
}
#endif

}  // namespace
}  // namespace umbra
