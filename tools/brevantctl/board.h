// board.h - finding boards and holding a connection to one, through the
// library's public interface only.
#ifndef BREVANTCTL_BOARD_H
#define BREVANTCTL_BOARD_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "brevant.h"
#include "cli.h"

namespace brevantctl {

struct BoardId {
    int type;
    std::uint16_t index;
};

// The boards of `type` (0 or 1), or of both types when `type` is empty, in
// device-index order. Only counts them; no board is probed.
std::vector<BoardId> findBoards(std::optional<int> type);

// A board's serial number with the padding spaces taken off; empty when it
// could not be read.
std::optional<std::string> readSerial(const BoardId &id);

// A connected board: connects on construction (BoardFailure when it does not
// open), disconnects and releases the instance when it goes.
class Link {
   public:
    explicit Link(const BoardId &id);
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    CFP2INSTANCE *get() const { return instance_; }
    const BoardId &id() const { return id_; }
    std::string describe() const;  // "type-1 board at device index 0"

   private:
    BoardId id_;
    CFP2INSTANCE *instance_;
};

// The board the command line selects: --serial S, --type T with or without
// --index N, --index N alone, or the first board found.
BoardId selectBoard(const Invocation &invocation);

// Board type from --type: 0 or 1 (UsageError otherwise).
int parseBoardType(const std::string &text);

}  // namespace brevantctl

#endif
