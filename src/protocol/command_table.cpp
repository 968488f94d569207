// command_table.cpp - the command table: the bytes each command sets in the
// report and the length of its reply. Operand k is the k-th byte an export
// passes to fillReport.
#include "protocol/command_table.h"

#include "protocol/report.h"

namespace brevant {
namespace {

constexpr ByteRule K{ByteRule::Keep, 0};
constexpr ByteRule F(std::uint8_t v) { return {ByteRule::Fixed, v}; }
constexpr ByteRule A(std::uint8_t k) { return {ByteRule::Operand, k}; }

// clang-format off
constexpr CommandRow kTable[] = {
    //                              b0                b1        b2      b3       b4     b5     b6     b7   reply
    {Command::Ping,               {F(CMD_MCU),     F(0x01), K,      F(0x00), K,     K,     K,     K},     20},
    {Command::Reset,              {F(CMD_MCU),     F(0x00), K,      F(0x01), K,     K,     K,     K},      0},
    {Command::ResetToBoot,        {F(CMD_MCU),     F(0x00), K,      F(0x02), K,     K,     K,     K},      0},
    // operands: port, value
    {Command::SetPort,            {F(CMD_PORT),    F(0x00), K,      A(0),    A(1),  K,     K,     K},      0},
    // operands: port
    {Command::GetPort,            {F(CMD_PORT),    F(0x01), K,      A(0),    K,     K,     K,     K},      2},
    // operands: value
    {Command::SetVendorIO,        {F(CMD_PORT),    A(0),    K,      F(0x09), K,     K,     K,     K},      0},
    // operands: selector low, selector high, value low, value high
    {Command::EnableCurrentSense, {F(CMD_PORT),    F(0x00), K,      F(0x0A), A(0),  A(1),  A(2),  A(3)},   0},
    // operands: selector low, selector high
    {Command::GetCurrentSense,    {F(CMD_PORT),    F(0x01), K,      F(0x0A), A(0),  A(1),  K,     K},      3},
    {Command::CurrentMonitor,     {F(CMD_PORT),    F(0x01), K,      F(0x0B), K,     K,     K,     K},      3},
    // operands: port, register low, register high, data low, data high
    {Command::SetMDIO,            {F(CMD_MDIO),    F(0x00), K,      A(0),    A(1),  A(2),  A(3),  A(4)},   0},
    // operands: port, register low, register high
    {Command::GetMDIO,            {F(CMD_MDIO),    F(0x01), F(0),   A(0),    A(1),  A(2),  K,     K},      3},
    {Command::SupplyVoltage,      {F(CMD_MONITOR), F(0x01), K,      F(0x01), K,     K,     K,     K},      3},
    // operands: sensor
    {Command::Temperature,        {F(CMD_MONITOR), F(0x01), K,      F(0x04), A(0),  K,     K,     K},      3},
    // operands: value
    {Command::SetPower,           {F(CMD_POWER),   F(0x00), A(0),   K,       K,     K,     K,     K},      0},
    // operands: page, address bits 15-8, address bits 7-0, data. Byte 2 of the
    // EEPROM report is never written and stays 0.
    {Command::EepromWrite,        {F(CMD_EEPROM),  F(0x00), K,      F(0x02), A(0),  A(1),  A(2),  A(3)},   0},
    // operands: page, address bits 15-8, address bits 7-0
    {Command::EepromRead,         {F(CMD_EEPROM),  F(0x01), K,      F(0x02), A(0),  A(1),  A(2),  K},      2},
};
// clang-format on

constexpr bool tableInOrder() {
    for (unsigned i = 0; i < sizeof kTable / sizeof kTable[0]; ++i)
        if (static_cast<unsigned>(kTable[i].command) != i) return false;
    return true;
}
static_assert(tableInOrder(), "command table rows must follow the Command order");

}  // namespace

const CommandRow &commandRow(Command command) {
    return kTable[static_cast<unsigned>(command)];
}

void fillReport(std::uint8_t *report, Command command,
                std::initializer_list<std::uint8_t> operands) {
    const CommandRow &row = commandRow(command);
    for (unsigned i = 0; i < 8; ++i) {
        const ByteRule &rule = row.bytes[i];
        if (rule.kind == ByteRule::Fixed) {
            report[i] = rule.value;
        } else if (rule.kind == ByteRule::Operand && rule.value < operands.size()) {
            report[i] = operands.begin()[rule.value];
        }
    }
}

}  // namespace brevant
