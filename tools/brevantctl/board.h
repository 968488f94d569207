// board.h - finding boards and holding a connection to one, through the
// library's public interface only. All enumeration and connection of
// brevantctl goes through here, so where boards come from is decided in this
// one place.
#ifndef BREVANTCTL_BOARD_H
#define BREVANTCTL_BOARD_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "brevant.h"
#include "cli.h"

namespace brevantctl {

struct BoardId {
    int type;
    std::uint16_t index;
};

// Device indices the library scans: 0-126.
constexpr std::uint32_t kLastDeviceIndex = VESKCFP2_MAX_DEVICES - 1;

// USB product id of a board type.
std::uint16_t productId(int type);

// The boards of `type` (0 or 1), or of both types when `type` is empty, in
// device-index order. Only counts them; no board is probed.
std::vector<BoardId> findBoards(std::optional<int> type);

// A board's serial number with the padding spaces taken off, or why it could
// not be read ("did not open: ...", "no reply", "short reply").
struct SerialRead {
    std::optional<std::string> serial;
    std::string reason;  // when serial is empty
};
SerialRead readSerial(const BoardId &id);

// "the type-1 board at device index 0"
std::string describeBoard(const BoardId &id);

// Serial numbers are 1 to 8 printable ASCII characters without spaces.
// Throws a UsageError naming `what` otherwise.
void checkSerial(const std::string &text, const std::string &what);
// A serial number as read, fit for a text column: "(blank)" when empty,
// bytes that are not printable ASCII as \xNN.
std::string displaySerial(const std::string &serial);

// A connected board: connects on construction (BoardFailure when it does not
// open), disconnects and releases the instance when it goes.
class Link {
   public:
    explicit Link(const BoardId &id, std::optional<std::string> serial = std::nullopt);
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    CFP2INSTANCE *get() const { return instance_; }
    const BoardId &id() const { return id_; }
    // The serial number, when it was read (selection by serial, or serial()).
    const std::optional<std::string> &knownSerial() const { return serial_; }
    // Reads the serial number once; nullopt when it cannot be read.
    const std::optional<std::string> &serial();
    // After a write to EEPROM bytes 0-7: the next serial() reads it again.
    void forgetSerial() {
        serial_.reset();
        serialTried_ = false;
    }
    // Opens the pipes again (after an unplug or a failed transfer). The
    // device index names whichever board is there now: when a board is
    // unplugged, the next one behind it moves up into its place. So when the
    // serial number is known and the board now at the index reads another
    // one, its pipes are closed again, `otherSerial` (when given) receives
    // what it read, and false comes back: no reading of that board passes
    // for this one's. True when connected to a board that is not known to
    // be another (one whose serial number does not answer included).
    bool reconnect(std::optional<std::string> *otherSerial = nullptr);
    std::string describe() const;  // "type-1 board at device index 0"

   private:
    BoardId id_;
    CFP2INSTANCE *instance_;
    std::optional<std::string> serial_;
    bool serialTried_ = false;
};

// The board the command line selects: --serial S, --type T with or without
// --index N, --index N alone, or the first board found. `serial` receives the
// serial number when the selection read it.
BoardId selectBoard(const Invocation &invocation, std::optional<std::string> &serial);

// Board type from --type: 0 or 1 (UsageError otherwise).
int parseBoardType(const std::string &text);

// Checks the selection options' values without touching any board.
void checkSelection(const Invocation &invocation);

}  // namespace brevantctl

#endif
