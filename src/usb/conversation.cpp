// conversation.cpp - a board's conversation: the registry of the boards this
// process has open, each board's turn and mark, the drain and the resync.
#include "usb/conversation.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
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

// Marks stop counting replies here: past it, a board is simply out of step.
constexpr std::uint32_t kOwedCap = 64;
// A resync gives up after this many reads that ran their whole wait with
// nothing coming before its ping's reply, and after this many packets.
constexpr unsigned kResyncQuietWaits = 2;
constexpr unsigned kResyncPacketLimit = 64;
constexpr std::uint32_t kPingReplyLength = 20;

void oweReply(OwedReplies &o) {
    o.replies = std::min(o.replies + 1, kOwedCap);
    o.lastIsPing = 0;
}

void owePing(OwedReplies &o) {
    o.replies = std::min(o.replies + 1, kOwedCap);
    o.lastIsPing = 1;
    if (o.pings == kOwedPingsCap) {
        std::copy(o.pingWaitedMs + 1, o.pingWaitedMs + kOwedPingsCap, o.pingWaitedMs);
        --o.pings;
    }
    o.pingWaitedMs[o.pings++] = 0;
}

// A 20-byte reply came: the oldest ping followed was answered.
void pingAnswered(OwedReplies &o) {
    if (o.pings == 0) return;
    std::copy(o.pingWaitedMs + 1, o.pingWaitedMs + o.pings, o.pingWaitedMs);
    --o.pings;
}

// A read waited `ms` and nothing came: every ping followed waited as long,
// and those that waited past all lateness are taken as lost.
void nothingCameFor(OwedReplies &o, std::uint32_t ms) {
    for (std::uint32_t i = 0; i < o.pings; ++i) o.pingWaitedMs[i] += ms;
    std::uint32_t lost = 0;
    while (lost < o.pings && o.pingWaitedMs[lost] >= kPingPresumedLostMs) ++lost;
    std::copy(o.pingWaitedMs + lost, o.pingWaitedMs + o.pings, o.pingWaitedMs);
    o.pings -= lost;
}

static_assert(sizeof(OwedReplies) <= SHARED_MARK_SIZE, "the mark fits the section other processes share");
static_assert(std::is_trivially_copyable<OwedReplies>::value, "the mark is copied as bytes");

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
            // it a reply.
            sharedHeld_ = true;
            OwedReplies o = owed();
            oweReply(o);
            setOwed(o);
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
    OwedReplies o;
    std::memcpy(static_cast<void *>(&o), sharedOps()->mark(board_->sharedTurn), sizeof o);
    o.pings = std::min(o.pings, kOwedPingsCap);  // another process's word, however written
    return o;
}

void BoardTurn::setOwed(const OwedReplies &owed) {
    if (board_->sharedTurn == nullptr) {
        board_->owedHere = owed;
    } else {
        std::memcpy(sharedOps()->mark(board_->sharedTurn), &owed, sizeof owed);
    }
    board_->owes = owed.replies != 0;
}

void BoardTurn::replyTaken(std::uint32_t length) {
    if (length != kPingReplyLength) return;
    OwedReplies o = owed();
    if (o.pings == 0) return;
    pingAnswered(o);
    setOwed(o);
}

void BoardTurn::replyMayStillCome(std::uint32_t replyLength) {
    OwedReplies o = owed();
    if (replyLength == kPingReplyLength) {
        owePing(o);
    } else {
        oweReply(o);
    }
    setOwed(o);
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
// was found quiet (after `mustBeEmpty`, only when the first read found
// nothing). Ping replies that come are counted off `o`, and the waits age
// the pings it follows. `gone` tells a board found gone.
bool quietAfter(USBAPI &transport, BoardTurn &turn, OwedReplies &o, bool mustBeEmpty, bool &gone) {
    std::uint8_t discarded[brevant::REPORT_SIZE];
    for (unsigned read = 0; read < DRAIN_READ_LIMIT; ++read) {
        std::uint32_t received = 0;
        if (!readReply(transport.readPipe(), discarded, sizeof discarded, &received, DRAIN_READ_MS)) {
            if (droppedIfGone(transport, turn)) {
                gone = true;
                return false;
            }
            if (!readTimedOut()) return false;
            nothingCameFor(o, DRAIN_READ_MS);
            return read == 0 || !mustBeEmpty;
        }
        if (received == 0) return read == 0 || !mustBeEmpty;  // an empty packet: nothing is queued
        if (received == kPingReplyLength) pingAnswered(o);
    }
    return false;
}

}  // namespace

// The ping's reply is the only 20-byte one, and replies come in order: once
// every ping reply the board owed has come (or waited so long it is taken as
// lost), the last of them a ping sent after every other report owed (this
// resync's, or an earlier one's still awaited), every reply owed from before
// it has come or never will. The short reads after it must then find the
// endpoint quiet.
bool BoardTurn::resynchronise(USBAPI &transport) {
    OwedReplies o = owed();
    // A ping owed last is the marker already: its reply ends what is owed.
    if (o.pings == 0 || o.lastIsPing == 0) {
        std::uint8_t ping[brevant::REPORT_SIZE];
        std::memset(ping, 0, sizeof ping);
        brevant::fillReport(ping, brevant::Command::Ping);
        if (!writeReport(transport.writePipe(), ping, nullptr)) {
            droppedIfGone(transport, *this);
            return false;
        }
        owePing(o);
    }
    unsigned quietWaits = 0;
    std::uint8_t packet[brevant::REPORT_SIZE];
    for (unsigned packets = 0; packets < kResyncPacketLimit && o.pings > 0;) {
        std::uint32_t received = 0;
        if (readReply(transport.readPipe(), packet, sizeof packet, &received, PIPE_TIMEOUT_MS)) {
            ++packets;
            if (received == kPingReplyLength) pingAnswered(o);
            continue;
        }
        if (droppedIfGone(transport, *this)) return false;
        // A read that failed for another reason than nothing coming proves
        // nothing: what it missed may still be in the endpoint.
        if (!readTimedOut()) break;
        nothingCameFor(o, PIPE_TIMEOUT_MS);
        if (++quietWaits >= kResyncQuietWaits) break;
    }
    setOwed(o);
    if (o.pings > 0) return false;
    bool gone = false;
    if (!quietAfter(transport, *this, o, true, gone)) {
        if (!gone) setOwed(o);
        return false;
    }
    setOwed({});
    return true;
}

// Replies left in the endpoint before this transport joined are read and
// dropped. A drain that could not make sure the endpoint is empty (a read
// failed for another reason than nothing coming, or replies kept coming)
// marks the board, so its next query resynchronises first.
bool drainBoard(USBAPI &transport, BoardTurn &turn) {
    OwedReplies o = turn.owed();
    const bool marked = o.replies != 0;
    bool gone = false;
    const bool quiet = quietAfter(transport, turn, o, false, gone);
    if (gone) return false;
    if (!quiet && o.replies == 0) oweReply(o);
    if (marked || !quiet) turn.setOwed(o);
    return true;
}

}  // namespace VESK
