// board.h - the virtual board: the firmware of a CFP2 carrier board, standing
// behind a virtual device interface. It records every report written to it,
// acts on it as the firmware does and answers queries. Knobs make it slow,
// short, padded, oversize or silent, or make it a recorded board replayed.
#ifndef VBOARD_BOARD_H
#define VBOARD_BOARD_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hostwin/platform.h"
#include "vboard/module.h"
#include "vboard/replay.h"

namespace vboard {

using Report = std::array<std::uint8_t, 64>;

constexpr std::uint32_t kEepromSize = 0x20000;

// The MDIO port on which the firmware reaches the module.
constexpr std::uint8_t kModulePort = 1;

// Firmware command codes (report byte 0).
constexpr std::uint8_t kPort = 0xF0, kEeprom = 0xF1, kMdio = 0xF4, kMcu = 0xF5, kMonitor = 0xF6,
                       kPower = 0xF7;

// How the board answers.
struct Knobs {
    std::uint32_t latencyMs = 0;        // virtual time until a reply is there
    std::optional<std::size_t> replyBytes;  // cut every reply to this many bytes
    std::uint32_t oversize = 0;         // the driver reports this many bytes more than came
    bool silent = false;                // no replies at all
    std::optional<std::uint64_t> hangAfter;  // silent after this many reports: a board that hangs
    std::set<std::uint32_t> stuckEeprom;  // EEPROM addresses whose writes do not stick (worn cells)
    std::uint32_t paceMs = 0;           // real time each report takes: a board slow enough to interrupt
    std::size_t padTo = 0;              // replies shorter than this padded with zeros (64: whole packets)
    std::shared_ptr<Replay> replay;     // answers from a wire log instead of the firmware
};

// The board's registers and memory, as the firmware keeps them.
struct BoardState {
    std::vector<std::uint8_t> eeprom = std::vector<std::uint8_t>(kEepromSize, 0xFF);
    std::array<std::uint8_t, 256> ports{};
    std::uint8_t vendorIO = 0;
    std::uint8_t power = 1;  // the module in the cage is powered while this is not 0
    // Current sense: the value last enabled per selector, and what each
    // selector reads.
    std::map<std::uint16_t, std::uint16_t> senseEnabled;
    std::map<std::uint16_t, std::uint8_t> senseReading;
    std::uint16_t currentMonitor = 0x0123;
    // MDIO register files, per MDIO port: the registers written. On the
    // module's port the module answers the others.
    std::map<std::uint8_t, std::map<std::uint16_t, std::uint16_t>> mdio;
    std::uint16_t vcc = 0x0350;  // 8.8 fixed point: 3.3125
    std::map<std::uint8_t, std::int16_t> temperature;  // 8.8 fixed point, signed
    std::array<std::uint8_t, 20> identity{};
    unsigned resets = 0;
    unsigned bootResets = 0;
};

class Board : public hostwin::Endpoint {
   public:
    // A board of `type` (0: product id 0x8248, 1: 0x8348) whose EEPROM starts
    // with `serial` (space padded to 8 characters).
    Board(int type, const std::string &serial);

    std::optional<hostwin::Reply> onWrite(const std::uint8_t *data, std::size_t size) override;
    // The pace knob: the writer waits it out with neither the platform nor
    // the board locked.
    std::uint32_t paceMs() override;

    int type() const { return type_; }
    std::uint16_t productId() const { return type_ == 1 ? 0x8348 : 0x8248; }
    const std::string &serial() const { return serial_; }

    // Every 64-byte report received, in order.
    std::vector<Report> reports() const;
    Report lastReport() const;
    void clearReports();
    // Writes of any size other than 64 bytes.
    unsigned malformedWrites() const;

    // The next replies, whatever the queries, instead of the firmware's own.
    void scriptReply(std::vector<std::uint8_t> bytes);

    // Firmware state and knobs. Lock the board (mutex()) while a program
    // may be talking to it from another thread.
    BoardState &state() { return state_; }
    Knobs &knobs() { return knobs_; }
    std::mutex &mutex() { return mutex_; }

    // The CFP2 module in the cage, on MDIO port `port`; none: an empty cage.
    void setModule(std::optional<Module> module, std::uint8_t port = kModulePort);

    // Helpers for readings, in the firmware's 8.8 fixed point.
    void setVcc(double volts);
    void setTemperature(std::uint8_t sensor, double celsius);
    std::string eepromSerial() const;

   private:
    std::optional<std::vector<std::uint8_t>> answer(const Report &r);

    int type_;
    std::string serial_;
    mutable std::mutex mutex_;
    BoardState state_;
    Knobs knobs_;
    std::vector<Report> reports_;
    std::deque<std::vector<std::uint8_t>> scripted_;
    unsigned malformed_ = 0;
    std::optional<Module> module_;
    std::uint8_t modulePort_ = kModulePort;
    std::uint64_t received_ = 0;  // reports received; the module's clock, one ms each
};

}  // namespace vboard

#endif
