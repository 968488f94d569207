// transport.cpp - the marking of simulated boards, and where a board is
// attached whether simulated or not.
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

// The device index of a simulated board is its line in the bench.
std::optional<BoardLocation> locateBoard(int type, unsigned index) {
    if (simulated())
        return BoardLocation{"bench:" + std::to_string(index), "line " + std::to_string(index + 1) + " of the virtual bench"};
    return boardLocation(type, index);
}

}  // namespace brevantctl
