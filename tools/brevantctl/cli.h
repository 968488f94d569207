// cli.h - what every part of brevantctl shares: number parsing, the options,
// the parsed command line, and the command table.
//
// The command table drives everything users see of a command: dispatch,
// --help, "did you mean", the man page and bash completion. A file that adds
// commands registers them with a static CommandRegistration:
//
//     namespace { brevantctl::CommandRegistration reg({
//         {"module info", "", 0, 0, "summary", "details", true, runModuleInfo, {}},
//     }); }
#ifndef BREVANTCTL_CLI_H
#define BREVANTCTL_CLI_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "json.h"
#include "outcome.h"

namespace brevantctl {

// Reads `text` as a decimal or 0x-hex number in [min, max]; throws a
// UsageError naming `argument` otherwise.
std::uint32_t parseNumber(const std::string &text, const std::string &argument, std::uint32_t min,
                          std::uint32_t max);

// The candidates one or two edits from `word` (one for words of up to four
// characters), closest first: what "did you mean" offers.
std::vector<std::string> closeWords(const std::string &word, const std::vector<std::string> &candidates);

// Hex text of `value` with at least `digits` digits, prefixed with 0x.
std::string hex(std::uint32_t value, int digits);

// An option: "--offset N", or a flag when `value` is null.
struct Option {
    const char *name;   // long name with its dashes: "--offset"
    char shortName;     // 'o', or 0 for none
    const char *value;  // what the value is called ("N"); null for a flag
    const char *help;   // one line
};

// The options every command takes.
const std::vector<Option> &globalOptions();

// The command line after the program name, options taken out.
struct Invocation {
    std::vector<std::string> words;  // command words and their arguments
    bool json = false;
    bool help = false;
    bool yes = false;
    bool version = false;
    std::optional<std::string> type, index, serial;
    // Options of the command itself, by long name with dashes ("--offset");
    // a flag maps to an empty text.
    std::map<std::string, std::string> options;

    bool flag(const std::string &name) const { return options.count(name) != 0; }
    std::optional<std::string> value(const std::string &name) const {
        const auto it = options.find(name);
        return it == options.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
};

class Context;

struct Command {
    const char *name;      // one or two words: "vcc", "mdio read"
    const char *synopsis;  // the arguments: "PORT REG"
    std::size_t minArgs;
    std::size_t maxArgs;  // kMany: no upper bound
    const char *summary;  // one line for the command list
    const char *details;  // ranges and behaviour, for COMMAND --help and the man page
    bool needsBoard;
    void (*run)(Context &);
    std::vector<Option> options = {};  // the command's own options
};
constexpr std::size_t kMany = static_cast<std::size_t>(-1);

// Every command: the table of commands.cpp first, then the registered ones
// in registration order.
const std::vector<Command> &commands();
const Command *findCommandByName(const std::string &name);
// The options `command` takes besides the global ones (its own and those
// added to it, see addCommandOptions).
std::vector<Option> commandOptions(const Command &command);

struct CommandRegistration {
    explicit CommandRegistration(std::vector<Command> added);
};
// Adds options to a command defined elsewhere ("watch" takes the options of
// every reading source).
void addCommandOptions(const std::string &command, const std::vector<Option> &options);

// The built-in table (commands.cpp).
const std::vector<Command> &coreCommands();

}  // namespace brevantctl

#endif
