// windows_only.cpp - brevant.dll has one backend: Windows' own SetupAPI,
// registry and files. No simulator is built into it.
#include <atomic>
#include "usb/windows/windows_transport.h"

namespace VESK {

namespace {
std::atomic<const Backend *> chosenOnce{nullptr};
}  // namespace

const Backend &backend() {
    static const Backend chosen = windows::backend("windows", false);
    chosenOnce.store(&chosen, std::memory_order_release);
    return chosen;
}

const Backend *backendIfChosen() { return chosenOnce.load(std::memory_order_acquire); }

}  // namespace VESK
