// interrupt.cpp - the signal flag of InterruptWatch.
#include "interrupt.h"

#include <csignal>

namespace brevantctl {

namespace {
volatile std::sig_atomic_t signalled = 0;
using Handler = void (*)(int);
Handler previousInt = SIG_DFL, previousTerm = SIG_DFL;

extern "C" void onSignal(int) { signalled = 1; }
}  // namespace

InterruptWatch::InterruptWatch() {
    signalled = 0;
    previousInt = std::signal(SIGINT, onSignal);
    previousTerm = std::signal(SIGTERM, onSignal);
}

InterruptWatch::~InterruptWatch() {
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
}

bool InterruptWatch::interrupted() const { return signalled != 0; }

}  // namespace brevantctl
