// exchange.cpp - sends one command report and grades the board's reply.
#include "protocol/exchange.h"

#include <algorithm>

#include "protocol/report.h"
#include "usb/conversation.h"
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

}  // namespace

int exchange(VESK::USBAPI &transport, const std::uint8_t *report, std::uint32_t replyLength,
             std::uint8_t *reply) {
    // Commands without a reply need the read pipe too: a half-open board is
    // not connected.
    if (!pipesOpen(transport)) return CMD_FAILED;

    // The board's replies answer whoever asked last, so every instance and
    // probe of every process on this board takes its turn: one report and
    // its reply at a time.
    VESK::BoardTurn turn(transport);
    if (!turn.held()) return CMD_FAILED;

    // Only a query can be harmed by a reply nobody waits for: commands
    // without one go out at once. A query on a board that may owe a reply
    // waits until the conversation is back in step, and then reads a whole
    // packet, so that a reply of another length is seen as such.
    bool wholePacket = false;
    if (replyLength != 0 && !turn.readyForQuery(transport, wholePacket)) return CMD_FAILED;

    if (!VESK::writeReport(transport.writePipe(), report, nullptr)) {
        dropPipesIfVanished(transport, turn);
        return CMD_FAILED;
    }
    if (replyLength == 0) return CMD_OK;

    std::uint8_t packet[REPORT_SIZE];
    std::uint32_t received = 0;
    const bool read = wholePacket
                          ? VESK::readReply(transport.readPipe(), packet, sizeof packet, &received)
                          : VESK::readReply(transport.readPipe(), reply, replyLength, &received);
    if (!read) {
        // The report went out: whatever stopped the read, the board may
        // still answer it.
        turn.replyMayStillCome(replyLength);
        dropPipesIfVanished(transport, turn);
        return CMD_FAILED;
    }
    if (wholePacket) std::copy(packet, packet + std::min(received, replyLength), reply);
    if (received == replyLength) return CMD_OK;
    if (received < replyLength) return CMD_SHORT;
    // More bytes than asked cannot be this query's reply. A reply of another
    // query's length means the board is out of step (its own reply may still
    // come); a whole packet is a board that pads its replies, which no resync
    // would mend. The read itself succeeded, so the pipes are fine: no system
    // error is consulted.
    if (received < REPORT_SIZE) {
        turn.replyTaken(received);
        turn.replyMayStillCome(replyLength);
    }
    return CMD_FAILED;
}

int runCommand(VESK::USBAPI &transport, std::uint8_t *report, Command command,
               std::initializer_list<std::uint8_t> operands, std::uint8_t *reply) {
    fillReport(report, command, operands);
    return exchange(transport, report, commandRow(command).replyLength, reply);
}

}  // namespace brevant
