// linux.cpp - the Linux library's choice, made once on first use: real boards
// through libusb, or the simulated bench (the Windows backend over the
// virtual Windows and its virtual boards) when BREVANT_SIMULATOR asks for it.
#include <atomic>
#include "usb/libusb/libusb_transport.h"
#include "usb/select/simulator_request.h"
#include "usb/windows/windows_transport.h"

namespace VESK {

namespace {
std::atomic<const Backend *> chosenOnce{nullptr};
}  // namespace

const Backend &backend() {
    static const Backend chosen =
        simulatorRequested() ? windows::backend("simulator", true) : libusb::backend();
    chosenOnce.store(&chosen, std::memory_order_release);
    return chosen;
}

const Backend *backendIfChosen() { return chosenOnce.load(std::memory_order_acquire); }

}  // namespace VESK
