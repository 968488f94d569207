// wire_log.h - the wire log: when BREVANT_WIRE_LOG names a file, every report
// this process writes to a board and every reply read goes to that file as
// one text line (docs/wire-log.md gives the format). The variable is looked
// at once, at the first transfer or connect; when it is unset, a transfer
// pays one atomic load for the log and nothing else.
#ifndef BREVANT_USB_WIRE_LOG_H
#define BREVANT_USB_WIRE_LOG_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "usb/usbapi.h"

namespace VESK {

constexpr char WIRE_LOG_VARIABLE[] = "BREVANT_WIRE_LOG";

namespace wirelog {
// 0: the variable was not looked at yet; 1: no log; 2: logging.
extern std::atomic<int> state;
int start();
}  // namespace wirelog

// Whether this process writes a wire log.
inline bool wireLogOn() {
    const int s = wirelog::state.load(std::memory_order_acquire);
    return (s != 0 ? s : wirelog::start()) == 2;
}

// The transfers with their log line: they run the backend's transfer and
// write the line whatever the outcome. Called only while wireLogOn().
bool loggedWriteReport(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *writtenCount);
bool loggedReadReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
                     std::uint32_t *readCount, std::uint32_t timeoutMs);

// The board's location (the path its lookup found) for the lines of these
// pipes, from their opening until wireLogPipesClosed. Nothing when off.
void wireLogPipesOpened(PipeHandle writePipe, PipeHandle readPipe, const std::string &location);
void wireLogPipesClosed(PipeHandle writePipe, PipeHandle readPipe);
// The board reached through `pipe` has this serial number (EEPROM bytes
// 0-7 as read); it goes on every later line of the board's location.
void wireLogSerial(PipeHandle pipe, const std::uint8_t *serial, std::size_t length);

// fork: the log's lock is held across it, so that a child never inherits it
// held by a thread that was writing a line.
void holdWireLogForFork();
void releaseWireLogAfterFork();

}  // namespace VESK

#endif
