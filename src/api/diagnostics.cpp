// diagnostics.cpp - the diagnostic exchange of brevant_diagnostics.h: a raw
// report and a reply read into the caller's buffer with the system's count,
// for brevantctl doctor. Built where the shared library exports by
// visibility; the Windows DLL leaves it out.
#include "brevant_diagnostics.h"

#include "api/board.h"
#include "usb/conversation.h"

namespace {

constexpr std::uint32_t kCapacityLimit = 4096;

std::int32_t outcomeOfFailure(const VESK::USBAPI &transport) {
    if (!transport.readPipeOpen() || VESK::deviceGone()) return BREVANT_DIAG_GONE;
    if (VESK::readTimedOut()) return BREVANT_DIAG_TIMEOUT;
    return BREVANT_DIAG_ERROR;
}

void dropPipesIfGone(VESK::USBAPI &transport, VESK::BoardTurn &turn) {
    if (!VESK::deviceGone()) return;
    turn.boardFoundGone();
    transport.closePipes();
}

}  // namespace

extern "C" int32_t brevant_diagnosticExchange(CFP2INSTANCE *instance, const uint8_t *report,
                                              uint8_t *reply, uint32_t capacity, uint32_t waitMs,
                                              uint32_t *received) {
    if (received != nullptr) *received = 0;
    CFP2BOARD *board = brevant::boardOf(instance);
    if (board == nullptr || reply == nullptr || capacity == 0 || capacity > kCapacityLimit)
        return BREVANT_DIAG_NOT_CONNECTED;
    VESK::USBAPI &transport = *board->transport;
    if (!transport.writePipeOpen() || !transport.readPipeOpen()) return BREVANT_DIAG_NOT_CONNECTED;
    VESK::BoardTurn turn(transport);
    if (!turn.held()) return BREVANT_DIAG_ERROR;
    // A board that may owe a reply is brought back in step first, as for any
    // query, so the reply read here is this report's.
    bool wholePacket = false;
    if (report != nullptr && !turn.readyForQuery(transport, wholePacket)) return outcomeOfFailure(transport);
    if (report != nullptr && !VESK::writeReport(transport.writePipe(), report, nullptr)) {
        const std::int32_t outcome = outcomeOfFailure(transport);
        dropPipesIfGone(transport, turn);
        return outcome;
    }
    std::uint32_t count = 0;
    if (!VESK::readReply(transport.readPipe(), reply, capacity, &count, waitMs)) {
        const std::int32_t outcome = outcomeOfFailure(transport);
        // The board may still answer: the next query resynchronises first.
        // A read without a report of its own waits for a reply owed already.
        if (report != nullptr) {
            const bool ping = report[0] == brevant::CMD_MCU && report[1] == 0x01 && report[3] == 0x00;
            turn.replyMayStillCome(ping ? 20 : 0);
        }
        dropPipesIfGone(transport, turn);
        return outcome;
    }
    // A read without a report took a reply the board owed.
    if (report == nullptr) turn.replyTaken(count);
    if (received != nullptr) *received = count;
    return BREVANT_DIAG_OK;
}
