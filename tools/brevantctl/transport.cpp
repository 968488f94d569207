// transport.cpp - the marking of simulated boards.
#include "transport.h"

#include <cstdio>

namespace brevantctl {

void noteSimulated() {
    static bool noted = false;
    if (noted || !simulated()) return;
    noted = true;
    std::fprintf(stderr, "brevant virtual bench: simulated boards (%s); no real board is reached\n",
                 simulatorChoice().c_str());
}

}  // namespace brevantctl
