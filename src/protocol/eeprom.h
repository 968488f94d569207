// eeprom.h - EEPROM byte access on a board, built in the one report the
// whole process shares for it.
#ifndef BREVANT_PROTOCOL_EEPROM_H
#define BREVANT_PROTOCOL_EEPROM_H

#include <cstdint>
#include <mutex>

namespace VESK {
class USBAPI;
}

namespace brevant {

// Writes one byte at `address` (cut to 17 bits); a command result.
int eepromWrite(VESK::USBAPI &transport, std::int32_t address, std::uint8_t data);
// Reads one byte at `address` into `*value` (when not null), whatever the
// result; a command result.
int eepromRead(VESK::USBAPI &transport, std::int32_t address, std::uint8_t *value);

// The lock that keeps each EEPROM command whole; fork handling holds it
// across a fork so that a child never inherits it held.
std::mutex &eepromLock();

}  // namespace brevant

#endif
