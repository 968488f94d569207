// replay.h - a recorded board: the replies a wire log (docs/wire-log.md)
// shows one board giving, by report, so a virtual board can give them again.
// Each report gets the replies recorded for the same 64 report bytes, in the
// order they were recorded, and a reply that came after its read had given
// up comes as late again. A report the log never saw, or saw fewer times,
// gets no reply and is named on standard error: that is where the program
// behaves differently from the recorded run.
#ifndef VBOARD_REPLAY_H
#define VBOARD_REPLAY_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hostwin/platform.h"

namespace vboard {

class Replay {
   public:
    // The replies of the board with `serial` in the wire log at `path` (a
    // doctor report holds one too: lines that are not log lines are passed
    // over). When no line names the serial and the log holds one board
    // only, that board's. Throws std::runtime_error saying why otherwise.
    static Replay load(const std::string &path, const std::string &serial);
    // The same from the log's text; `name` names it in messages.
    static Replay parse(const std::string &text, const std::string &serial, const std::string &name);

    // The reply to `report` (64 bytes), if the recorded board gave one.
    std::optional<hostwin::Reply> answer(const std::uint8_t *report);
    // Reports that the recorded run did not explain, so far.
    unsigned unexplained() const { return unexplained_; }

   private:
    using Bytes = std::array<std::uint8_t, 64>;
    struct Recorded {
        std::optional<std::vector<std::uint8_t>> reply;  // none: the board did not answer
        std::uint32_t lateMs = 0;                         // 0: in time
    };
    std::string name_;
    std::map<Bytes, std::deque<Recorded>> recorded_;
    std::map<Bytes, unsigned> sent_;  // times each report came in this run
    unsigned unexplained_ = 0;
};

}  // namespace vboard

#endif
