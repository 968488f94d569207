// module.h - the CFP2 module in a virtual board's cage, as the board's MDIO
// port reaches it: a basic ID table and live monitors (module temperature,
// supply voltage, per-lane laser bias, Tx and Rx power) that drift a little
// with the board's time and read 0 while the module has no power.
#ifndef VBOARD_MODULE_H
#define VBOARD_MODULE_H

#include <cstdint>
#include <map>
#include <string>

namespace vboard {

class Module {
   public:
    // A made-up 100GBASE-SR4 CFP2 module: vendor VIRTUAL OPTICS, 4 lanes,
    // MPO connector.
    static Module cfp2Sr4();

    // The word register `reg` reads `ms` milliseconds into the board's time.
    // Registers outside the ID table and the monitors read 0; so do the
    // monitors while the module is not powered.
    std::uint16_t read(std::uint16_t reg, std::uint64_t ms, bool powered) const;

    unsigned lanes() const { return lanes_; }

   private:
    void setText(std::uint16_t first, const std::string &text);

    std::map<std::uint16_t, std::uint16_t> idTable_;
    unsigned lanes_ = 0;
};

}  // namespace vboard

#endif
