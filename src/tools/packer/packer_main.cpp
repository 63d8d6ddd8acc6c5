#include "tools/packer/packer_main.h"

#include <cstring>

#include "tools/packer/commands.h"
#include "tools/packer/option_table.h"
#include "tools/packer/packer_options.h"
#include "tools/packer/runtime.h"
#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/process_platform.h"
#include "umbracore/thread/thread_pool.h"

namespace umbra {

namespace {

// The short usage a wrong command line gets stays these eight lines (scripts match
// them); --help (print_help) lists every option of every command.
void print_usage() {
  log_info("packer: usage: qar_packer <command>");
  log_info("commands:");
  log_info("\textract archive.qar [options]\t\t\tExtracts content of Cairn archive");
  log_info("\t\t-root <path>\t\t\t\tSet packer root for file operations");
  log_info("\t\t-io-buffers-size <mb>\t\t\tLimit on size of IO buffers used during the operation (v2).");
  log_info("\tcreate archive.qar [options]\t\t\tCreate a Cairn archive");
  log_info("\t\t-root <path>\t\t\t\tSet packer root for file operations");
  log_info("\t\t-nocompress\t\t\t\tDisable compression (v2)");
}

// Reads -root and -nocompress; false ends the run with exit code 1 and no message.
bool read_global_options() {
  if (cdl_param("-root") != CDL_NOT_FOUND) {
    if (cdl_argc() != 2) return false;
    packer_root.assign(cdl_argv());
  }
  if (cdl_param("-nocompress") != CDL_NOT_FOUND) {
    if (cdl_argc() != 1) return false;
    no_compress = 1;
  }
  return true;
}

bool is_help_word(const char* word) {
  return std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0 || std::strcmp(word, "help") == 0;
}

int run_named_command(packer_command_t command, const char* archive_path) {
  switch (command) {
    case PACKER_COMMAND_CREATE:
      return create(archive_path, packer_root.c_str()) ? 0 : 1;
    case PACKER_COMMAND_LIST:
      return list_archive(archive_path) ? 0 : 1;
    case PACKER_COMMAND_INFO:
      return info_archive(archive_path) ? 0 : 1;
    case PACKER_COMMAND_VERIFY:
      return verify_archive(archive_path) ? 0 : 1;
    default:
      return extract(archive_path, packer_root.c_str()) ? 0 : 1;
  }
}

int run_command() {
  if (cdl->count < 2) {
    print_usage();
    return 1;
  }
  // Asking for help works whatever else the line holds.
  if (is_help_word(cdl->words[1])) {
    print_help();
    return 0;
  }
  if (std::strcmp(cdl->words[1], "--version") == 0) {
    print_version();
    return 0;
  }
  if (!read_global_options()) return 1;
  packer_command_t command = packer_command_from_word(cdl->words[1]);
  if (command == PACKER_COMMAND_NONE) {
    log_error("Unknown command.");
    print_usage();
    return 1;
  }
  if (cdl->count < 3) {
    log_error("Invalid number of command parameters.");
    print_usage();
    return 1;
  }
  warn_unknown_options(command);
  return run_named_command(command, cdl->words[2]);
}

}  // namespace

int packer_main(int argc, char** argv) {
  platform::process_startup();
  static cdl_t cdl_store;
  cdl = &cdl_store;
  platform::process_arguments_t arguments;
  if (arguments.load(argc, argv)) {
    cdl_init(arguments.count(), arguments.words());
  } else {
    cdl_init(argc, argv);
  }
  thread_pool_set_worker_strategy(WORKER_STRATEGY_EVERY_CORE);
  thread_pool_set_worker_count_override(WORKER_COUNT_NO_OVERRIDE);
  runtime_startup();
  int exit_code = run_command();
  runtime_shutdown();
  return exit_code;
}

}  // namespace umbra
