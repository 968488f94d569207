// pipes.cpp - the Windows backend's pipes: a board's endpoint opened as a
// write pipe and an overlapped read pipe, and closed again.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "usb/windows/windows_transport.h"

namespace VESK {
namespace windows {

// Opens "<interface path><suffix>" on the interface a lookup found.
PipeHandle openPipe(const char *path, const char *suffix, PipeDirection direction) {
    if (path == nullptr || std::strlen(path) >= PATH_LIMIT) return noPipe();

    // Up to 259 path characters, the 9-character suffix and the terminator.
    char name[PATH_LIMIT + sizeof "\\MCHP_EP1"];
    const int written =
        std::snprintf(name, sizeof name, "%s%s", path, suffix != nullptr ? suffix : "");
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof name) return noPipe();

    const bool forWrite = direction == PipeDirection::Write;
    const HANDLE handle =
        CreateFileA(name, forWrite ? GENERIC_WRITE : GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    forWrite ? 0 : FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle == INVALID_HANDLE_VALUE ? noPipe() : handle;
}

bool closePipe(PipeHandle pipe) { return CloseHandle(pipe) != FALSE; }

bool deviceGone() { return GetLastError() == ERROR_INVALID_HANDLE; }

// Every lookup asks SetupAPI afresh.
void holdDeviceList(bool) {}

std::uint32_t saveError() { return GetLastError(); }
void restoreError(std::uint32_t saved) { SetLastError(saved); }

Backend backend(const char *name, bool simulated) {
    return Backend{name,        simulated,    findDevicePath, openPipe,   closePipe,
                   writeReport, readReply,    deviceGone,     timedOut,   holdDeviceList,
                   saveError,   restoreError, &sharedTurn,    nullptr,    nullptr,
                   nullptr};
}

}  // namespace windows
}  // namespace VESK
