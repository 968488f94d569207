// context.h - what a command's handler works with: its arguments and
// options, the selected board (connected on first use), result checks, the
// confirmation of changes, and its output as text lines and as a JSON object.
#ifndef BREVANTCTL_CONTEXT_H
#define BREVANTCTL_CONTEXT_H

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "cli.h"
#include "json.h"

namespace brevantctl {

class Context {
   public:
    Context(const Invocation &invocation, std::vector<std::string> args);
    // A context working on a board that is already connected (the bench
    // service's): the selection options are not looked at.
    Context(const Invocation &invocation, std::vector<std::string> args, Link &board);

    const Invocation &invocation() const { return invocation_; }
    std::size_t argCount() const { return args_.size(); }
    const std::string &arg(std::size_t i) const { return args_.at(i); }
    // Argument i as a number in [min, max], named `name` in the message.
    std::uint32_t number(std::size_t i, const char *name, std::uint32_t min, std::uint32_t max) const;
    // Option `name` as a number in [min, max], or nullopt when not given.
    std::optional<std::uint32_t> optionNumber(const char *name, std::uint32_t min, std::uint32_t max) const;

    // The selected board, connected. Its identity goes into the JSON output.
    Link &board();
    CFP2INSTANCE *instance() { return board().get(); }
    // Fails (exit 1) unless the board is of type 1; `feature` names what is missing.
    void requireType1(const std::string &feature);

    // Checks a command result: a query that failed had no reply, one that
    // came short had a short reply; a set that failed was not taken.
    void expectReply(std::int32_t result, const std::string &what);
    void expectSent(std::int32_t result, const std::string &what);

    // Before a command changes the board: with --yes goes on; without a
    // terminal on standard input refuses (UsageError), before the board is
    // touched; on a terminal asks `question()` (built after the check, so it
    // may name the board) and fails unless the answer is yes.
    void confirm(const std::function<std::string()> &question);
    // The refusal of confirm() alone, for commands that say more (a warning)
    // between the check and the question.
    void checkConfirmable() const;
    // Fails a later confirm() even on a terminal: standard input carries data.
    void stdinIsData() { stdinIsData_ = true; }

    // Output, printed when the command succeeded.
    void line(const std::string &text) { lines_.push_back(text); }
    Json &json() { return json_; }
    // Ends the command with exit 1 and `message` after its output is printed
    // (a reading failed, nothing was found).
    void failAfterOutput(const std::string &message) {
        if (!deferred_) deferred_ = message;
    }
    const std::optional<std::string> &deferredFailure() const { return deferred_; }
    // Prints the text lines or the JSON object (with the error member when a
    // failure is deferred).
    void print();
    // Marks the output as already written (watch, eeprom save -).
    void printed() { printed_ = true; }

   private:
    const Invocation &invocation_;
    std::vector<std::string> args_;
    std::unique_ptr<Link> link_;
    Link *borrowed_ = nullptr;
    std::vector<std::string> lines_;
    Json json_ = Json::object();
    std::optional<std::string> deferred_;
    bool printed_ = false;
    bool stdinIsData_ = false;
};

// The "board" member of JSON output: type, index, and serial when known.
Json boardJson(const BoardId &id, const std::optional<std::string> &serial);

// Writes standard output now and throws FileFailure when it cannot be
// written (a full disk, a closed pipe).
void flushStdout();

}  // namespace brevantctl

#endif
