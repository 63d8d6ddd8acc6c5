#include "tools/packer/option_table.h"

#include <cstring>

#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/string_escape.h"

#ifndef QAR_PACKER_VERSION
#define QAR_PACKER_VERSION "unknown"
#endif

namespace umbra {

namespace {

constexpr u32 CREATE = PACKER_COMMAND_CREATE;
constexpr u32 EXTRACT = PACKER_COMMAND_EXTRACT;
constexpr u32 LIST = PACKER_COMMAND_LIST;

const packer_command_row_t COMMAND_ROWS[] = {
    {PACKER_COMMAND_CREATE, "create", "archive.qar [options]", "Create a Cairn archive"},
    {PACKER_COMMAND_EXTRACT, "extract", "archive.qar [PATH...] [options]",
     "Extracts content of Cairn archive (with PATH or -filter: only what they select)"},
    {PACKER_COMMAND_LIST, "list", "archive.qar [options]", "List the entries of a Cairn archive"},
    {PACKER_COMMAND_INFO, "info", "archive.qar", "Describe the header and tables of a Cairn archive"},
    {PACKER_COMMAND_VERIFY, "verify", "archive.qar",
     "Read and decode every entry of a Cairn archive and report each problem (writes nothing)"},
};

// Rows for one name may differ by command: -list means one thing to create and another
// to list.
const packer_option_row_t OPTION_ROWS[] = {
    {"-root", "<path>", CREATE | EXTRACT, "Set packer root for file operations"},
    {"-nocompress", "", CREATE, "Disable compression (v2)"},
    {"-compression-level", "<1..12>", CREATE, "Compression level of file data, 1 fastest to 12 smallest"},
    {"-list", "<file>", CREATE, "Pack the paths the list file names (CR LF lines) instead of scanning the root"},
    {"-hide-list", "<file>", CREATE, "Pack these paths too, but leave them out of their directory's listing"},
    {"-compress-list", "<file>", CREATE, "Pack these paths too"},
    {"-dedupe", "", CREATE, "Store files with identical content once: their entries share one block"},
    {"-io-buffers-size", "<mb>", EXTRACT, "Limit on size of IO buffers used during the operation (v2)."},
    {"-filter", "<glob>", EXTRACT,
     "Extract the files matching the glob (* and ? within a name, ** across directories); repeatable"},
    {"-stdout", "", EXTRACT, "Write the one named file to standard output instead of below the root"},
    {"-quiet", "", CREATE | EXTRACT, "No progress line on the terminal (and no closing summary of create)"},
    {"-dds-legacy", "", EXTRACT, "Write textures as DDS files with legacy headers where the format allows"},
    {"-list", "<file>", LIST, "Candidate paths: hidden entries among them are shown by name"},
    {"-json", "", LIST, "Print one JSON document instead of text"},
    {"-trace", "", PACKER_COMMAND_ALL, "Write a trace file of the run"},
};

constexpr u32 COMMAND_ROW_COUNT = sizeof(COMMAND_ROWS) / sizeof(COMMAND_ROWS[0]);
constexpr u32 OPTION_ROW_COUNT = sizeof(OPTION_ROWS) / sizeof(OPTION_ROWS[0]);

const char* command_name(packer_command_t command) {
  for (const packer_command_row_t& row : COMMAND_ROWS)
    if (row.command == command) return row.name;
  return "";
}

// Help lines: a name column padded to one width, then the summary.
constexpr int HELP_COLUMN = 40;

void print_help_row(const char* indent, const char* name, const char* arguments, const char* summary) {
  mstring_t left;
  left.format("%s%s%s%s", indent, name, *arguments ? " " : "", arguments);
  int padding = HELP_COLUMN - (int)left.length();
  log_info("%s%*s%s", left.c_str(), padding > 1 ? padding : 1, "", summary);
}

}  // namespace

const packer_command_row_t* packer_command_rows(u32* count) {
  *count = COMMAND_ROW_COUNT;
  return COMMAND_ROWS;
}

const packer_option_row_t* packer_option_rows(u32* count) {
  *count = OPTION_ROW_COUNT;
  return OPTION_ROWS;
}

packer_command_t packer_command_from_word(const char* word) {
  for (const packer_command_row_t& row : COMMAND_ROWS)
    if (std::strcmp(row.name, word) == 0) return row.command;
  return PACKER_COMMAND_NONE;
}

bool packer_option_known(packer_command_t command, const char* word) {
  for (const packer_option_row_t& row : OPTION_ROWS)
    if ((row.commands & command) != 0 && std::strcmp(row.name, word) == 0) return true;
  return false;
}

void warn_unknown_options(packer_command_t command) {
  // Word 1 is the command and word 2 the archive name, whatever they look like.
  for (u32 i = 3; i < cdl->count; ++i) {
    const char* word = cdl->words[i];
    if (word[0] != '-' || packer_option_known(command, word)) continue;
    mstring_t shown;
    append_escaped_for_display(shown, word);
    log_warning("Unknown option '%s' for %s is ignored", shown.c_str(), command_name(command));
  }
}

void print_help() {
  log_info("packer: usage: qar_packer <command> archive.qar [options]");
  log_info("commands:");
  for (const packer_command_row_t& command : COMMAND_ROWS) {
    print_help_row("  ", command.name, command.arguments, command.summary);
    for (const packer_option_row_t& option : OPTION_ROWS)
      if ((option.commands & command.command) != 0)
        print_help_row("      ", option.name, option.value, option.summary);
  }
  print_help_row("  ", "help, -h, --help", "", "Print this help");
  print_help_row("  ", "--version", "", "Print the version of the tool");
}

void print_version() { log_info("qar_packer %s", QAR_PACKER_VERSION); }

}  // namespace umbra
