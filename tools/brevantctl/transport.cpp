// transport.cpp - the simulator switch and its marking.
#include "transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brevantctl {

void requestSimulator() {
#ifdef _WIN32
    _putenv_s(kSimulatorVariable, "1");
#else
    setenv(kSimulatorVariable, "1", 1);
#endif
}

bool simulated() {
    const char *value = std::getenv(kSimulatorVariable);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

void noteSimulated() {
    static bool noted = false;
    if (noted || !simulated()) return;
    noted = true;
    std::fprintf(stderr, "brevant virtual bench: simulated boards (%s is set); no real board is reached\n",
                 kSimulatorVariable);
}

}  // namespace brevantctl
