// conversation.cpp - a board's conversation: the registry of the boards this
// process has open, each board's turn and mark, the drain and the resync.
#include "usb/conversation.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/command_table.h"
#include "protocol/report.h"
#include "usb/backend.h"
#include "usb/usbapi.h"

namespace VESK {
namespace {

std::mutex registryLock;
std::vector<std::shared_ptr<BoardConversation>> &entries() {
    // Built on first use and never destroyed, so a transport released while
    // the process exits still finds it.
    static auto *const all = new std::vector<std::shared_ptr<BoardConversation>>;
    return *all;
}

// Marks stop counting here: past it, a board is simply out of step.
constexpr std::uint32_t kOwedCap = 16;
// A resync gives up after this many reads that ran their whole wait with
// nothing coming before the ping's reply, and after this many packets.
constexpr unsigned kResyncQuietWaits = 2;
constexpr unsigned kResyncPacketLimit = 32;

const SharedTurnOps *sharedOps() { return backend().sharedTurn; }

}  // namespace

BoardConversation::~BoardConversation() {
    if (sharedTurn != nullptr && !leftByFork) sharedOps()->close(sharedTurn);
}

std::shared_ptr<BoardConversation> joinConversation(const std::string &path, USBAPI &transport) {
    std::shared_ptr<BoardConversation> board;
    bool shareable = true;
    {
        std::lock_guard<std::mutex> hold(registryLock);
        std::vector<std::shared_ptr<BoardConversation>> &all = entries();
        auto found = std::find_if(all.begin(), all.end(), [&](const std::shared_ptr<BoardConversation> &b) {
            return b->path == path;
        });
        if (found != all.end()) {
            board = *found;
        } else {
            board = std::make_shared<BoardConversation>(path);
            // Where other processes may open the board too, its turn and
            // mark are shared with them; without them the board is not
            // talked to at all.
            if (const SharedTurnOps *ops = sharedOps()) {
                board->sharedTurn = ops->open(path.c_str());
                shareable = board->sharedTurn != nullptr;
            }
            if (shareable) all.push_back(board);
        }
        if (shareable) ++board->users;
    }
    if (!shareable) {
        transport.closePipes();
        return nullptr;
    }
    transport.setConversation(board);
    // Every joiner drains: it cannot tell whether the board is in step with
    // it (a reply another program left, a board replugged under a stale
    // instance). The drain runs in the board's turn, so no exchange of any
    // process is cut in two; a reply owed to another user is dropped, and
    // that user's mark still makes it resynchronise.
    BoardTurn turn(transport);
    if (!turn.held()) {
        transport.closePipes();
        return nullptr;
    }
    if (!drainBoard(transport, turn)) return nullptr;
    return board;
}

void leaveConversation(const std::shared_ptr<BoardConversation> &board) {
    std::lock_guard<std::mutex> hold(registryLock);
    if (board->users > 0) --board->users;
    if (board->users != 0 || board->owes) return;
    std::vector<std::shared_ptr<BoardConversation>> &all = entries();
    all.erase(std::remove(all.begin(), all.end(), board), all.end());
}

std::size_t knownBoards() {
    std::lock_guard<std::mutex> hold(registryLock);
    return entries().size();
}

void holdConversationsForFork() { registryLock.lock(); }

void releaseConversationsInParent() { registryLock.unlock(); }

void startConversationsInChild() {
    // A thread that holds a board's turn holds the entry too, so clearing
    // the list destroys only entries whose turn is free; the others stay
    // with the parent's transports and threads copied by the fork.
    std::vector<std::shared_ptr<BoardConversation>> &all = entries();
    for (const std::shared_ptr<BoardConversation> &board : all) board->leftByFork = true;
    all.clear();
    registryLock.unlock();
}

// A board left by a fork is not waited for: its turn may belong to a thread
// of the parent, and its pipes reach nothing in this process anyway.
BoardTurn::BoardTurn(const USBAPI &transport) : board_(transport.board()), hold_(board_->turn, std::defer_lock) {
    if (board_->leftByFork) return;
    hold_.lock();
    held_ = true;
    if (board_->sharedTurn == nullptr) return;
    switch (sharedOps()->take(board_->sharedTurn)) {
        case SharedTurnTake::Taken: sharedHeld_ = true; break;
        case SharedTurnTake::Abandoned: {
            // A process died in the middle of an exchange: the board may owe
            // it a reply of any length.
            sharedHeld_ = true;
            OwedReplies o = owed();
            setOwed({std::min(o.replies + 1, kOwedCap), std::min(o.pings + 1, kOwedCap)});
            break;
        }
        case SharedTurnTake::Failed: held_ = false; break;
    }
}

BoardTurn::~BoardTurn() {
    if (sharedHeld_) sharedOps()->give(board_->sharedTurn);
}

OwedReplies BoardTurn::owed() const {
    if (board_->sharedTurn == nullptr) return board_->owedHere;
    const std::uint32_t *words = sharedOps()->mark(board_->sharedTurn);
    return {words[0], words[1]};
}

void BoardTurn::setOwed(OwedReplies owed) {
    if (board_->sharedTurn == nullptr) {
        board_->owedHere = owed;
    } else {
        std::uint32_t *words = sharedOps()->mark(board_->sharedTurn);
        words[0] = owed.replies;
        words[1] = owed.pings;
    }
    board_->owes = owed.replies != 0;
}

void BoardTurn::replyMayStillCome(std::uint32_t replyLength) {
    const OwedReplies o = owed();
    const auto pingLength = brevant::commandRow(brevant::Command::Ping).replyLength;
    setOwed({std::min(o.replies + 1, kOwedCap),
             std::min(o.pings + (replyLength == pingLength ? 1u : 0u), kOwedCap)});
}

void BoardTurn::boardFoundGone() {
    std::lock_guard<std::mutex> hold(registryLock);
    if (board_->users > 1) return;
    setOwed({});
}

bool BoardTurn::readyForQuery(USBAPI &transport, bool &wholePacket) {
    wholePacket = false;
    if (owed().replies == 0) return true;
    if (!resynchronise(transport)) return false;
    wholePacket = true;
    return true;
}

namespace {

// Closes the pipes when the transfer that just failed found the board gone.
bool droppedIfGone(USBAPI &transport, BoardTurn &turn) {
    if (!deviceGone()) return false;
    turn.boardFoundGone();
    transport.closePipes();
    return true;
}

// Short whole-packet reads until one finds nothing: true when the endpoint
// was found quiet. `gone` tells a board found gone.
bool quietAfter(USBAPI &transport, BoardTurn &turn, bool &gone) {
    std::uint8_t discarded[brevant::REPORT_SIZE];
    for (unsigned read = 0; read < DRAIN_READ_LIMIT; ++read) {
        std::uint32_t received = 0;
        if (!readReply(transport.readPipe(), discarded, sizeof discarded, &received, DRAIN_READ_MS)) {
            if (droppedIfGone(transport, turn)) {
                gone = true;
                return false;
            }
            return readTimedOut();
        }
        if (received == 0) return true;  // an empty packet: nothing is queued
    }
    return false;
}

}  // namespace

// The ping's reply is the only 20-byte one. Replies come in order, so once
// the ping's reply has come, every reply owed from before it has come or
// never will; the short reads after it take anything right behind it. When
// the board also owed ping replies, as many 20-byte replies are waited for
// as may come, and a whole reply time with nothing more ends the wait.
bool BoardTurn::resynchronise(USBAPI &transport) {
    std::uint8_t ping[brevant::REPORT_SIZE];
    std::memset(ping, 0, sizeof ping);
    brevant::fillReport(ping, brevant::Command::Ping);
    const std::uint32_t pingLength = brevant::commandRow(brevant::Command::Ping).replyLength;
    if (!writeReport(transport.writePipe(), ping, nullptr)) {
        droppedIfGone(transport, *this);
        return false;
    }
    const OwedReplies before = owed();
    const std::uint32_t expected = before.pings + 1;
    std::uint32_t seen = 0;
    unsigned quietWaits = 0;
    std::uint8_t packet[brevant::REPORT_SIZE];
    for (unsigned packets = 0; packets < kResyncPacketLimit && seen < expected;) {
        std::uint32_t received = 0;
        if (readReply(transport.readPipe(), packet, sizeof packet, &received, PIPE_TIMEOUT_MS)) {
            ++packets;
            if (received == pingLength) ++seen;
            continue;
        }
        if (droppedIfGone(transport, *this)) return false;
        // A read that failed for another reason than nothing coming proves
        // nothing: what it missed may still be in the endpoint.
        if (!readTimedOut()) {
            seen = 0;
            break;
        }
        if (seen > 0) break;  // nothing more came in a whole reply time
        if (++quietWaits >= kResyncQuietWaits) break;
    }
    if (seen == 0) {
        // The ping's own reply may still come.
        setOwed({std::min(before.replies + 1, kOwedCap), std::min(before.pings + 1, kOwedCap)});
        return false;
    }
    bool gone = false;
    if (!quietAfter(transport, *this, gone)) return false;
    setOwed({});
    return true;
}

// Replies left in the endpoint before this transport joined are read and
// dropped. A drain that could not make sure the endpoint is empty (a read
// failed for another reason than nothing coming, or replies kept coming)
// marks the board, so its next query resynchronises first.
bool drainBoard(USBAPI &transport, BoardTurn &turn) {
    bool gone = false;
    if (quietAfter(transport, turn, gone)) return true;
    if (gone) return false;
    const OwedReplies o = turn.owed();
    if (o.replies == 0) turn.setOwed({1, 0});
    return true;
}

}  // namespace VESK
