// eeprom_serial.cpp - single EEPROM bytes and the 8-character serial number
// kept at EEPROM addresses 0-7.
#include "api/board.h"

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
    return board->transport->eepromRead(address, value);
}

int32_t VESKCFP2_CALL veskcfp2_eepromWrite(CFP2INSTANCE *instance, int32_t address,
                                           uint8_t data) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return CMD_FAILED;
    return board->transport->eepromWrite(address, data);
}

uint8_t VESKCFP2_CALL veskcfp2_getSN(CFP2INSTANCE *instance, uint8_t *serial) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || serial == nullptr) return 0;
    for (int i = 0; i < kSerialLength; ++i) {
        // A short reply means this character never arrived.
        if (board->transport->eepromRead(i, &serial[i]) != CMD_OK) return 0;
    }
    return 1;
}

uint8_t VESKCFP2_CALL veskcfp2_setSN(CFP2INSTANCE *instance, const uint8_t *serial,
                                     int32_t length) {
    CFP2BOARD *board = boardOf(instance);
    // A missing serial is refused even for length 0: a null pointer here is a
    // caller's mistake, and writing eight spaces would erase the board's serial.
    if (board == nullptr || serial == nullptr || length < 0 || length > kSerialLength) return 0;
    for (int i = 0; i < length; ++i) {
        if (board->transport->eepromWrite(i, serial[i]) == CMD_FAILED) return 0;
    }
    // Padding failures are not reported once a character is on the board. An
    // empty serial has no character: it succeeds only if some padding byte
    // reached the board, so a board that is not connected is not reported as
    // written.
    bool padded = false;
    for (int i = length; i < kSerialLength; ++i) {
        if (board->transport->eepromWrite(i, kSerialPadding) != CMD_FAILED) padded = true;
    }
    return (length > 0 || padded) ? 1 : 0;
}

}  // extern "C"
