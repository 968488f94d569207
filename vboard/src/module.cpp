// module.cpp - the virtual CFP2 module: its ID table image, its state and
// alarm registers, and the readings of its monitors.
#include "vboard/module.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace vboard {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A slow swing between -1 and 1, so readings move a little from one sample
// to the next.
double swing(std::uint64_t ms, double periodMs, double phase) {
    return std::sin(2 * kPi * static_cast<double>(ms % 3600000u) / periodMs + phase);
}

std::uint16_t scaled(double value, double unit) {
    const long raw = std::lround(value / unit);
    return static_cast<std::uint16_t>(raw < 0 ? 0 : raw > 0xFFFF ? 0xFFFF : raw);
}

}  // namespace

Module Module::cfp2Sr4() {
    Module m;
    m.lanes_ = 4;
    m.idTable_[0x8000] = 0x11;  // CFP2
    m.idTable_[0x8002] = 0x09;  // MPO
    m.idTable_[0x8003] = 0x04;  // 100GBASE-SR4
    m.idTable_[0x8009] = 0x44;  // 4 network lanes, 4 host lanes
    m.idTable_[0x800B] = 0x81;  // 25.8 Gb/s a network lane
    m.idTable_[0x800C] = 0x81;  // and a host lane
    m.setText(0x8021, "VIRTUAL OPTICS");
    m.idTable_[0x8031] = 0x02;  // OUI 02-56-4F
    m.idTable_[0x8032] = 0x56;
    m.idTable_[0x8033] = 0x4F;
    m.setText(0x8034, "VO-CFP2-SR4-100");
    m.setText(0x8044, "VO2412A00017");
    m.setText(0x8054, "20241203", 8);  // date code
    m.idTable_[0x8068] = 0x0A;  // hardware revision 1.0
    m.idTable_[0x8069] = 0x16;  // management interface revision 2.2
    m.idTable_[0x806A] = 0x01;  // module hardware version 1.2
    m.idTable_[0x806B] = 0x02;
    m.idTable_[0x806C] = 0x03;  // module firmware version 3.7
    m.idTable_[0x806D] = 0x07;
    return m;
}

void Module::personalise(const std::string &seed) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (char c : seed) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char serial[16];
    std::snprintf(serial, sizeof serial, "VO2412A%05u", static_cast<unsigned>(hash % 100000u));
    setText(0x8044, serial);
    offset_ = static_cast<double>((hash >> 8) % 2001u) / 1000.0 - 1.0;
}

bool Module::isStatusRegister(std::uint16_t reg) {
    return reg == 0xA018 || (reg >= 0xA01D && reg <= 0xA020) || (reg >= 0xA200 && reg <= 0xA21F);
}

void Module::setStatusRegister(std::uint16_t reg, std::uint16_t word) {
    if (!isStatusRegister(reg)) throw std::invalid_argument("not an alarm or status register");
    statusRegisters_[reg] = word;
}

void Module::setText(std::uint16_t first, const std::string &text, std::uint16_t length) {
    for (std::uint16_t i = 0; i < length; ++i)
        idTable_[static_cast<std::uint16_t>(first + i)] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20;
}

std::uint16_t Module::read(std::uint16_t reg, std::uint64_t ms, bool powered) const {
    if (reg >= 0x8000 && reg <= 0x80FF) {
        const auto it = idTable_.find(reg);
        return it == idTable_.end() ? 0 : it->second;
    }
    if (!powered) return 0;
    if (inReset_ && reg >= 0xA000) return 0xFFFF;
    if (reg == kStateRegister) return state_;
    if (isStatusRegister(reg)) {
        const auto it = statusRegisters_.find(reg);
        return it == statusRegisters_.end() ? 0 : it->second;
    }
    if (reg == 0xA02F) {  // temperature, signed 1/256 degree
        const double celsius = 41.5 + 0.08 * offset_ + 0.4 * swing(ms, 9000, 0);
        return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(celsius * 256)));
    }
    if (reg == 0xA030) return scaled(3.295 + 0.0015 * offset_ + 0.002 * swing(ms, 6000, 1), 0.0001);  // supply, 0.1 mV
    const unsigned lane = reg & 0x0F;
    if (lane >= lanes_) return 0;
    switch (reg & 0xFFF0) {
        case 0xA2A0:  // laser bias, 2 uA
            return scaled(6.8 + 0.1 * offset_ + 0.15 * lane + 0.04 * swing(ms, 7000, lane), 0.002);
        case 0xA2B0:  // Tx power, 0.1 uW
            return scaled(0.85 + 0.015 * offset_ - 0.04 * lane + 0.01 * swing(ms, 8000, lane + 0.5), 0.0001);
        case 0xA2D0:  // Rx power, 0.1 uW
            return scaled(0.62 - 0.015 * offset_ + 0.03 * lane + 0.01 * swing(ms, 8000, lane + 2.0), 0.0001);
        default:
            return 0;
    }
}

}  // namespace vboard
