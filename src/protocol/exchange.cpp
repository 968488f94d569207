// exchange.cpp - sends one command report and grades the board's reply.
#include "protocol/exchange.h"

#include <algorithm>

#include "protocol/report.h"
#include "usb/usbapi.h"

namespace brevant {
namespace {

bool pipesOpen(const VESK::USBAPI &transport) {
    return transport.writePipeOpen() && transport.readPipeOpen();
}

// Closes the pipes when the transport says the failed transfer found the
// device gone. A board that vanished owes no reply any more: the mark goes
// first, so the board's entry is forgotten with its last user. While other
// transports still have pipes on the board's path, the mark stays: the
// board may be back under them, owing one of them a reply.
void dropPipesIfVanished(VESK::USBAPI &transport, VESK::BoardTurn &turn) {
    if (!VESK::deviceGone()) return;
    turn.boardFoundGone();
    transport.closePipes();
}

// Replies carry nothing that ties them to their query, so a reply that comes
// after its query gave up would be taken as the answer to the next one.
// Before a query is sent, reads (each bounded like any other) collect the
// reply the board still owes; its bytes are dropped. A reply owed by a read
// that waited its full time gets one more wait; one owed by a read that
// ended at once gets two, as it may still be a whole reply time away. The
// board stays marked until a query's own read succeeds. False when the query
// must not go on: the pipes were dropped, or a read failed for another
// reason than nothing coming in time, so the owed reply may still sit in the
// endpoint.
bool collectOwedReply(VESK::USBAPI &transport, VESK::BoardTurn &turn) {
    std::uint8_t discarded[REPORT_SIZE];
    const std::uint32_t length =
        std::min<std::uint32_t>(turn.owedReplyLength(), static_cast<std::uint32_t>(REPORT_SIZE));
    const std::uint32_t waits = std::max<std::uint32_t>(turn.owedReplyWaits(), 1);
    for (std::uint32_t wait = 0; wait < waits; ++wait) {
        if (VESK::readReply(transport.readPipe(), discarded, length, nullptr)) return true;
        if (!VESK::readTimedOut()) {
            dropPipesIfVanished(transport, turn);
            return false;
        }
    }
    return true;
}

}  // namespace

int exchange(VESK::USBAPI &transport, const std::uint8_t *report, std::uint32_t replyLength,
             std::uint8_t *reply) {
    // Commands without a reply need the read pipe too: a half-open board is
    // not connected.
    if (!pipesOpen(transport)) return CMD_FAILED;

    // The board's replies answer whoever asked last, so every instance and
    // probe of the process on this board takes its turn: one report and its
    // reply at a time.
    VESK::BoardTurn turn(transport);

    // Only a query can be harmed by an old reply: commands without one go out
    // at once.
    if (replyLength != 0 && turn.owedReplyLength() != 0 && !collectOwedReply(transport, turn)) {
        return CMD_FAILED;
    }

    if (!VESK::writeReport(transport.writePipe(), report, nullptr)) {
        dropPipesIfVanished(transport, turn);
        return CMD_FAILED;
    }
    if (replyLength == 0) return CMD_OK;

    std::uint32_t received = 0;
    if (!VESK::readReply(transport.readPipe(), reply, replyLength, &received)) {
        // The report went out: whatever stopped the read, the board may
        // still answer it, and unless the read waited its full time, that
        // answer may be a whole reply time away.
        turn.setOwedReply(replyLength, VESK::readTimedOut() ? 1 : 2);
        dropPipesIfVanished(transport, turn);
        return CMD_FAILED;
    }
    turn.clearOwedReply();
    if (received == replyLength) return CMD_OK;
    if (received < replyLength) return CMD_SHORT;
    // More bytes than asked cannot be a reply to this query. The read itself
    // succeeded, so the pipes are fine: no system error is consulted.
    return CMD_FAILED;
}

int runCommand(VESK::USBAPI &transport, std::uint8_t *report, Command command,
               std::initializer_list<std::uint8_t> operands, std::uint8_t *reply) {
    fillReport(report, command, operands);
    return exchange(transport, report, commandRow(command).replyLength, reply);
}

}  // namespace brevant
