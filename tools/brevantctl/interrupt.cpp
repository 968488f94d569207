// interrupt.cpp - the signal flag of InterruptWatch.
#include "interrupt.h"

#include <csignal>

namespace brevantctl {

namespace {
volatile std::sig_atomic_t signalled = 0;
int depth = 0;  // watches alive; the flag is cleared only by the outermost

extern "C" void onSignal(int) { signalled = 1; }
}  // namespace

InterruptWatch::InterruptWatch() {
    if (depth++ == 0) signalled = 0;
    previousInt_ = std::signal(SIGINT, onSignal);
    previousTerm_ = std::signal(SIGTERM, onSignal);
}

InterruptWatch::~InterruptWatch() {
    std::signal(SIGINT, previousInt_);
    std::signal(SIGTERM, previousTerm_);
    --depth;
}

bool InterruptWatch::interrupted() const { return signalled != 0; }

bool InterruptWatch::active() { return depth > 0; }

}  // namespace brevantctl
