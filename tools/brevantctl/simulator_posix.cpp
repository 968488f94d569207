// simulator_posix.cpp - the simulator switch of the Linux library, which
// takes the simulated bench when BREVANT_SIMULATOR asks for it: 1, true, yes
// or on, in any case. Other values leave it off (the library names a value
// that is neither on nor off).
#include <cctype>
#include <cstdlib>
#include <string>

#include "transport.h"

namespace brevantctl {

namespace {
bool commandLineAsked = false;
}

void requestSimulator() {
    setenv(kSimulatorVariable, "1", 1);
    commandLineAsked = true;
}

bool simulated() {
    const char *value = std::getenv(kSimulatorVariable);
    if (value == nullptr) return false;
    std::string word(value);
    for (char &ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return word == "1" || word == "true" || word == "yes" || word == "on";
}

std::string simulatorChoice() {
    return commandLineAsked ? std::string("--simulator") : std::string(kSimulatorVariable) + " is set";
}

}  // namespace brevantctl
