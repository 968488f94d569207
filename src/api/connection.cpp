// connection.cpp - creating and destroying instances, connecting to and
// disconnecting from the board, and ping.
#include <cstring>
#include <new>

#include "api/board.h"
#include "protocol/exchange.h"

using namespace brevant;

extern "C" {

CFP2INSTANCE *VESKCFP2_CALL veskcfp2_createInstance(int32_t boardType, uint16_t deviceIndex) {
    const std::uint8_t type = boardType == 1 ? BOARD_8348 : BOARD_8248;
    CFP2INSTANCE *instance = new (std::nothrow) CFP2INSTANCE;
    CFP2BOARD *board = new (std::nothrow) CFP2BOARD;
    VESK::USBAPI *transport = new (std::nothrow)
        VESK::USBAPI(deviceIndex, type == BOARD_8348 ? VESK::MATCH_8348 : VESK::MATCH_8248,
                     VESK::PIPE_SUFFIX, VESK::PIPE_SUFFIX);
    if (instance == nullptr || board == nullptr || transport == nullptr) {
        delete transport;
        delete board;
        delete instance;
        return nullptr;
    }
    board->connected = 0;
    board->boardType = type;
    std::memset(board->commandBuffer, 0, sizeof board->commandBuffer);
    board->transport = transport;
    instance->board = board;
    instance->boardType = type;
    return instance;
}

void VESKCFP2_CALL veskcfp2_destroyInstance(CFP2INSTANCE *instance) {
    if (instance == nullptr) return;
    if (instance->board != nullptr) {
        delete static_cast<VESK::VESKUSBBASE *>(instance->board->transport);
        delete instance->board;
    }
    delete instance;
}

uint8_t VESKCFP2_CALL veskcfp2_connect(CFP2INSTANCE *instance) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return 0;
    // Close whatever is still open: the pipes of an earlier connect, or the
    // one pipe a failed connect left open. Closing pipes that are not open
    // costs no system call.
    board->transport->closePipes();
    board->connected = board->transport->openPipes() ? 1 : 0;
    return board->connected;
}

uint8_t VESKCFP2_CALL veskcfp2_disconnect(CFP2INSTANCE *instance) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return 0;
    const VESK::PipeCloseResult closed = board->transport->closePipes();
    const bool clean = closed.writeClosed && closed.readClosed;
    board->connected = clean ? 0 : 1;
    return clean ? 1 : 0;
}

int32_t VESKCFP2_CALL veskcfp2_ping(CFP2INSTANCE *instance, uint8_t *reply) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || reply == nullptr) return CMD_FAILED;
    return runCommand(*board->transport, board->commandBuffer, Command::Ping, {}, reply);
}

}  // extern "C"
