// Test support: facts about the machine read the platform's own way, to compare the
// platform layer's answers with.
#pragma once

#include <cstdint>

namespace umbra_test {

// The nominal clock of a processor in MHz as the system states it (the registry's
// "~MHz" value on Windows, the kernel's description on Linux); 0 when it states none.
std::uint32_t nominal_cpu_mhz(std::uint32_t processor);

}  // namespace umbra_test
