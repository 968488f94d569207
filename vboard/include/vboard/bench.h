// bench.h - a virtual test bench: plugs virtual boards into the virtual
// Windows, so a program finds them as it would find real boards.
//
//     vboard::Bench bench;                       // empty bench, clock at 0
//     vboard::Board &b = bench.plug(1, "ABC12345");
//     ... drive the library ...
//     b.lastReport();                            // the bytes on the wire
#ifndef VBOARD_BENCH_H
#define VBOARD_BENCH_H

#include <memory>
#include <string>
#include <vector>

#include "hostwin/platform.h"
#include "vboard/board.h"

namespace vboard {

constexpr std::uint16_t kMicrochipVendorId = 0x04D8;

// The interface path and DeviceInstance value Windows gives a USB device.
std::string interfacePath(std::uint16_t vendorId, std::uint16_t productId, const std::string &serial);
std::string deviceInstance(std::uint16_t vendorId, std::uint16_t productId, const std::string &serial);

// Plugs `board` into the virtual Windows as a device of the board driver
// with these ids, at the end of the interface list.
hostwin::InterfaceId plugInterface(std::shared_ptr<Board> board, std::uint16_t vendorId,
                                   std::uint16_t productId);

class Bench {
   public:
    // Empties the virtual Windows: no devices, no faults, clock at 0.
    Bench();
    // Empties it again.
    ~Bench();
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    // Plugs a board of `type` with `serial` at the end of the interface list.
    Board &plug(int type, const std::string &serial);
    // Plugs a device of the same driver with another vendor or product id.
    Board &plugForeign(std::uint16_t vendorId, std::uint16_t productId, const std::string &serial);
    // Surprise removal and plugging back in at the same position.
    void unplug(const Board &board);
    void replug(const Board &board);

    hostwin::InterfaceId interfaceOf(const Board &board) const;
    std::string pathOf(const Board &board) const;
    // Changes what Windows knows of the board's interface.
    void setDeviceInstance(const Board &board, std::optional<std::string> value, bool terminated = true);
    void setOpenable(const Board &board, bool forWrite, bool forRead);

    const std::vector<std::shared_ptr<Board>> &boards() const { return boards_; }

   private:
    Board &add(std::shared_ptr<Board> board, std::uint16_t vendorId, std::uint16_t productId);

    std::vector<std::shared_ptr<Board>> boards_;
    std::vector<hostwin::InterfaceId> ids_;
};

}  // namespace vboard

#endif
