// usbapi.cpp - the transport object, the same for every backend: it keeps a
// board's two pipes and hands each operation to the backend of the process.
#include "usb/usbapi.h"

#include "usb/backend.h"

namespace VESK {

const char MATCH_8248[] = "vid_04d8&pid_8248";
const char MATCH_8348[] = "vid_04d8&pid_8348";
const char PIPE_SUFFIX[] = "\\MCHP_EP1";

VESKUSBBASE::~VESKUSBBASE() = default;

int findDevicePath(std::uint32_t memberIndex, const char *matchText, char *destination,
                   std::uint32_t destinationSize, std::uint32_t *pathLength) {
    return backend().findDevicePath(memberIndex, matchText, destination, destinationSize,
                                    pathLength);
}

bool writeReport(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *writtenCount) {
    return backend().writeReport(pipe, report, writtenCount);
}

bool readReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
               std::uint32_t *readCount) {
    return backend().readReply(pipe, buffer, length, readCount);
}

bool deviceGone() { return backend().deviceGone(); }

bool simulatedBoards() { return backend().simulated; }

DeviceListHold::DeviceListHold() { backend().holdDeviceList(true); }
DeviceListHold::~DeviceListHold() { backend().holdDeviceList(false); }

USBAPI::USBAPI(std::uint16_t deviceIndex, const char *matchText, const char *writePipeSuffix,
               const char *readPipeSuffix)
    : deviceIndex_(deviceIndex),
      matchText_(matchText),
      writePipeSuffix_(writePipeSuffix),
      readPipeSuffix_(readPipeSuffix),
      writePipe_(noPipe()),
      readPipe_(noPipe()) {}

bool USBAPI::writePipeOpen() const { return writePipe_ != noPipe(); }
bool USBAPI::readPipeOpen() const { return readPipe_ != noPipe(); }

bool USBAPI::openPipes() {
    const Backend &b = backend();
    const DeviceListHold oneListing;
    writePipe_ = b.openPipe(deviceIndex_, matchText_, writePipeSuffix_, PipeDirection::Write);
    readPipe_ = b.openPipe(deviceIndex_, matchText_, readPipeSuffix_, PipeDirection::Read);
    return writePipeOpen() && readPipeOpen();
}

PipeCloseResult USBAPI::closePipes() {
    PipeCloseResult result{true, true};
    // A transport whose pipes are not open touches no backend at all.
    if (writePipeOpen()) result.writeClosed = backend().closePipe(writePipe_);
    if (readPipeOpen()) result.readClosed = backend().closePipe(readPipe_);
    writePipe_ = noPipe();
    readPipe_ = noPipe();
    return result;
}

void USBAPI::dropPipesIfDeviceGone() {
    if (deviceGone()) closePipes();
}

}  // namespace VESK
