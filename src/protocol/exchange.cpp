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
// device gone. A board that vanished owes no reply any more.
void dropPipesIfVanished(VESK::USBAPI &transport) {
    transport.dropPipesIfDeviceGone();
    if (!pipesOpen(transport)) transport.setOwedReplyLength(0);
}

// Replies carry nothing that ties them to their query, so a reply that comes
// after its query gave up would be taken as the answer to the next one.
// Before a query is sent, one read (bounded like any other) collects the
// reply the board still owes; its bytes are dropped. The board stays marked
// until a query's own read succeeds. False when the pipes were dropped.
bool collectOwedReply(VESK::USBAPI &transport) {
    std::uint8_t discarded[REPORT_SIZE];
    const std::uint32_t length =
        std::min<std::uint32_t>(transport.owedReplyLength(), static_cast<std::uint32_t>(REPORT_SIZE));
    if (!VESK::readReply(transport.readPipe(), discarded, length, nullptr)) {
        dropPipesIfVanished(transport);
    }
    return pipesOpen(transport);
}

}  // namespace

int exchange(VESK::USBAPI &transport, const std::uint8_t *report, std::uint32_t replyLength,
             std::uint8_t *reply) {
    // Commands without a reply need the read pipe too: a half-open board is
    // not connected.
    if (!pipesOpen(transport)) return CMD_FAILED;

    // Only a query can be harmed by an old reply: commands without one go out
    // at once.
    if (replyLength != 0 && transport.owedReplyLength() != 0 && !collectOwedReply(transport)) {
        return CMD_FAILED;
    }

    if (!VESK::writeReport(transport.writePipe(), report, nullptr)) {
        dropPipesIfVanished(transport);
        return CMD_FAILED;
    }
    if (replyLength == 0) return CMD_OK;

    std::uint32_t received = 0;
    if (!VESK::readReply(transport.readPipe(), reply, replyLength, &received)) {
        // The report went out: whatever stopped the read, the board may
        // still answer it.
        transport.setOwedReplyLength(replyLength);
        dropPipesIfVanished(transport);
        return CMD_FAILED;
    }
    transport.setOwedReplyLength(0);
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
