// diagnostics.cpp - the diagnostic exchange of brevant_diagnostics.h: a raw
// report and a reply read into the caller's buffer with the system's count,
// for brevantctl doctor. Built on every system, exported only where the
// shared library exports by visibility (not from the Windows DLL).
#include "brevant_diagnostics.h"

#include "api/board.h"

#if !defined(_WIN32)

namespace {

constexpr std::uint32_t kCapacityLimit = 4096;

std::int32_t outcomeOfFailure() {
    if (VESK::deviceGone()) return BREVANT_DIAG_GONE;
    if (VESK::readTimedOut()) return BREVANT_DIAG_TIMEOUT;
    return BREVANT_DIAG_ERROR;
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
    // A reply the board owes from a failed query would otherwise be read as
    // this report's.
    if (report != nullptr && turn.owedReplyLength() != 0) {
        std::uint8_t discarded[brevant::REPORT_SIZE];
        const std::uint32_t waits = turn.owedReplyWaits() > 0 ? turn.owedReplyWaits() : 1;
        for (std::uint32_t wait = 0; wait < waits; ++wait) {
            if (VESK::readReply(transport.readPipe(), discarded, sizeof discarded, nullptr)) break;
            if (!VESK::readTimedOut()) {
                const std::int32_t outcome = outcomeOfFailure();
                if (outcome == BREVANT_DIAG_GONE) {
                    turn.boardFoundGone();
                    transport.closePipes();
                }
                return outcome;
            }
        }
        turn.clearOwedReply();
    }
    if (report != nullptr && !VESK::writeReport(transport.writePipe(), report, nullptr)) {
        const std::int32_t outcome = outcomeOfFailure();
        if (outcome == BREVANT_DIAG_GONE) {
            turn.boardFoundGone();
            transport.closePipes();
        }
        return outcome;
    }
    std::uint32_t count = 0;
    if (!VESK::readReply(transport.readPipe(), reply, capacity, &count, waitMs)) {
        const std::int32_t outcome = outcomeOfFailure();
        // The board may still answer: the next command collects that reply.
        if (report != nullptr || turn.owedReplyLength() == 0)
            turn.setOwedReply(brevant::REPORT_SIZE, outcome == BREVANT_DIAG_TIMEOUT ? 1 : 2);
        if (outcome == BREVANT_DIAG_GONE) {
            turn.boardFoundGone();
            transport.closePipes();
        }
        return outcome;
    }
    turn.clearOwedReply();
    if (received != nullptr) *received = count;
    return BREVANT_DIAG_OK;
}

#endif
