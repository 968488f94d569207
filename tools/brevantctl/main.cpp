// main.cpp - brevantctl: drives CFP2 carrier boards from a shell through the
// brevant library. Parses the command line, finds the command in the table,
// runs it and turns the outcome into the exit status and message that
// outcome.h describes.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "context.h"
#include "docs.h"
#include "transport.h"

namespace brevantctl {

const std::vector<Option> &globalOptions() {
    static const std::vector<Option> options = {
        {"--type", 't', "0|1", "board type: 0 (product 0x8248) or 1 (product 0x8348)"},
        {"--index", 'i', "N", "device index, 0-126, as list shows it"},
        {"--serial", 's', "S", "the board whose serial number is S (1-8 characters)"},
        {"--json", 'j', nullptr, "one JSON object on standard output"},
        {"--yes", 'y', nullptr, "do not ask before changing the board"},
        {"--help", 'h', nullptr, "describe brevantctl or a command"},
        {"--version", 'V', nullptr, "the versions of brevantctl and of the library"},
        {"--simulator", 0, nullptr, "the simulated bench instead of real boards (as BREVANT_SIMULATOR=1)"},
    };
    return options;
}

namespace {

// Options left out of --help: they write the man page and the completion
// script at build time.
const char kManOption[] = "--generate-man";
const char kCompletionOption[] = "--generate-bash-completion";

// Edits between two words: insertions, deletions, substitutions and swaps of
// two neighbouring letters ("pnig" is one edit from "ping").
std::size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// The candidate closest to `word`, when it is close enough to be a typo.
std::string closest(const std::string &word, const std::vector<std::string> &candidates) {
    std::string best;
    std::size_t bestDistance = word.size() <= 4 ? 2 : 3;  // at most 1 (short words) or 2 edits
    for (const std::string &candidate : candidates) {
        const std::size_t distance = editDistance(word, candidate);
        // A prefix ("mon" for "monitor") counts as close.
        const bool prefix = word.size() >= 2 && candidate.compare(0, word.size(), word) == 0;
        if (distance < bestDistance || (prefix && bestDistance > 1)) {
            best = candidate;
            bestDistance = prefix ? 1 : distance;
        }
    }
    return best;
}

}  // namespace

std::vector<std::string> closeWords(const std::string &word, const std::vector<std::string> &candidates) {
    const std::size_t limit = word.size() <= 4 ? 1 : 2;
    std::vector<std::pair<std::size_t, std::string>> close;
    for (const std::string &candidate : candidates) {
        const std::size_t distance = editDistance(word, candidate);
        if (distance <= limit &&
            std::none_of(close.begin(), close.end(), [&](const auto &c) { return c.second == candidate; }))
            close.emplace_back(distance, candidate);
    }
    std::stable_sort(close.begin(), close.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<std::string> words;
    for (const auto &c : close) words.push_back(c.second);
    return words;
}

namespace {

std::string suggestion(const std::string &word, const std::vector<std::string> &candidates) {
    const std::string best = closest(word, candidates);
    return best.empty() ? std::string() : "; did you mean '" + best + "'?";
}

std::vector<std::string> firstWords() {
    std::vector<std::string> words;
    for (const Command &command : commands()) {
        const std::string name = command.name;
        const std::string first = name.substr(0, name.find(' '));
        if (std::find(words.begin(), words.end(), first) == words.end()) words.push_back(first);
    }
    return words;
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

std::vector<std::string> memberNames(const std::vector<const Command *> &members, std::size_t prefix) {
    std::vector<std::string> names;
    for (const Command *member : members) names.emplace_back(member->name + prefix + 1);
    return names;
}

std::string joined(const std::vector<std::string> &names) {
    std::string text;
    for (const std::string &name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

// The command named by the first one or two words, and how many words it took.
const Command *findCommand(const std::vector<std::string> &words, std::size_t &taken) {
    if (words.size() >= 2) {
        if (const Command *command = findCommandByName(words[0] + " " + words[1])) {
            taken = 2;
            return command;
        }
    }
    taken = 1;
    return findCommandByName(words[0]);
}

// Every option any command knows, so that options may stand anywhere on the
// line; whether the command takes it is checked once the command is known.
std::vector<Option> knownOptions() {
    std::vector<Option> all = globalOptions();
    for (const Command &command : commands()) {
        for (const Option &option : commandOptions(command)) {
            const bool seen = std::any_of(all.begin(), all.end(),
                                          [&](const Option &o) { return std::strcmp(o.name, option.name) == 0; });
            if (!seen) all.push_back(option);
        }
    }
    return all;
}

void store(Invocation &inv, const Option &option, const std::string &value) {
    const std::string name = option.name;
    auto once = [&](std::optional<std::string> &into) {
        if (into) throw UsageError(name + " is given twice");
        into = value;
    };
    if (name == "--type") once(inv.type);
    else if (name == "--index") once(inv.index);
    else if (name == "--serial") once(inv.serial);
    else if (name == "--json") inv.json = true;
    else if (name == "--yes") inv.yes = true;
    else if (name == "--help") inv.help = true;
    else if (name == "--version") inv.version = true;
    else if (name == "--simulator") requestSimulator();
    else if (option.value != nullptr && inv.options.count(name) != 0) throw UsageError(name + " is given twice");
    else inv.options[name] = value;
}

Invocation parseOptions(const std::vector<std::string> &args) {
    const std::vector<Option> known = knownOptions();
    Invocation inv;
    bool optionsEnd = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        const bool negativeNumber = arg.size() > 1 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
        if (optionsEnd || arg.size() < 2 || arg[0] != '-' || negativeNumber) {
            inv.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == kManOption || arg == kCompletionOption) {
            inv.options[arg] = "";
            continue;
        }
        if (arg[1] == '-') {
            const std::size_t eq = arg.find('=');
            const std::string name = arg.substr(0, eq);
            const auto option = std::find_if(known.begin(), known.end(), [&](const Option &o) { return name == o.name; });
            if (option == known.end()) {
                std::vector<std::string> names;
                for (const Option &o : known) names.emplace_back(o.name);
                throw UsageError("unknown option '" + name + "'" + suggestion(name, names) +
                                 " (brevantctl --help lists the options)");
            }
            if (option->value == nullptr) {
                if (eq != std::string::npos) throw UsageError(name + " takes no value");
                store(inv, *option, "");
            } else if (eq != std::string::npos) {
                store(inv, *option, arg.substr(eq + 1));
            } else {
                if (i + 1 >= args.size()) throw UsageError(name + " needs a value (" + option->value + ")");
                store(inv, *option, args[++i]);
            }
            continue;
        }
        // Short options, which may be bundled: -jy, -t1, -t 1.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const auto option =
                std::find_if(known.begin(), known.end(), [&](const Option &o) { return o.shortName == arg[k]; });
            if (option == known.end())
                throw UsageError(std::string("unknown option '-") + arg[k] + "' (brevantctl --help lists the options)");
            if (option->value == nullptr) {
                store(inv, *option, "");
                continue;
            }
            if (k + 1 < arg.size()) {
                store(inv, *option, arg.substr(k + 1));
            } else {
                if (i + 1 >= args.size())
                    throw UsageError(std::string("-") + arg[k] + " needs a value (" + option->value + ")");
                store(inv, *option, args[++i]);
            }
            break;
        }
    }
    return inv;
}

std::string optionText(const Option &option) {
    std::string text = option.shortName != 0 ? std::string("-") + option.shortName + ", " : "    ";
    text += option.name;
    if (option.value != nullptr) text += std::string(" ") + option.value;
    return text;
}

void printOptions(const std::vector<Option> &options) {
    for (const Option &option : options) std::printf("  %-24s %s\n", optionText(option).c_str(), option.help);
}

const char kSelection[] =
    "Board selection (every command but list):\n"
    "  -t T [-i N]      the board of type T at device index N, or the first one of that type\n"
    "  -i N             the board at device index N, whatever its type\n"
    "  -s S             the board whose serial number is S\n"
    "  (none)           the first board found\n";

const char kCommon[] =
    "Numbers are decimal or 0x hex. Exit status: 0 success; 1 the board or a file operation failed;\n"
    "2 usage error. With --json a failure prints {\"error\":{\"code\":N,\"message\":\"...\"}}.\n";

void printUsage() {
    std::printf("usage: brevantctl [options] COMMAND [ARGS]\n"
                "Drives a USB board that carries a CFP2 optical module.\n\nCommands:\n");
    for (const Command &command : commands()) {
        // A synopsis too wide for its column gets its summary on the next
        // line, so the summaries stay in one column.
        const std::string synopsis = commandSynopsis(command);
        if (synopsis.size() > 30)
            std::printf("  %s\n  %-30s %s\n", synopsis.c_str(), "", command.summary);
        else
            std::printf("  %-30s %s\n", synopsis.c_str(), command.summary);
    }
    std::printf("\nOptions:\n");
    printOptions(globalOptions());
    std::printf("\n%s\n%s", kSelection, kCommon);
}

void printSynopsis(const Command &command) {
    std::string summary = command.summary;
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    std::printf("usage: brevantctl %s%s\n%s.\n", command.needsBoard ? "[selection] " : "",
                commandSynopsis(command).c_str(), summary.c_str());
    if (*command.details != '\0') std::printf("%s\n", wrapped(command.details, 78).c_str());
    const std::vector<Option> options = commandOptions(command);
    if (!options.empty()) {
        std::printf("Options of %s:\n", command.name);
        printOptions(options);
    }
}

void printCommandHelp(const Command &command) {
    printSynopsis(command);
    std::printf("\nCommon options:\n");
    printOptions(globalOptions());
    if (command.needsBoard) std::printf("\n%s", kSelection);
    std::printf("\n%s", kCommon);
}

void printJsonError(int code, const std::string &message) {
    Json error = Json::object();
    error["code"] = code;
    error["message"] = message;
    Json top = Json::object();
    top["error"] = error;
    std::printf("%s\n", dumpJson(top).c_str());
    std::fflush(stdout);
}

int run(const std::vector<std::string> &args) {
    std::string where = "brevantctl";
    // Known before the line is parsed, so that a line that does not parse
    // still gets its error as JSON.
    bool json = false;
    for (const std::string &arg : args) {
        if (arg == "--") break;
        const bool shortBundle = arg.size() > 1 && arg[0] == '-' && arg[1] != '-' && !std::isdigit(static_cast<unsigned char>(arg[1]));
        if (arg == "--json" || (shortBundle && arg.find('j') != std::string::npos && arg.find_first_of("tis") > arg.find('j')))
            json = true;
    }
    bool printed = false;
    try {
        Invocation inv = parseOptions(args);
        json = inv.json;
        if (inv.flag(kManOption)) {
            printManPage(globalOptions());
            flushStdout();
            return kExitOk;
        }
        if (inv.flag(kCompletionOption)) {
            printBashCompletion(globalOptions());
            flushStdout();
            return kExitOk;
        }
        if (inv.version) {
            std::printf("brevantctl %s\nlibrary %s\n", BREVANTCTL_VERSION, libraryVersion().c_str());
            flushStdout();
            return kExitOk;
        }
        if (!inv.words.empty() && inv.words[0] == "help") {
            inv.words.erase(inv.words.begin());
            inv.help = true;
        }
        if (inv.words.empty()) {
            if (inv.help) {
                printUsage();
                flushStdout();
                return kExitOk;
            }
            throw UsageError("no command given (brevantctl --help lists the commands)");
        }
        std::size_t taken = 0;
        const Command *command = findCommand(inv.words, taken);
        if (command == nullptr) {
            const std::vector<const Command *> family = familyOf(inv.words[0]);
            if (family.empty()) {
                std::vector<std::string> names = firstWords();
                for (const Command &c : commands()) names.emplace_back(c.name);
                throw UsageError("unknown command '" + inv.words[0] + "'" + suggestion(inv.words[0], names) +
                                 " (brevantctl --help lists the commands)");
            }
            if (inv.help && inv.words.size() == 1) {
                for (const Command *member : family) {
                    printSynopsis(*member);
                    std::printf("\n");
                }
                std::printf("%s\n%s", kSelection, kCommon);
                flushStdout();
                return kExitOk;
            }
            where += ": " + inv.words[0];
            const std::vector<std::string> members = memberNames(family, inv.words[0].size());
            if (inv.words.size() == 1) throw UsageError("needs one of: " + joined(members));
            const std::string best = closest(inv.words[1], members);
            throw UsageError("unknown command '" + inv.words[1] + "'; " + inv.words[0] + " has " + joined(members) +
                             (best.empty() ? "" : "; did you mean '" + inv.words[0] + " " + best + "'?"));
        }
        where += std::string(": ") + command->name;
        if (inv.help) {
            printCommandHelp(*command);
            flushStdout();
            return kExitOk;
        }
        const std::vector<Option> own = commandOptions(*command);
        for (const auto &given : inv.options) {
            if (std::none_of(own.begin(), own.end(), [&](const Option &o) { return given.first == o.name; }))
                throw UsageError(given.first + " does not apply to " + command->name);
        }
        std::vector<std::string> rest(inv.words.begin() + static_cast<std::ptrdiff_t>(taken), inv.words.end());
        if (rest.size() < command->minArgs || rest.size() > command->maxArgs)
            throw UsageError(std::string(rest.size() < command->minArgs ? "missing arguments" : "too many arguments") +
                             ": usage is brevantctl " + commandSynopsis(*command));
        if (!command->needsBoard && (inv.index || inv.serial))
            throw UsageError(std::string(inv.index ? "--index" : "--serial") + " does not apply to " + command->name);
        if (command->needsBoard) checkSelection(inv);
        Context context(inv, std::move(rest));
        command->run(context);
        context.print();
        printed = true;
        flushStdout();
        if (context.deferredFailure()) {
            std::fprintf(stderr, "%s: %s\n", where.c_str(), context.deferredFailure()->c_str());
            return kExitFailed;
        }
        return kExitOk;
    } catch (const Interrupted &e) {
        std::fprintf(stderr, "%s: %s\n", where.c_str(), e.what());
        if (json && !printed) printJsonError(kExitInterrupted, e.what());
        return kExitInterrupted;
    } catch (const UsageError &e) {
        std::fprintf(stderr, "%s: %s\n", where.c_str(), e.what());
        if (json && !printed) printJsonError(kExitUsage, e.what());
        return kExitUsage;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", where.c_str(), e.what());
        if (json && !printed) printJsonError(kExitFailed, e.what());
        return kExitFailed;
    }
}

}  // namespace
}  // namespace brevantctl

int main(int argc, char **argv) {
    return brevantctl::run(std::vector<std::string>(argv + 1, argv + argc));
}
