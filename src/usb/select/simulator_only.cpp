// simulator_only.cpp - a Linux library built without libusb: it reaches the
// simulated bench when BREVANT_SIMULATOR asks for it and no board otherwise,
// and says so once on standard error.
#include <atomic>
#include <cstdio>

#include "usb/select/simulator_request.h"
#include "usb/windows/windows_transport.h"

namespace VESK {
namespace {

int findNothing(std::uint32_t, const char *, char *, std::uint32_t, std::uint32_t *pathLength) {
    if (pathLength != nullptr) *pathLength = 0;
    return LOOKUP_NO_MORE;
}
PipeHandle openNothing(const char *, const char *, PipeDirection) {
    return noPipe();
}
bool closeNothing(PipeHandle) { return true; }
bool moveNothing(PipeHandle, const std::uint8_t *, std::uint32_t *count) {
    if (count != nullptr) *count = 0;
    return false;
}
bool readNothing(PipeHandle, std::uint8_t *, std::uint32_t, std::uint32_t, std::uint32_t *count) {
    if (count != nullptr) *count = 0;
    return false;
}
bool neverGone() { return false; }
bool neverTimedOut() { return false; }
void holdNothing(bool) {}
std::uint32_t noError() { return 0; }
void keepNoError(std::uint32_t) {}

Backend choose() {
    if (simulatorRequested()) return windows::backend("simulator", true);
    std::fprintf(stderr,
                 "brevant: built without libusb: real boards cannot be reached; "
                 "set %s=1 for the simulated bench\n",
                 kSimulatorVariable);
    return Backend{"none",      false,       findNothing,   openNothing,   closeNothing,
                   moveNothing, readNothing, neverGone,     neverTimedOut, holdNothing,
                   noError,     keepNoError, nullptr,       nullptr,       nullptr,
                   nullptr};
}

}  // namespace

namespace {
std::atomic<const Backend *> chosenOnce{nullptr};
}  // namespace

const Backend &backend() {
    static const Backend chosen = choose();
    chosenOnce.store(&chosen, std::memory_order_release);
    return chosen;
}

const Backend *backendIfChosen() { return chosenOnce.load(std::memory_order_acquire); }

}  // namespace VESK
