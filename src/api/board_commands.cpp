// board_commands.cpp - resets, ports, vendor I/O, the FTDI supply switch,
// module power, current sensing, MDIO and the analogue monitors. Each export
// fills its command's bytes into the board's command buffer, runs the
// exchange and decodes the reply.
#include "api/board.h"
#include "protocol/exchange.h"

using namespace brevant;

namespace {

// Type-1-only commands are refused on a type-0 board before any I/O.
bool hasType1Features(const CFP2BOARD *board) { return board->boardType == BOARD_8348; }

int send(CFP2BOARD *board, Command command, std::initializer_list<std::uint8_t> operands) {
    return runCommand(*board->transport, board->commandBuffer, command, operands, nullptr);
}

// Runs a query into a zeroed reply buffer, so bytes that never arrived decode
// as 0.
struct Reply {
    int result;
    std::uint8_t r[3];
};

Reply query(CFP2BOARD *board, Command command, std::initializer_list<std::uint8_t> operands) {
    Reply reply{CMD_FAILED, {0, 0, 0}};
    reply.result = runCommand(*board->transport, board->commandBuffer, command, operands, reply.r);
    return reply;
}

std::uint16_t word(const Reply &reply) {
    return static_cast<std::uint16_t>(reply.r[1] | (reply.r[2] << 8));
}

// The board's 8.8 fixed-point readings: r[2] is the integer part and r[1]
// the fraction in 1/256. The integer part is signed, so readings below zero
// (bit 7 of r[2] set) come out negative: 0xFF 0xC0 is -0.25.
double signedFixed88(const Reply &reply) {
    return static_cast<std::int16_t>(word(reply)) / 256.0;
}

double unsignedFixed88(const Reply &reply) { return reply.r[2] + reply.r[1] / 256.0; }

}  // namespace

extern "C" {

int32_t VESKCFP2_CALL veskcfp2_resetMCU(CFP2INSTANCE *instance) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return CMD_FAILED;
    return send(board, Command::Reset, {});
}

int32_t VESKCFP2_CALL veskcfp2_resetMCUBoot(CFP2INSTANCE *instance) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return CMD_FAILED;
    return send(board, Command::ResetToBoot, {});
}

int32_t VESKCFP2_CALL veskcfp2_setPort(CFP2INSTANCE *instance, uint8_t port, uint8_t value) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return CMD_FAILED;
    return send(board, Command::SetPort, {port, value});
}

int32_t VESKCFP2_CALL veskcfp2_getPort(CFP2INSTANCE *instance, uint8_t port, uint8_t *value) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || value == nullptr) return CMD_FAILED;
    const Reply reply = query(board, Command::GetPort, {port});
    *value = reply.r[1];
    return reply.result;
}

int32_t VESKCFP2_CALL veskcfp2_setVendorIO(CFP2INSTANCE *instance, uint8_t value) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return CMD_FAILED;
    return send(board, Command::SetVendorIO, {value});
}

int32_t VESKCFP2_CALL veskcfp2_p3v3_FTDIEnable(CFP2INSTANCE *instance, uint8_t enable) {
    constexpr std::uint8_t kFtdiPort = 3;
    constexpr std::uint8_t kFtdiSupplyBit = 0x80;
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || !hasType1Features(board)) return CMD_FAILED;
    // Read-modify-write of port 3: only a complete reading may be written
    // back, or the other seven lines would be set from bytes that never came.
    const Reply reply = query(board, Command::GetPort, {kFtdiPort});
    if (reply.result != CMD_OK) return CMD_FAILED;
    const std::uint8_t value = enable != 0 ? static_cast<std::uint8_t>(reply.r[1] | kFtdiSupplyBit)
                                           : static_cast<std::uint8_t>(reply.r[1] & ~kFtdiSupplyBit);
    return send(board, Command::SetPort, {kFtdiPort, value});
}

int32_t VESKCFP2_CALL veskcfp2_setPower(CFP2INSTANCE *instance, uint8_t value) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || !hasType1Features(board)) return CMD_FAILED;
    return send(board, Command::SetPower, {value});
}

int32_t VESKCFP2_CALL veskcfp2_enableCurrentSense(CFP2INSTANCE *instance, uint16_t value,
                                                  uint16_t selector) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return CMD_FAILED;
    return send(board, Command::EnableCurrentSense,
                {lowByte(selector), highByte(selector), lowByte(value), highByte(value)});
}

int32_t VESKCFP2_CALL veskcfp2_getCurrentSense(CFP2INSTANCE *instance, uint16_t selector,
                                               uint8_t *value) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || value == nullptr) return CMD_FAILED;
    const Reply reply = query(board, Command::GetCurrentSense, {lowByte(selector), highByte(selector)});
    *value = reply.r[1];
    return reply.result;
}

int32_t VESKCFP2_CALL veskcfp2_currentMonitor(CFP2INSTANCE *instance, uint16_t *value) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || value == nullptr) return CMD_FAILED;
    const Reply reply = query(board, Command::CurrentMonitor, {});
    *value = word(reply);
    return reply.result;
}

int32_t VESKCFP2_CALL veskcfp2_setMDIO(CFP2INSTANCE *instance, uint8_t port, uint16_t reg,
                                       uint16_t data) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr) return CMD_FAILED;
    return send(board, Command::SetMDIO,
                {port, lowByte(reg), highByte(reg), lowByte(data), highByte(data)});
}

int32_t VESKCFP2_CALL veskcfp2_getMDIO(CFP2INSTANCE *instance, uint8_t port, uint16_t reg,
                                       uint16_t *data) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || data == nullptr) return CMD_FAILED;
    const Reply reply = query(board, Command::GetMDIO, {port, lowByte(reg), highByte(reg)});
    *data = word(reply);
    return reply.result;
}

int32_t VESKCFP2_CALL veskcfp2_getVCC(CFP2INSTANCE *instance, double *voltage) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || voltage == nullptr || !hasType1Features(board)) return CMD_FAILED;
    const Reply reply = query(board, Command::SupplyVoltage, {});
    *voltage = unsignedFixed88(reply);
    return reply.result;
}

int32_t VESKCFP2_CALL veskcfp2_getTemperature(CFP2INSTANCE *instance, uint8_t sensor,
                                              double *temperature) {
    CFP2BOARD *board = boardOf(instance);
    if (board == nullptr || temperature == nullptr || !hasType1Features(board)) return CMD_FAILED;
    const Reply reply = query(board, Command::Temperature, {sensor});
    *temperature = signedFixed88(reply);
    return reply.result;
}

}  // extern "C"
