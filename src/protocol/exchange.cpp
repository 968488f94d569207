// exchange.cpp - sends one command report and grades the board's reply.
#include "protocol/exchange.h"

#include "protocol/report.h"
#include "usb/usbapi.h"

namespace brevant {

int exchange(VESK::USBAPI &transport, const std::uint8_t *report, std::uint32_t replyLength,
             std::uint8_t *reply) {
    // Commands without a reply need the read pipe too: a half-open board is
    // not connected.
    if (!transport.writePipeOpen() || !transport.readPipeOpen()) return CMD_FAILED;

    if (!VESK::writeReport(transport.writePipe(), report, nullptr)) {
        transport.dropPipesIfDeviceGone();
        return CMD_FAILED;
    }
    if (replyLength == 0) return CMD_OK;

    std::uint32_t received = 0;
    if (!VESK::readReply(transport.readPipe(), reply, replyLength, &received)) {
        transport.dropPipesIfDeviceGone();
        return CMD_FAILED;
    }
    if (received == replyLength) return CMD_OK;
    if (received < replyLength) return CMD_SHORT;
    // More bytes than asked cannot be a reply to this query.
    transport.dropPipesIfDeviceGone();
    return CMD_FAILED;
}

int runCommand(VESK::USBAPI &transport, std::uint8_t *report, Command command,
               std::initializer_list<std::uint8_t> operands, std::uint8_t *reply) {
    fillReport(report, command, operands);
    return exchange(transport, report, commandRow(command).replyLength, reply);
}

}  // namespace brevant
