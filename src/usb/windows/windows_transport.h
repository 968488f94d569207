// windows_transport.h - the Windows backend: board devices are interfaces of
// the board driver's class found through SetupAPI, told apart by their
// registry "DeviceInstance" value; each pipe is the endpoint opened as a file
// ("<interface path>\MCHP_EP1"), written synchronously and read overlapped.
// On hosts that are not Windows it runs over the virtual Windows (hostwin/).
#ifndef BREVANT_USB_WINDOWS_TRANSPORT_H
#define BREVANT_USB_WINDOWS_TRANSPORT_H

#include <cstdint>

#include "usb/backend.h"

namespace VESK {
namespace windows {

int findDevicePath(std::uint32_t memberIndex, const char *matchText, char *destination,
                   std::uint32_t destinationSize, std::uint32_t *pathLength);
PipeHandle openPipe(const char *path, const char *suffix, PipeDirection direction);
bool closePipe(PipeHandle pipe);
bool writeReport(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *writtenCount);
bool readReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
               std::uint32_t timeoutMs, std::uint32_t *readCount);
// The thread's last system error is ERROR_INVALID_HANDLE.
bool deviceGone();
// The last transfer of this thread ended because its wait ran out.
bool timedOut();

// A board's turn and mark shared by every process on the system: a named
// mutex and a small named section, both named after the interface path.
extern const SharedTurnOps sharedTurn;

// The backend table; `simulated` when it runs over the virtual Windows.
Backend backend(const char *name, bool simulated);

}  // namespace windows

// Whether the registry's DeviceInstance value of the interface at `path`
// contains `matchText`. `path` is changed while it runs and restored.
bool matchDeviceInstance(char *path, const char *matchText);

}  // namespace VESK

#endif
