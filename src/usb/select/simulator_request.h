// simulator_request.h - whether the program asked for the simulated bench
// through BREVANT_SIMULATOR: on for 1, true, yes, on; off when unset or for
// the empty text, 0, false, no, off (any case). Any other value is off too,
// and the backend choice says so once on standard error.
#ifndef BREVANT_USB_SELECT_SIMULATOR_REQUEST_H
#define BREVANT_USB_SELECT_SIMULATOR_REQUEST_H

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace VESK {

constexpr char kSimulatorVariable[] = "BREVANT_SIMULATOR";

enum class SimulatorSwitch { Off, On, Unknown };

// How a value of the variable reads; null (unset) is Off.
inline SimulatorSwitch simulatorSwitch(const char *value) {
    if (value == nullptr) return SimulatorSwitch::Off;
    std::string word(value);
    for (char &ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (word == "1" || word == "true" || word == "yes" || word == "on") return SimulatorSwitch::On;
    if (word.empty() || word == "0" || word == "false" || word == "no" || word == "off") return SimulatorSwitch::Off;
    return SimulatorSwitch::Unknown;
}

// Reads the variable; a value that is neither on nor off is named on
// standard error (the choice is made once a process, so it shows once).
inline bool simulatorRequested() {
    const char *value = std::getenv(kSimulatorVariable);
    const SimulatorSwitch chosen = simulatorSwitch(value);
    if (chosen == SimulatorSwitch::Unknown)
        std::fprintf(stderr,
                     "brevant: %s='%s' is neither on (1, true, yes, on) nor off (0, false, no, off); "
                     "the simulator stays off\n",
                     kSimulatorVariable, value);
    return chosen == SimulatorSwitch::On;
}

}  // namespace VESK

#endif
