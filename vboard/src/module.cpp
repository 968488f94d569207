// module.cpp - the virtual CFP2 module: its ID table image and the readings
// of its monitors.
#include "vboard/module.h"

#include <cmath>

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
    m.setText(0x8021, "VIRTUAL OPTICS");
    m.setText(0x8034, "VO-CFP2-SR4-100");
    m.setText(0x8044, "VO2412A00017");
    m.idTable_[0x8068] = 0x0A;  // hardware revision 1.0
    m.idTable_[0x8069] = 0x16;  // management interface revision 2.2
    return m;
}

void Module::setText(std::uint16_t first, const std::string &text) {
    for (std::uint16_t i = 0; i < 16; ++i)
        idTable_[static_cast<std::uint16_t>(first + i)] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0x20;
}

std::uint16_t Module::read(std::uint16_t reg, std::uint64_t ms, bool powered) const {
    if (reg >= 0x8000 && reg <= 0x80FF) {
        const auto it = idTable_.find(reg);
        return it == idTable_.end() ? 0 : it->second;
    }
    if (!powered) return 0;
    if (reg == 0xA02F) {  // temperature, signed 1/256 degree
        const double celsius = 41.5 + 0.4 * swing(ms, 9000, 0);
        return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(celsius * 256)));
    }
    if (reg == 0xA030) return scaled(3.295 + 0.002 * swing(ms, 6000, 1), 0.0001);  // supply, 0.1 mV
    const unsigned lane = reg & 0x0F;
    if (lane >= lanes_) return 0;
    switch (reg & 0xFFF0) {
        case 0xA2A0:  // laser bias, 2 uA
            return scaled(6.8 + 0.15 * lane + 0.04 * swing(ms, 7000, lane), 0.002);
        case 0xA2B0:  // Tx power, 0.1 uW
            return scaled(0.85 - 0.04 * lane + 0.01 * swing(ms, 8000, lane + 0.5), 0.0001);
        case 0xA2D0:  // Rx power, 0.1 uW
            return scaled(0.62 + 0.03 * lane + 0.01 * swing(ms, 8000, lane + 2.0), 0.0001);
        default:
            return 0;
    }
}

}  // namespace vboard
