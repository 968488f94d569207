// open_boards.cpp - the registry of the boards this process has open.
#include "usb/open_boards.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace VESK {
namespace {

std::mutex registryLock;
std::vector<std::shared_ptr<OpenBoard>> &entries() {
    // Built on first use and never destroyed, so a transport released while
    // the process exits still finds it.
    static auto *const all = new std::vector<std::shared_ptr<OpenBoard>>;
    return *all;
}

}  // namespace

std::shared_ptr<OpenBoard> joinBoard(const std::string &path, std::unique_lock<std::mutex> &firstTurn) {
    for (;;) {
        std::unique_lock<std::mutex> hold(registryLock);
        std::vector<std::shared_ptr<OpenBoard>> &all = entries();
        auto found = std::find_if(all.begin(), all.end(), [&](const std::shared_ptr<OpenBoard> &b) {
            return b->path == path;
        });
        std::shared_ptr<OpenBoard> board;
        if (found != all.end()) {
            board = *found;
        } else {
            board = std::make_shared<OpenBoard>(path);
            all.push_back(board);
        }
        if (board->users == 0) {
            // The turn of a board nobody uses is held only by an exchange
            // whose transport has just left the board and which is about to
            // end. Code holding a turn may ask for the registry, so the turn
            // is only tried here, and tried again once the registry is free.
            std::unique_lock<std::mutex> turn(board->turn, std::try_to_lock);
            if (!turn.owns_lock()) {
                hold.unlock();
                std::this_thread::yield();
                continue;
            }
            firstTurn = std::move(turn);
        }
        ++board->users;
        return board;
    }
}

void leaveBoard(const std::shared_ptr<OpenBoard> &board) {
    std::lock_guard<std::mutex> hold(registryLock);
    if (board->users > 0) --board->users;
    if (board->users != 0 || board->owedReplyLength != 0) return;
    std::vector<std::shared_ptr<OpenBoard>> &all = entries();
    all.erase(std::remove(all.begin(), all.end(), board), all.end());
}

void boardFoundGone(const std::shared_ptr<OpenBoard> &board) {
    std::lock_guard<std::mutex> hold(registryLock);
    if (board->users > 1) return;
    board->owedReplyWaits = 0;
    board->owedReplyLength = 0;
}

void holdBoardsForFork() { registryLock.lock(); }

void releaseBoardsInParent() { registryLock.unlock(); }

void startBoardsInChild() {
    // A thread that holds a board's turn holds the entry too, so clearing
    // the list destroys only entries whose turn is free; the others stay
    // with the parent's transports and threads copied by the fork.
    std::vector<std::shared_ptr<OpenBoard>> &all = entries();
    for (const std::shared_ptr<OpenBoard> &board : all) board->leftByFork = true;
    all.clear();
    registryLock.unlock();
}

std::size_t knownBoards() {
    std::lock_guard<std::mutex> hold(registryLock);
    return entries().size();
}

}  // namespace VESK
