// simulator_windows.cpp - brevant.dll has no simulator: it always talks to
// real boards, whatever BREVANT_SIMULATOR says.
#include "cli.h"
#include "transport.h"

namespace brevantctl {

void requestSimulator() {
    throw UsageError("--simulator: the Windows library has no simulator; it talks to real boards only");
}

bool simulated() { return false; }

std::string simulatorChoice() { return std::string(); }

}  // namespace brevantctl
