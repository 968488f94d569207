// cli.h - what every part of brevantctl shares: the two kinds of failure and
// their exit codes, number parsing, the parsed command line, and the table
// entry that describes one command.
#ifndef BREVANTCTL_CLI_H
#define BREVANTCTL_CLI_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "json.h"

namespace brevantctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // no board, no connection, no or short reply
constexpr int kExitUsage = 2;   // the command line is wrong

// The command line is wrong: exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The board is missing, did not connect or did not answer: exit 1.
struct BoardFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads `text` as a decimal or 0x-hex number in [min, max]; throws a
// UsageError naming `argument` otherwise.
std::uint32_t parseNumber(const std::string &text, const std::string &argument, std::uint32_t min,
                          std::uint32_t max);

// Hex text of `value` with at least `digits` digits, prefixed with 0x.
std::string hex(std::uint32_t value, int digits);

// The command line after the program name, options taken out.
struct Invocation {
    std::vector<std::string> words;  // command words and their arguments
    bool json = false;
    bool help = false;
    bool boot = false;
    std::optional<std::string> type, index, serial;
    std::optional<std::string> mdioPort, lanes;  // module commands only
};

class Context;

struct Command {
    const char *name;      // one or two words: "vcc", "mdio read"
    const char *synopsis;  // the arguments: "PORT REG"
    std::size_t minArgs;
    std::size_t maxArgs;  // kMany: no upper bound
    const char *summary;  // one line for the command list
    const char *details;  // ranges and behaviour, for COMMAND --help
    bool needsBoard;
    void (*run)(Context &);
};
constexpr std::size_t kMany = static_cast<std::size_t>(-1);

const std::vector<Command> &commands();

}  // namespace brevantctl

#endif
