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
// BREVANT_SIMULATOR is set to anything but the empty text or "0", the rule
// the library follows.
bool simulated();
// Once per run, on standard error: the boards are simulated ones.
void noteSimulated();

// Why the board of `type` at device `index` would not open, with what to do
// about it, when the system tells (Linux: the device node is not open to
// this user). Nothing when it cannot tell.
std::optional<std::string> whyNotOpened(int type, unsigned index);

// When the system gives this program no USB devices at all (Linux: no
// /dev/bus/usb or no USB in sysfs, as in a container given none), what to
// say instead of "no boards found". Nothing when simulated.
std::optional<std::string> whyNoUsb();

}  // namespace brevantctl

#endif
