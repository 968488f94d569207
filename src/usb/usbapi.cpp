// usbapi.cpp - the transport object, the same for every backend: it keeps a
// board's two pipes and hands each operation to the backend of the process.
#include "usb/usbapi.h"

#include "protocol/report.h"
#include "usb/backend.h"
#include "usb/open_boards.h"
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
    // The board is told apart from every other by the path its lookup finds;
    // the pipes are opened on the board found at the same index.
    char path[PATH_LIMIT];
    std::uint32_t pathLength = 0;
    if (matchText_ == nullptr ||
        b.findDevicePath(deviceIndex_, matchText_, path, sizeof path, &pathLength) != LOOKUP_OK) {
        return false;
    }
    // The first user holds the board's turn from joining until its drain is
    // done, so no other transport of the process asks the board anything
    // before then. The entry outlives the turn's hold even if the drain
    // finds the board gone and leaves it.
    std::shared_ptr<OpenBoard> joined;
    std::unique_lock<std::mutex> firstTurn;
    joined = joinBoard(path, firstTurn);
    board_ = joined;
    writePipe_ = b.openPipe(deviceIndex_, matchText_, writePipeSuffix_, PipeDirection::Write);
    readPipe_ = b.openPipe(deviceIndex_, matchText_, readPipeSuffix_, PipeDirection::Read);
    wireLogPipesOpened(writePipe_, readPipe_, path);
    if (firstTurn.owns_lock() && writePipeOpen() && readPipeOpen()) drainBoard();
    return writePipeOpen() && readPipeOpen();
}

// Replies carry nothing that ties them to their query, so a reply left in
// the endpoint by an earlier user of the board (a process that gave up on a
// query and exited) would be taken for this process's first answer. Short
// whole-packet reads take such replies away until one gets nothing. A board
// found gone on the way leaves the pipes closed. A drain that could not make
// sure the endpoint is empty (a read failed for another reason than nothing
// coming, or replies kept coming) marks the board as owing a reply, so its
// first query collects what may be left before asking.
void USBAPI::drainBoard() {
    const std::shared_ptr<OpenBoard> board = board_;
    std::uint8_t discarded[brevant::REPORT_SIZE];
    for (unsigned read = 0; read < DRAIN_READ_LIMIT; ++read) {
        std::uint32_t received = 0;
        if (!readReply(readPipe_, discarded, sizeof discarded, &received, DRAIN_READ_MS)) {
            if (deviceGone()) {
                boardFoundGone(board);
                closePipes();
                return;
            }
            if (readTimedOut()) return;
            break;
        }
        if (received == 0) return;
    }
    if (board->owedReplyLength == 0) {
        board->owedReplyWaits = 1;
        board->owedReplyLength = static_cast<std::uint32_t>(brevant::REPORT_SIZE);
    }
}

void USBAPI::leaveBoardIfJoined() {
    if (board_ == nullptr) return;
    leaveBoard(board_);
    board_.reset();
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

// A board left by a fork is not waited for: its turn may belong to a thread
// of the parent, and its pipes reach nothing in this process anyway.
BoardTurn::BoardTurn(const USBAPI &transport)
    : board_(transport.board()), hold_(board_->turn, std::defer_lock) {
    if (!board_->leftByFork) hold_.lock();
}

std::uint32_t BoardTurn::owedReplyLength() const { return board_->owedReplyLength; }

std::uint32_t BoardTurn::owedReplyWaits() const { return board_->owedReplyWaits; }

void BoardTurn::setOwedReply(std::uint32_t length, std::uint32_t waits) {
    board_->owedReplyWaits = waits;
    board_->owedReplyLength = length;
}

void BoardTurn::boardFoundGone() { VESK::boardFoundGone(board_); }

}  // namespace VESK
