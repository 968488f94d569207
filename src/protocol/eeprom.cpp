// eeprom.cpp - EEPROM byte access over a transport. Every EEPROM command of
// the process is built in one shared report, EEPROM_REPORT; a process-wide
// lock keeps each fill-and-send whole, so two threads can never send a report
// that mixes the address of one command with the data of another.
#include "protocol/eeprom.h"

#include "protocol/exchange.h"
#include "protocol/report.h"
#include "usb/usbapi.h"

namespace brevant {
namespace {

std::uint8_t EEPROM_REPORT[REPORT_SIZE];

constexpr std::uint32_t kAddressMask = 0x1FFFF;

struct EepromAddress {
    std::uint8_t page, high, low;
};

// The caller's address cut to 17 bits, high part first.
EepromAddress splitAddress(std::int32_t address) {
    const std::uint32_t a = static_cast<std::uint32_t>(address) & kAddressMask;
    return {static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>((a >> 8) & 0xFF),
            static_cast<std::uint8_t>(a & 0xFF)};
}

}  // namespace

std::mutex &eepromLock() {
    // Never destroyed: a transport released while the process exits may
    // still take it.
    static auto *const lock = new std::mutex;
    return *lock;
}

int eepromWrite(VESK::USBAPI &transport, std::int32_t address, std::uint8_t data) {
    const EepromAddress a = splitAddress(address);
    std::lock_guard<std::mutex> hold(eepromLock());
    return runCommand(transport, EEPROM_REPORT, Command::EepromWrite, {a.page, a.high, a.low, data}, nullptr);
}

int eepromRead(VESK::USBAPI &transport, std::int32_t address, std::uint8_t *value) {
    const EepromAddress a = splitAddress(address);
    std::uint8_t reply[2] = {0, 0};
    int result;
    {
        std::lock_guard<std::mutex> hold(eepromLock());
        result = runCommand(transport, EEPROM_REPORT, Command::EepromRead, {a.page, a.high, a.low}, reply);
    }
    if (value != nullptr) *value = reply[1];
    return result;
}

}  // namespace brevant
