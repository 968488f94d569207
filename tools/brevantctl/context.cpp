// context.cpp - the command context and the command table's registry.
#include "context.h"
#include "transport.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "terminal.h"

namespace brevantctl {

// ---- The command table -------------------------------------------------------

namespace {
std::vector<Command> &registered() {
    static std::vector<Command> added;
    return added;
}
std::vector<std::pair<std::string, Option>> &addedOptions() {
    static std::vector<std::pair<std::string, Option>> added;
    return added;
}
}  // namespace

CommandRegistration::CommandRegistration(std::vector<Command> added) {
    for (Command &command : added) registered().push_back(std::move(command));
}

void addCommandOptions(const std::string &command, const std::vector<Option> &options) {
    for (const Option &option : options) addedOptions().emplace_back(command, option);
}

const std::vector<Command> &commands() {
    static const std::vector<Command> all = [] {
        std::vector<Command> table = coreCommands();
        table.insert(table.end(), registered().begin(), registered().end());
        return table;
    }();
    return all;
}

const Command *findCommandByName(const std::string &name) {
    for (const Command &command : commands()) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

std::vector<Option> commandOptions(const Command &command) {
    std::vector<Option> options = command.options;
    for (const auto &added : addedOptions()) {
        if (added.first == command.name) options.push_back(added.second);
    }
    return options;
}

// ---- Context -----------------------------------------------------------------

Json boardJson(const BoardId &id, const std::optional<std::string> &serial) {
    Json board = Json::object();
    board["type"] = id.type;
    board["index"] = id.index;
    if (serial) board["serial"] = *serial;
    if (simulated()) board["simulated"] = true;
    return board;
}

void flushStdout() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int error = errno;
        std::clearerr(stdout);
        throw FileFailure(std::string("cannot write standard output: ") +
                          (error != 0 ? std::strerror(error) : "write error"));
    }
}

Context::Context(const Invocation &invocation, std::vector<std::string> args)
    : invocation_(invocation), args_(std::move(args)) {}

Context::Context(const Invocation &invocation, std::vector<std::string> args, Link &board)
    : invocation_(invocation), args_(std::move(args)), borrowed_(&board) {
    json_["board"] = boardJson(board.id(), board.knownSerial());
}

std::uint32_t Context::number(std::size_t i, const char *name, std::uint32_t min, std::uint32_t max) const {
    return parseNumber(arg(i), name, min, max);
}

std::optional<std::uint32_t> Context::optionNumber(const char *name, std::uint32_t min, std::uint32_t max) const {
    const std::optional<std::string> text = invocation_.value(name);
    if (!text) return std::nullopt;
    return parseNumber(*text, name, min, max);
}

Link &Context::board() {
    if (borrowed_ != nullptr) return *borrowed_;
    if (!link_) {
        std::optional<std::string> serial;
        const BoardId id = selectBoard(invocation_, serial);
        noteSimulated();
        link_ = std::make_unique<Link>(id, serial);
        json_["board"] = boardJson(link_->id(), link_->knownSerial());
    }
    return *link_;
}

void Context::requireType1(const std::string &feature) {
    if (board().id().type != 1)
        throw BoardFailure("not available: " + feature + " exists on type-1 boards only; this is the " +
                           board().describe());
}

void Context::expectReply(std::int32_t result, const std::string &what) {
    if (result == VESKCFP2_CMD_OK) return;
    if (result == VESKCFP2_CMD_SHORT)
        throw BoardFailure("short reply: the " + board().describe() + " answered " + what +
                           " with fewer bytes than expected");
    throw BoardFailure("no reply: the " + board().describe() + " did not answer " + what);
}

void Context::expectSent(std::int32_t result, const std::string &what) {
    if (result != VESKCFP2_CMD_OK) throw BoardFailure("failed: the " + board().describe() + " did not take " + what);
}

void Context::checkConfirmable() const {
    if (invocation_.yes) return;
    if (stdinIsData_)
        throw UsageError("standard input carries the data, so there is no one to ask; add --yes to go ahead");
    if (!isTerminal(stdin))
        throw UsageError("this changes the board and standard input is not a terminal to confirm on; "
                         "add --yes to go ahead");
}

void Context::confirm(const std::function<std::string()> &question) {
    if (invocation_.yes) return;
    checkConfirmable();
    const std::string text = question();
    std::fprintf(stderr, "%s [y/N] ", text.c_str());
    std::fflush(stderr);
    char answer[64] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
        // End of input (Ctrl-D): no newline was typed, so end the question's
        // line before the message that follows.
        answer[0] = '\0';
        std::fputc('\n', stderr);
    }
    std::string word(answer);
    while (!word.empty() && std::isspace(static_cast<unsigned char>(word.back()))) word.pop_back();
    for (char &ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (word != "y" && word != "yes") throw Failure("not confirmed: nothing was changed");
}

void Context::print() {
    if (printed_) return;
    printed_ = true;
    if (invocation_.json) {
        // Scripts get the serial number with the board. Reading it costs
        // eight short round trips, so only JSON output asks for it, after
        // the command worked.
        if (link_) {
            if (!deferred_) link_->serial();
            json_["board"] = boardJson(link_->id(), link_->knownSerial());
        }
        if (deferred_) {
            Json error = Json::object();
            error["code"] = kExitFailed;
            error["message"] = *deferred_;
            json_["error"] = error;
        }
        std::printf("%s\n", dumpJson(json_).c_str());
    } else {
        for (const std::string &text : lines_) std::printf("%s\n", text.c_str());
    }
}

}  // namespace brevantctl
