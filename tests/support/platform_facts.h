// Test support: facts about the machine read the platform's own way, to compare the
// platform layer's answers with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace umbra_test {

// The nominal clock of a processor in MHz as the system states it (the registry's
// "~MHz" value on Windows, the kernel's description on Linux); 0 when it states none.
std::uint32_t nominal_cpu_mhz(std::uint32_t processor);

// The calling thread as the system sees it: its name (pthread_getname_np,
// GetThreadDescription; empty when it holds none), its urgency (higher runs first: the
// negated nice value, GetThreadPriority), the size of its stack (0 when unknown), and
// whether it may run on every processor the process may.
std::string system_thread_name();
int system_thread_urgency();
std::size_t system_thread_stack_size();
bool system_thread_runs_anywhere();

}  // namespace umbra_test
