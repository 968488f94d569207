// docs.h - what brevantctl says about itself, all from the command table:
// synopses, the man page, the bash completion script, the versions.
#ifndef BREVANTCTL_DOCS_H
#define BREVANTCTL_DOCS_H

#include <string>
#include <vector>

#include "cli.h"

namespace brevantctl {

// "eeprom load [--offset ADDR] [--length N] [--verify] FILE"
std::string commandSynopsis(const Command &command);
// `text` broken into lines of at most `width` characters.
std::string wrapped(const std::string &text, std::size_t width);

void printManPage(const std::vector<Option> &global);
void printBashCompletion(const std::vector<Option> &global);

// The version of the brevant library this process runs with, from the file
// that was loaded; "unknown" when it cannot be told.
std::string libraryVersion();

}  // namespace brevantctl

#endif
