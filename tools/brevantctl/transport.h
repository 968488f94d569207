// transport.h - what brevantctl says about the boards' transport: whether
// the simulated bench was asked for (BREVANT_SIMULATOR, or --simulator,
// which sets it before the library's first call), and why a real board did
// not open.
#ifndef BREVANTCTL_TRANSPORT_H
#define BREVANTCTL_TRANSPORT_H

#include <optional>
#include <string>

namespace brevantctl {

constexpr char kSimulatorVariable[] = "BREVANT_SIMULATOR";

// --simulator: the library reaches the simulated bench from its first call.
void requestSimulator();
// BREVANT_SIMULATOR is 1, true, yes or on (any case), the rule the library
// follows.
bool simulated();
// What chose the simulator: "--simulator" or "BREVANT_SIMULATOR is set".
std::string simulatorChoice();
// Once per run, on standard error: the boards are simulated ones, and what
// chose them.
void noteSimulated();

// Why the board of `type` at device `index` would not open, with what to do
// about it, when the system tells (Linux: the device node is not open to
// this user). Nothing when it cannot tell.
std::optional<std::string> whyNotOpened(int type, unsigned index);

// Where a board is attached, on which its device index depends: on Linux its
// USB bus and port path ("1-4.1"), with the device node in the detail; on
// Windows its device instance, with the interface path in the detail.
struct BoardLocation {
    std::string brief;   // "1-4.1"
    std::string detail;  // "USB device 1-4.1 (bus 1, port path 4.1, /dev/bus/usb/001/007)"
};
std::optional<BoardLocation> boardLocation(int type, unsigned index);
// Where the board of `type` at device `index` is attached, as list shows it:
// on the simulated bench its line ("bench:0"), otherwise boardLocation.
// Nothing when the system cannot tell.
std::optional<BoardLocation> locateBoard(int type, unsigned index);

// When the system gives this program no USB devices at all (Linux: no
// /dev/bus/usb or no USB in sysfs, as in a container given none), what to
// say instead of "no boards found". Nothing when simulated.
std::optional<std::string> whyNoUsb();

}  // namespace brevantctl

#endif
