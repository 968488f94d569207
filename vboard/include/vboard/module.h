// module.h - the CFP2 module in a virtual board's cage, as the board's MDIO
// port reaches it: a basic ID table, the module state, the alarm and status
// registers, and live monitors (module temperature, supply voltage, per-lane
// laser bias, Tx and Rx power) that drift a little with the board's time.
// Everything but the ID table reads 0 while the module has no power.
#ifndef VBOARD_MODULE_H
#define VBOARD_MODULE_H

#include <cstdint>
#include <map>
#include <string>

namespace vboard {

class Module {
   public:
    static constexpr std::uint16_t kStateRegister = 0xA016;
    static constexpr std::uint16_t kReady = 0x0020;  // the state word of a module ready to carry traffic

    // A made-up 100GBASE-SR4 CFP2 module: vendor VIRTUAL OPTICS, 4 lanes,
    // MPO connector, Ready while powered, no alarm raised.
    static Module cfp2Sr4();
    // Makes the module one of its own, seeded by `seed` (its board's serial
    // number): a serial number "VO2412A" and five digits, and monitors a
    // little apart from other modules' (temperature within 0.08 C, supply
    // within 1.5 mV, bias within 0.1 mA, optical power within 0.015 mW).
    void personalise(const std::string &seed);

    // The word register `reg` reads `ms` milliseconds into the board's time.
    // Registers outside the ID table, the state, the alarm and status
    // registers and the monitors read 0; so does everything but the ID table
    // while the module is not powered.
    std::uint16_t read(std::uint16_t reg, std::uint64_t ms, bool powered) const;

    unsigned lanes() const { return lanes_; }

    // The word of the module state register while powered (kReady unless set).
    void setState(std::uint16_t word) { state_ = word; }
    // A module held in reset answers nothing beyond its ID table: its
    // control and monitor registers read 0xFFFF, as an MDIO bus nobody
    // drives does.
    void setInReset(bool inReset) { inReset_ = inReset; }
    // Whether `reg` is an alarm or status register: 0xA018 (global alarm
    // summary), 0xA01D-0xA020 (module general and fault status, alarms and
    // warnings 1 and 2), 0xA200-0xA21F (per-lane alarms and warnings, fault
    // and status).
    static bool isStatusRegister(std::uint16_t reg);
    // The word an alarm or status register reads while powered (0 unless
    // set); std::invalid_argument for any other register.
    void setStatusRegister(std::uint16_t reg, std::uint16_t word);

   private:
    void setText(std::uint16_t first, const std::string &text, std::uint16_t length = 16);

    std::map<std::uint16_t, std::uint16_t> idTable_;
    std::map<std::uint16_t, std::uint16_t> statusRegisters_;
    std::uint16_t state_ = kReady;
    bool inReset_ = false;
    unsigned lanes_ = 0;
    double offset_ = 0;  // -1 to 1: how far this module's monitors sit from the others'
};

}  // namespace vboard

#endif
