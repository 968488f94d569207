// open_boards.h - the boards this process has open, one entry per physical
// board, told apart by the path its lookup found (the interface path, or the
// bus and port path). Every transport with pipes on a board shares its entry:
// the entry's lock is held for one exchange at a time, whichever instance or
// enumeration probe makes it, and the reply the board still owes is
// remembered there, not in any one transport.
#ifndef BREVANT_USB_OPEN_BOARDS_H
#define BREVANT_USB_OPEN_BOARDS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace VESK {

struct OpenBoard {
    explicit OpenBoard(std::string boardPath) : path(std::move(boardPath)) {}
    const std::string path;
    // Held from an exchange's first transfer to its last.
    std::mutex turn;
    // The length of a reply the board still owes: a query's read failed, so
    // its reply may come later. 0 when nothing is owed. Written under `turn`.
    std::atomic<std::uint32_t> owedReplyLength{0};
    // How many whole read waits the next query spends collecting that reply
    // before it goes on: one after a read that waited its full time for it,
    // two after a read that ended without waiting (an error at once), since
    // that reply may still be a whole reply time away. Written under `turn`.
    std::atomic<std::uint32_t> owedReplyWaits{0};
    // Transports with pipes on the board; guarded by the registry's lock.
    unsigned users = 0;
    // Set in a process forked from the one that made the entry: `turn` may
    // be held by a thread that the fork did not copy, so it is never taken
    // again. Only the parent's transports copied by the fork still point at
    // such an entry, and their pipes reach nothing here.
    std::atomic<bool> leftByFork{false};
};

// Joins the board at `path`, making its entry when there is none. When no
// other transport of the process had the board open, `firstTurn` receives
// the board's turn, taken before anyone else can join: the first user
// drains the board before any other transport of the process can talk to
// it. Otherwise `firstTurn` is left empty.
std::shared_ptr<OpenBoard> joinBoard(const std::string &path, std::unique_lock<std::mutex> &firstTurn);
// One user less. The entry is forgotten once nobody uses the board and it
// owes nothing; an owed reply keeps it until the board vanishes.
void leaveBoard(const std::shared_ptr<OpenBoard> &board);

// A transfer of one of the board's users found the board gone: what the
// board owes is forgotten, unless other transports still have pipes on its
// path. The board may be back under those (unplugged and plugged again
// before this user noticed), owing one of them a reply.
void boardFoundGone(const std::shared_ptr<OpenBoard> &board);

// fork: the registry's lock is held across it (`holdBoardsForFork` before,
// one of the others after), so the child finds it free. The child starts
// with no entries: those it inherited are marked left by the fork, as a turn
// held by another thread of the parent is never released here.
void holdBoardsForFork();
void releaseBoardsInParent();
void startBoardsInChild();

// Entries the registry holds (for tests).
std::size_t knownBoards();

}  // namespace VESK

#endif
