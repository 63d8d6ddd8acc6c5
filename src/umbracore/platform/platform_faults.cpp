// The table of failable calls: a count per kind and the one armed plan.
#include "umbracore/platform/platform_faults.h"

#include <atomic>
#include <cstring>

namespace umbra {

namespace {

struct call_row_t {
  const char* name;
  std::atomic<u64> calls{0};
};

call_row_t g_calls[PLATFORM_CALL_COUNT] = {{"open"},  {"read"},   {"write"},  {"rename"},
                                           {"mkdir"}, {"stat"},   {"delete"}, {"list"}};

const char* const FAULT_NAMES[] = {nullptr, "fail", "no_space", "short"};

// Written only while disarmed; published by the release store of g_armed.
platform_fault_plan_t g_plan;
std::atomic<bool> g_armed{false};
std::atomic<u64> g_injected{0};

}  // namespace

void platform_faults_arm(const platform_fault_plan_t& plan) {
  g_armed.store(false, std::memory_order_relaxed);
  g_plan = plan;
  for (call_row_t& row : g_calls) row.calls.store(0, std::memory_order_relaxed);
  g_injected.store(0, std::memory_order_relaxed);
  g_armed.store(true, std::memory_order_release);
}

void platform_faults_disarm() { g_armed.store(false, std::memory_order_release); }

u64 platform_faults_calls(platform_call_t call) {
  return call < PLATFORM_CALL_COUNT ? g_calls[call].calls.load(std::memory_order_relaxed) : 0;
}

u64 platform_faults_injected() { return g_injected.load(std::memory_order_relaxed); }

const char* platform_call_name(platform_call_t call) {
  return call < PLATFORM_CALL_COUNT ? g_calls[call].name : nullptr;
}

bool platform_call_from_name(const char* name, platform_call_t* out) {
  for (u32 i = 0; i < PLATFORM_CALL_COUNT; ++i) {
    if (std::strcmp(name, g_calls[i].name) == 0) {
      *out = (platform_call_t)i;
      return true;
    }
  }
  return false;
}

const char* platform_fault_name(platform_fault_t fault) {
  return fault < sizeof(FAULT_NAMES) / sizeof(FAULT_NAMES[0]) ? FAULT_NAMES[fault] : nullptr;
}

bool platform_fault_from_name(const char* name, platform_fault_t* out) {
  for (u32 i = 1; i < sizeof(FAULT_NAMES) / sizeof(FAULT_NAMES[0]); ++i) {
    if (std::strcmp(name, FAULT_NAMES[i]) == 0) {
      *out = (platform_fault_t)i;
      return true;
    }
  }
  return false;
}

platform_fault_t platform_fault_at(platform_call_t call) {
  if (!g_armed.load(std::memory_order_acquire) || call >= PLATFORM_CALL_COUNT) return PLATFORM_FAULT_NONE;
  const u64 n = g_calls[call].calls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (call != g_plan.call || g_plan.nth == 0) return PLATFORM_FAULT_NONE;
  if (n != g_plan.nth && !(g_plan.from_then_on && n > g_plan.nth)) return PLATFORM_FAULT_NONE;
  g_injected.fetch_add(1, std::memory_order_relaxed);
  return g_plan.fault;
}

}  // namespace umbra
