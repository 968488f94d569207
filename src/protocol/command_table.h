// command_table.h - every command the board understands, as data: which
// report bytes a command sets (and to what) and how long its reply is.
#ifndef BREVANT_PROTOCOL_COMMAND_TABLE_H
#define BREVANT_PROTOCOL_COMMAND_TABLE_H

#include <cstdint>
#include <initializer_list>

namespace brevant {

enum class Command : std::uint8_t {
    Ping,
    Reset,
    ResetToBoot,
    SetPort,
    GetPort,
    SetVendorIO,
    EnableCurrentSense,
    GetCurrentSense,
    CurrentMonitor,
    SetMDIO,
    GetMDIO,
    SupplyVoltage,
    Temperature,
    SetPower,
    EepromWrite,
    EepromRead,
};

// How a command treats one of report bytes 0-7.
struct ByteRule {
    enum Kind : std::uint8_t { Keep, Fixed, Operand } kind;
    std::uint8_t value;  // the fixed byte, or the operand's position
};

struct CommandRow {
    Command command;
    ByteRule bytes[8];
    std::uint8_t replyLength;  // 0 for commands without a reply
};

// The row of a command.
const CommandRow &commandRow(Command command);

// Writes the bytes of `command` into `report` (REPORT_SIZE bytes), taking the
// operand bytes in the order the row names them; every other byte keeps its
// content.
void fillReport(std::uint8_t *report, Command command,
                std::initializer_list<std::uint8_t> operands = {});

inline std::uint8_t lowByte(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
inline std::uint8_t highByte(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }

}  // namespace brevant

#endif
