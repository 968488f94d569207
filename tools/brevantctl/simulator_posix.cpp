// simulator_posix.cpp - the simulator switch of the Linux library, which
// takes the simulated bench when BREVANT_SIMULATOR asks for it.
#include <cstdlib>
#include <cstring>

#include "transport.h"

namespace brevantctl {

void requestSimulator() { setenv(kSimulatorVariable, "1", 1); }

bool simulated() {
    const char *value = std::getenv(kSimulatorVariable);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace brevantctl
