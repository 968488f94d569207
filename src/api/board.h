// board.h - the objects behind the caller's handle: the instance and the
// board object that owns the command buffer and the USB transport.
#ifndef BREVANT_API_BOARD_H
#define BREVANT_API_BOARD_H

#include <cstdint>

#include "brevant.h"
#include "protocol/report.h"
#include "usb/usbapi.h"

struct CFP2BOARD {
    std::uint8_t connected;  // set by connect, cleared by a clean disconnect
    std::uint8_t boardType;  // 0 = product id 0x8248, 1 = 0x8348
    // Reports of this board are built here; each command writes only its own
    // bytes, the rest keep what the last command left.
    std::uint8_t commandBuffer[brevant::REPORT_SIZE];
    VESK::USBAPI *transport;
};

struct CFP2INSTANCE {
    CFP2BOARD *board;
    std::uint8_t boardType;
};

namespace brevant {

constexpr std::uint8_t BOARD_8248 = 0;
constexpr std::uint8_t BOARD_8348 = 1;

// The board object of an instance, or null for a null instance.
inline CFP2BOARD *boardOf(CFP2INSTANCE *instance) {
    return instance != nullptr ? instance->board : nullptr;
}

}  // namespace brevant

#endif
