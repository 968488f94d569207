// open_boards.cpp - the registry of the boards this process has open.
#include "usb/open_boards.h"

#include <algorithm>
#include <vector>

namespace VESK {
namespace {

std::mutex registryLock;
// Built on first use and never destroyed, so a transport released while the
// process exits still finds it. Guarded by registryLock.
std::vector<std::shared_ptr<OpenBoard>> *registry = nullptr;
std::vector<std::shared_ptr<OpenBoard>> &entries() {
    if (registry == nullptr) registry = new std::vector<std::shared_ptr<OpenBoard>>;
    return *registry;
}

}  // namespace

std::shared_ptr<OpenBoard> joinBoard(const std::string &path, bool &firstUser) {
    std::lock_guard<std::mutex> hold(registryLock);
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
    firstUser = board->users == 0;
    ++board->users;
    return board;
}

void leaveBoard(const std::shared_ptr<OpenBoard> &board) {
    std::lock_guard<std::mutex> hold(registryLock);
    if (board->users > 0) --board->users;
    if (board->users != 0 || board->owedReplyLength != 0) return;
    std::vector<std::shared_ptr<OpenBoard>> &all = entries();
    all.erase(std::remove(all.begin(), all.end(), board), all.end());
}

void holdBoardsForFork() { registryLock.lock(); }

void releaseBoardsInParent() { registryLock.unlock(); }

void startBoardsInChild() {
    // The parent's list stays allocated: its entries' turns may be held.
    if (registry != nullptr) {
        for (const std::shared_ptr<OpenBoard> &board : *registry) board->leftByFork = true;
        registry = nullptr;
    }
    registryLock.unlock();
}

std::size_t knownBoards() {
    std::lock_guard<std::mutex> hold(registryLock);
    return entries().size();
}

}  // namespace VESK
