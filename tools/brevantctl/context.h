// context.h - what a command's handler works with: its arguments, the
// selected board (connected on first use), result checks, and its output as
// text lines and as a JSON object.
#ifndef BREVANTCTL_CONTEXT_H
#define BREVANTCTL_CONTEXT_H

#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "cli.h"
#include "json.h"

namespace brevantctl {

class Context {
   public:
    Context(const Invocation &invocation, std::vector<std::string> args);

    const Invocation &invocation() const { return invocation_; }
    std::size_t argCount() const { return args_.size(); }
    const std::string &arg(std::size_t i) const { return args_.at(i); }
    // Argument i as a number in [min, max], named `name` in the message.
    std::uint32_t number(std::size_t i, const char *name, std::uint32_t min, std::uint32_t max) const;

    // The selected board, connected. Its identity goes into the JSON output.
    Link &board();
    CFP2INSTANCE *instance() { return board().get(); }
    // Fails (exit 1) unless the board is of type 1; `feature` names what is missing.
    void requireType1(const std::string &feature);

    // Checks a command result: a query that failed had no reply, one that
    // came short had a short reply; a set that failed was not taken.
    void expectReply(std::int32_t result, const std::string &what);
    void expectSent(std::int32_t result, const std::string &what);

    // Output, printed when the command succeeded.
    void line(const std::string &text) { lines_.push_back(text); }
    Json &json() { return json_; }
    void print() const;

   private:
    const Invocation &invocation_;
    std::vector<std::string> args_;
    std::unique_ptr<Link> link_;
    std::vector<std::string> lines_;
    Json json_ = Json::object();
};

}  // namespace brevantctl

#endif
