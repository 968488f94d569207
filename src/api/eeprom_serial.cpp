// eeprom_serial.cpp - single EEPROM bytes and the 8-character serial number
// kept at EEPROM addresses 0-7.
#include "api/board.h"
#include "protocol/eeprom.h"
#include "usb/wire_log.h"

using namespace brevant;

namespace {
constexpr int kSerialLength = 8;
constexpr std::uint8_t kSerialPadding = 0x20;  // serial numbers are space padded
}  // namespace

extern "C" {

int32_t VESKCFP2_CALL veskcfp2_eepromRead(CFP2INSTANCE *instance, int32_t address,
                                          uint8_t *value) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || value == nullptr) return CMD_FAILED;
    return eepromRead(*board->transport, address, value);
}

int32_t VESKCFP2_CALL veskcfp2_eepromWrite(CFP2INSTANCE *instance, int32_t address,
                                           uint8_t data) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return CMD_FAILED;
    return eepromWrite(*board->transport, address, data);
}

uint8_t VESKCFP2_CALL veskcfp2_getSN(CFP2INSTANCE *instance, uint8_t *serial) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || serial == nullptr) return 0;
    for (int i = 0; i < kSerialLength; ++i) {
        // A short reply means this character never arrived.
        if (eepromRead(*board->transport, i, &serial[i]) != CMD_OK) return 0;
    }
    VESK::wireLogSerial(board->transport->readPipe(), serial, kSerialLength);
    return 1;
}

uint8_t VESKCFP2_CALL veskcfp2_setSN(CFP2INSTANCE *instance, const uint8_t *serial,
                                     int32_t length) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || length < 0 || length > kSerialLength) return 0;
    // Length 0 reads no character: eight spaces are written whatever `serial` is.
    if (serial == nullptr && length > 0) return 0;
    for (int i = 0; i < length; ++i) {
        if (eepromWrite(*board->transport, i, serial[i]) == CMD_FAILED) return 0;
    }
    // Every padding byte is attempted, but a serial with a space that never
    // reached the board is not the serial asked for: the old character is
    // still there.
    bool padded = true;
    for (int i = length; i < kSerialLength; ++i) {
        if (eepromWrite(*board->transport, i, kSerialPadding) == CMD_FAILED) padded = false;
    }
    return padded ? 1 : 0;
}

}  // extern "C"
