// qar_packer with the platform's table of failable calls armed from the environment,
// for the tests that walk a fault over every call of a command:
//   UMBRA_FAULT_PLAN    "CALL:N:FAULT" or "CALL:N:FAULT:on" (from the Nth call on),
//                       e.g. "write:3:no_space:on"; "count" counts without failing
//   UMBRA_FAULT_REPORT  a file that receives, after the run, one "CALL COUNT" line per
//                       kind of call and "injected COUNT"
// Everything else is the tool's own start-up, command and shutdown.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/packer/packer_main.h"
#include "umbracore/platform/platform_faults.h"

namespace {

using namespace umbra;

bool parse_plan(const char* text, platform_fault_plan_t* plan) {
  if (std::strcmp(text, "count") == 0) return true;
  char call[16] = {}, fault[16] = {}, tail[8] = {};
  unsigned long long nth = 0;
  int fields = std::sscanf(text, "%15[a-z]:%llu:%15[a-z_]:%7s", call, &nth, fault, tail);
  if (fields < 3 || (fields == 4 && std::strcmp(tail, "on") != 0)) return false;
  plan->nth = nth;
  plan->from_then_on = fields == 4;
  return platform_call_from_name(call, &plan->call) && platform_fault_from_name(fault, &plan->fault);
}

void write_report(const char* path) {
  FILE* report = std::fopen(path, "wb");
  if (!report) return;
  for (u32 i = 0; i < PLATFORM_CALL_COUNT; ++i) {
    std::fprintf(report, "%s %llu\n", platform_call_name((platform_call_t)i),
                 (unsigned long long)platform_faults_calls((platform_call_t)i));
  }
  std::fprintf(report, "injected %llu\n", (unsigned long long)platform_faults_injected());
  std::fclose(report);
}

}  // namespace

int main(int argc, char** argv) {
  const char* plan_text = std::getenv("UMBRA_FAULT_PLAN");
  const char* report = std::getenv("UMBRA_FAULT_REPORT");
  if (plan_text) {
    platform_fault_plan_t plan;
    if (!parse_plan(plan_text, &plan)) {
      std::fprintf(stderr, "bad UMBRA_FAULT_PLAN '%s'\n", plan_text);
      return 2;
    }
    platform_faults_arm(plan);
  }
  int exit_code = packer_main(argc, argv);
  platform_faults_disarm();
  if (report) write_report(report);
  return exit_code;
}
