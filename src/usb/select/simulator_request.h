// simulator_request.h - whether the program asked for the simulated bench:
// BREVANT_SIMULATOR set to anything but the empty text or "0".
#ifndef BREVANT_USB_SELECT_SIMULATOR_REQUEST_H
#define BREVANT_USB_SELECT_SIMULATOR_REQUEST_H

#include <cstdlib>
#include <cstring>

namespace VESK {

constexpr char kSimulatorVariable[] = "BREVANT_SIMULATOR";

inline bool simulatorRequested() {
    const char *value = std::getenv(kSimulatorVariable);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace VESK

#endif
