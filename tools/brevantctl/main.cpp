// main.cpp - brevantctl: drives CFP2 carrier boards from a shell through the
// brevant library. Parses the command line, finds the command in the table,
// runs it and turns the outcome into the exit status:
//   0  the command succeeded
//   1  the board was not found, did not connect, or did not answer
//   2  the command line is wrong
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "context.h"

namespace brevantctl {
namespace {

const char kSelection[] =
    "Board selection (every command but list):\n"
    "  --type 0|1 [--index N]   the board of that type at device index N, or the first one\n"
    "  --index N                the board at device index N, whatever its type\n"
    "  --serial S               the board whose serial number is S\n"
    "  (none)                   the first board found\n";

const char kCommon[] =
    "Options: --json prints one JSON object on standard output; --help describes a command.\n"
    "Numbers are decimal or 0x hex. Exit status: 0 success; 1 board not found, not connected,\n"
    "no reply or short reply; 2 usage error.\n";

std::string fullSynopsis(const Command &command) {
    std::string text = command.name;
    if (*command.synopsis != '\0') text += std::string(" ") + command.synopsis;
    return text;
}

void printUsage() {
    std::printf("usage: brevantctl [selection] [--json] COMMAND [ARGS]\n"
                "Drives a USB board that carries a CFP2 optical module.\n\nCommands:\n");
    for (const Command &command : commands())
        std::printf("  %-30s %s\n", fullSynopsis(command).c_str(), command.summary);
    std::printf("\n%s\n%s", kSelection, kCommon);
}

void printSynopsis(const Command &command) {
    std::string summary = command.summary;
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    std::printf("usage: brevantctl %s%s [--json]\n%s.\n", command.needsBoard ? "[selection] " : "",
                fullSynopsis(command).c_str(), summary.c_str());
    if (*command.details != '\0') std::printf("%s\n", command.details);
}

void printCommandHelp(const Command &command) {
    printSynopsis(command);
    if (command.needsBoard) std::printf("\n%s", kSelection);
    std::printf("\n%s", kCommon);
}

// The commands whose first word is `family` ("mdio" gives read, write, dump).
std::vector<const Command *> familyOf(const std::string &family) {
    std::vector<const Command *> members;
    for (const Command &command : commands()) {
        const std::string name = command.name;
        if (name.size() > family.size() && name.compare(0, family.size(), family) == 0 && name[family.size()] == ' ')
            members.push_back(&command);
    }
    return members;
}

std::string memberNames(const std::vector<const Command *> &members, std::size_t prefix) {
    std::string names;
    for (const Command *member : members) names += (names.empty() ? "" : ", ") + std::string(member->name + prefix + 1);
    return names;
}

// The command named by the first one or two words, and how many words it took.
const Command *findCommand(const std::vector<std::string> &words, std::size_t &taken) {
    for (const Command &command : commands()) {
        if (words.size() >= 2 && words[0] + " " + words[1] == command.name) {
            taken = 2;
            return &command;
        }
    }
    for (const Command &command : commands()) {
        if (words[0] == command.name) {
            taken = 1;
            return &command;
        }
    }
    return nullptr;
}

void takeValue(const std::vector<std::string> &args, std::size_t &i, const std::string &name,
               const std::string &inlineValue, bool hasInline, std::optional<std::string> &into) {
    if (into) throw UsageError(name + " is given twice");
    if (hasInline) {
        into = inlineValue;
        return;
    }
    if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
    into = args[++i];
}

Invocation parseOptions(const std::vector<std::string> &args) {
    Invocation inv;
    bool optionsEnd = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        const bool negativeNumber = arg.size() > 1 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-" || negativeNumber) {
            inv.words.push_back(arg);
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const bool hasInline = eq != std::string::npos;
        const std::string value = hasInline ? arg.substr(eq + 1) : std::string();
        if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "--json") {
            inv.json = true;
        } else if (arg == "--help" || arg == "-h") {
            inv.help = true;
        } else if (arg == "--boot") {
            inv.boot = true;
        } else if (name == "--type") {
            takeValue(args, i, name, value, hasInline, inv.type);
        } else if (name == "--index") {
            takeValue(args, i, name, value, hasInline, inv.index);
        } else if (name == "--serial") {
            takeValue(args, i, name, value, hasInline, inv.serial);
        } else if (name == "--mdio-port") {
            takeValue(args, i, name, value, hasInline, inv.mdioPort);
        } else if (name == "--lanes") {
            takeValue(args, i, name, value, hasInline, inv.lanes);
        } else {
            throw UsageError("unknown option '" + arg + "' (brevantctl --help lists the options)");
        }
    }
    return inv;
}

// A failure: one line on standard error and, under --json, the error object
// on standard output, so a script reading JSON always gets JSON.
int fail(const std::string &where, const char *what, int code, bool json) {
    std::fprintf(stderr, "%s: %s\n", where.c_str(), what);
    if (json) {
        Json error = Json::object();
        error.set("code", code).set("message", what);
        std::printf("%s\n", Json::object().set("error", error).dump().c_str());
    }
    return code;
}

int run(const std::vector<std::string> &args) {
    std::string where = "brevantctl";
    bool json = false;
    try {
        Invocation inv = parseOptions(args);
        json = inv.json;
        if (!inv.words.empty() && inv.words[0] == "help") {
            inv.words.erase(inv.words.begin());
            inv.help = true;
        }
        if (inv.words.empty()) {
            if (inv.help) {
                printUsage();
                return kExitOk;
            }
            throw UsageError("no command given (brevantctl --help lists the commands)");
        }
        std::size_t taken = 0;
        const Command *command = findCommand(inv.words, taken);
        if (command == nullptr) {
            const std::vector<const Command *> family = familyOf(inv.words[0]);
            if (family.empty())
                throw UsageError("unknown command '" + inv.words[0] + "' (brevantctl --help lists the commands)");
            if (inv.help && inv.words.size() == 1) {
                for (const Command *member : family) {
                    printSynopsis(*member);
                    std::printf("\n");
                }
                std::printf("%s\n%s", kSelection, kCommon);
                return kExitOk;
            }
            where += ": " + inv.words[0];
            throw UsageError(inv.words.size() == 1 ? "needs one of: " + memberNames(family, inv.words[0].size())
                                                   : "unknown command '" + inv.words[1] + "'; " + inv.words[0] +
                                                         " has " + memberNames(family, inv.words[0].size()));
        }
        where += std::string(": ") + command->name;
        if (inv.help) {
            printCommandHelp(*command);
            return kExitOk;
        }
        std::vector<std::string> rest(inv.words.begin() + static_cast<std::ptrdiff_t>(taken), inv.words.end());
        if (rest.size() < command->minArgs || rest.size() > command->maxArgs)
            throw UsageError(std::string(rest.size() < command->minArgs ? "missing arguments" : "too many arguments") +
                             ": usage is brevantctl " + fullSynopsis(*command));
        if (inv.boot && std::strcmp(command->name, "reset") != 0) throw UsageError("--boot belongs to reset only");
        if ((inv.mdioPort || inv.lanes) && std::strncmp(command->name, "module ", 7) != 0)
            throw UsageError(std::string(inv.mdioPort ? "--mdio-port" : "--lanes") + " belongs to the module commands only");
        if (!command->needsBoard && (inv.index || inv.serial))
            throw UsageError(std::string(inv.index ? "--index" : "--serial") + " does not apply to " + command->name);
        Context context(inv, std::move(rest));
        command->run(context);
        context.print();
        return kExitOk;
    } catch (const UsageError &e) {
        return fail(where, e.what(), kExitUsage, json);
    } catch (const BoardFailure &e) {
        return fail(where, e.what(), kExitFailed, json);
    } catch (const std::exception &e) {
        return fail(where, e.what(), kExitFailed, json);
    }
}

}  // namespace
}  // namespace brevantctl

int main(int argc, char **argv) {
    return brevantctl::run(std::vector<std::string>(argv + 1, argv + argc));
}
