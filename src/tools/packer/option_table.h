// The one table of the tool's commands and of the options each of them reads. The help
// text is printed from it and a word that is no option of the command is warned about
// from it, so an option that some code reads but the table does not name would be
// reported as a typo: every new option gets its row here.
#pragma once

#include "umbracore/types.h"

namespace umbra {

// Each command is one bit, so that an option row can name every command that reads it.
enum packer_command_t : u32 {
  PACKER_COMMAND_NONE = 0,
  PACKER_COMMAND_CREATE = 1u << 0,
  PACKER_COMMAND_EXTRACT = 1u << 1,
  PACKER_COMMAND_LIST = 1u << 2,
  PACKER_COMMAND_INFO = 1u << 3,
  PACKER_COMMAND_VERIFY = 1u << 4,
  PACKER_COMMAND_ALL = (1u << 5) - 1,
};

struct packer_command_row_t {
  packer_command_t command;
  const char* name;       // the command word
  const char* arguments;  // what follows the command word, for the help
  const char* summary;
};

struct packer_option_row_t {
  const char* name;   // "-root": matched byte-exactly, as cdl_param matches
  const char* value;  // "<path>" for the help; "" when the option takes no value
  u32 commands;       // packer_command_t bits of the commands that read it
  const char* summary;
};

// The rows in the order the help prints them.
const packer_command_row_t* packer_command_rows(u32* count);
const packer_option_row_t* packer_option_rows(u32* count);

// The command a word names; PACKER_COMMAND_NONE for any other word.
packer_command_t packer_command_from_word(const char* word);
// Whether the command reads the option.
bool packer_option_known(packer_command_t command, const char* word);

// Prints one warning line for every word after the archive name that begins with '-'
// and is no option of the command. Nothing else changes: the word stays ignored.
void warn_unknown_options(packer_command_t command);

// The full usage: every command with the options it reads (exit code 0 follows).
void print_help();
// "qar_packer <version>".
void print_version();

}  // namespace umbra
