// pipes.cpp - the transport object: opens a board's endpoint as a write pipe
// and an overlapped read pipe, and closes them again.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "usb/usbapi.h"

namespace VESK {

const char MATCH_8248[] = "vid_04d8&pid_8248";
const char MATCH_8348[] = "vid_04d8&pid_8348";
const char PIPE_SUFFIX[] = "\\MCHP_EP1";

VESKUSBBASE::~VESKUSBBASE() = default;

USBAPI::USBAPI(std::uint16_t deviceIndex, const char *matchText, const char *writePipeSuffix,
               const char *readPipeSuffix)
    : deviceIndex_(deviceIndex),
      matchText_(matchText),
      writePipeSuffix_(writePipeSuffix),
      readPipeSuffix_(readPipeSuffix),
      writePipe_(INVALID_HANDLE_VALUE),
      readPipe_(INVALID_HANDLE_VALUE) {}

bool USBAPI::writePipeOpen() const { return writePipe_ != INVALID_HANDLE_VALUE; }
bool USBAPI::readPipeOpen() const { return readPipe_ != INVALID_HANDLE_VALUE; }

// Looks the board up afresh and opens "<interface path><suffix>".
PipeHandle USBAPI::openEndpoint(const char *suffix, std::uint32_t access, std::uint32_t flags) {
    if (matchText_ == nullptr) return INVALID_HANDLE_VALUE;

    char path[PATH_LIMIT];
    std::uint32_t pathLength = 0;
    if (findDevicePath(deviceIndex_, matchText_, path, sizeof path, &pathLength) != LOOKUP_OK) {
        return INVALID_HANDLE_VALUE;
    }

    // Up to 259 path characters, the 9-character suffix and the terminator.
    char name[PATH_LIMIT + sizeof PIPE_SUFFIX];
    const int written =
        std::snprintf(name, sizeof name, "%s%s", path, suffix != nullptr ? suffix : "");
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof name) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

bool USBAPI::openPipes() {
    writePipe_ = openEndpoint(writePipeSuffix_, GENERIC_WRITE, 0);
    readPipe_ =
        openEndpoint(readPipeSuffix_, GENERIC_READ, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL);
    return writePipeOpen() && readPipeOpen();
}

PipeCloseResult USBAPI::closePipes() {
    PipeCloseResult result{true, true};
    if (writePipeOpen()) result.writeClosed = CloseHandle(writePipe_) != FALSE;
    if (readPipeOpen()) result.readClosed = CloseHandle(readPipe_) != FALSE;
    writePipe_ = INVALID_HANDLE_VALUE;
    readPipe_ = INVALID_HANDLE_VALUE;
    return result;
}

void USBAPI::dropPipesOnInvalidHandle() {
    if (GetLastError() == ERROR_INVALID_HANDLE) closePipes();
}

}  // namespace VESK
