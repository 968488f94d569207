// backend.h - the contract between the transport object (usbapi.cpp) and a
// USB backend. A backend lists the board driver's devices in a stable order,
// opens one pipe of a device, moves one report or reply, and answers whether
// the transfer that just failed on this thread failed because the device
// went away, or only because its wait ran out. The build picks the backends; select/*.cpp says which one runs.
#ifndef BREVANT_USB_BACKEND_H
#define BREVANT_USB_BACKEND_H

#include <cstdint>

#include "usb/usbapi.h"

namespace VESK {

enum class PipeDirection { Write, Read };

struct Backend {
    const char *name;
    bool simulated;  // the boards it reaches are virtual ones
    int (*findDevicePath)(std::uint32_t memberIndex, const char *matchText, char *destination,
                          std::uint32_t destinationSize, std::uint32_t *pathLength);
    // Looks the device up afresh and opens one pipe; noPipe() on failure.
    PipeHandle (*openPipe)(std::uint16_t deviceIndex, const char *matchText, const char *suffix,
                           PipeDirection direction);
    // True when the pipe closed cleanly.
    bool (*closePipe)(PipeHandle pipe);
    bool (*writeReport)(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *count);
    // Waits at most `timeoutMs` for the reply.
    bool (*readReply)(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
                      std::uint32_t timeoutMs, std::uint32_t *count);
    bool (*deviceGone)();
    // Whether the read that just failed on this thread failed only because
    // nothing came within its wait.
    bool (*timedOut)();
    // hold true: from here the lookups of this thread see one listing of the
    // devices, made by the first of them, until a matching hold false.
    // Holds nest. A backend may look up afresh every time regardless.
    void (*holdDeviceList)(bool hold);
};

// The backend of this process, chosen on first use and kept.
const Backend &backend();

}  // namespace VESK

#endif
