// report.h - the 64-byte command report: its size, the command codes and the
// results every command returns.
#ifndef BREVANT_PROTOCOL_REPORT_H
#define BREVANT_PROTOCOL_REPORT_H

#include <cstddef>
#include <cstdint>

namespace brevant {

constexpr std::size_t REPORT_SIZE = 64;

// Command codes, report byte 0.
constexpr std::uint8_t CMD_PORT = 0xF0;     // ports, vendor I/O, current sense and monitor
constexpr std::uint8_t CMD_EEPROM = 0xF1;   // EEPROM byte access
constexpr std::uint8_t CMD_MDIO = 0xF4;     // module registers over MDIO
constexpr std::uint8_t CMD_MCU = 0xF5;      // ping, reset, reset to boot
constexpr std::uint8_t CMD_MONITOR = 0xF6;  // supply voltage and temperature
constexpr std::uint8_t CMD_POWER = 0xF7;    // module power

// Command results.
constexpr int CMD_FAILED = 0;
constexpr int CMD_OK = 1;
constexpr int CMD_SHORT = 2;

}  // namespace brevant

#endif
