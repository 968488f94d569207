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

}  // namespace brevantctl

#endif
