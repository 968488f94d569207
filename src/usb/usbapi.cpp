// usbapi.cpp - the transport object, the same for every backend: it keeps a
// board's two pipes and hands each operation to the backend of the process.
#include "usb/usbapi.h"

#include "protocol/report.h"
#include "usb/backend.h"
#include "usb/conversation.h"
#include "usb/wire_log.h"

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
    if (wireLogOn()) return loggedWriteReport(pipe, report, writtenCount);
    return backend().writeReport(pipe, report, writtenCount);
}

bool readReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
               std::uint32_t *readCount, std::uint32_t timeoutMs) {
    if (wireLogOn()) return loggedReadReply(pipe, buffer, length, readCount, timeoutMs);
    return backend().readReply(pipe, buffer, length, timeoutMs, readCount);
}

bool deviceGone() { return backend().deviceGone(); }

bool readTimedOut() { return backend().timedOut(); }

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

USBAPI::~USBAPI() { leaveBoardIfJoined(); }

bool USBAPI::writePipeOpen() const { return writePipe_ != noPipe(); }
bool USBAPI::readPipeOpen() const { return readPipe_ != noPipe(); }

bool USBAPI::openPipes() {
    const Backend &b = backend();
    // The board's path and both its pipes come from one listing.
    const DeviceListHold oneListing;
    leaveBoardIfJoined();
    writePipe_ = noPipe();
    readPipe_ = noPipe();
    // The board is told apart from every other by the path its lookup finds,
    // and both pipes are opened on that device, not on whatever a second
    // lookup by index would find if a board came or went meanwhile.
    char path[PATH_LIMIT];
    std::uint32_t pathLength = 0;
    if (matchText_ == nullptr ||
        b.findDevicePath(deviceIndex_, matchText_, path, sizeof path, &pathLength) != LOOKUP_OK) {
        return false;
    }
    writePipe_ = b.openPipe(path, writePipeSuffix_, PipeDirection::Write);
    readPipe_ = b.openPipe(path, readPipeSuffix_, PipeDirection::Read);
    wireLogPipesOpened(writePipe_, readPipe_, path);
    // A board is joined only with both pipes open: half a connection would
    // count as a user of the board and spare the next joiner its drain.
    if (!writePipeOpen() || !readPipeOpen()) {
        closePipes();
        return false;
    }
    return joinConversation(path, *this) != nullptr;
}

void USBAPI::leaveBoardIfJoined() {
    if (board_ == nullptr) return;
    const std::shared_ptr<BoardConversation> board = std::move(board_);
    board_.reset();
    leaveConversation(board);
}

PipeCloseResult USBAPI::closePipes() {
    PipeCloseResult result{true, true};
    // A transport whose pipes are not open touches no backend at all.
    if (writePipeOpen()) result.writeClosed = backend().closePipe(writePipe_);
    if (readPipeOpen()) result.readClosed = backend().closePipe(readPipe_);
    wireLogPipesClosed(writePipe_, readPipe_);
    writePipe_ = noPipe();
    readPipe_ = noPipe();
    leaveBoardIfJoined();
    return result;
}

void USBAPI::dropPipesIfDeviceGone() {
    if (deviceGone()) closePipes();
}

}  // namespace VESK
