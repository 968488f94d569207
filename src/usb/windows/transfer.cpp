// transfer.cpp - the Windows backend's transfers: one report out or one reply in over an open pipe. Writes
// finish before WriteFile returns (the write pipe is not overlapped); reads
// are overlapped and bounded by the caller's wait (PIPE_TIMEOUT_MS for a
// reply).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "protocol/report.h"
#include "usb/windows/windows_transport.h"

namespace VESK {
namespace windows {
namespace {

enum class Direction { Write, Read };

// Whether the last transfer of this thread ended because its wait ran out.
thread_local bool waitRanOut = false;

// Runs one transfer. On failure the thread's last system error is the
// transfer's own error when this returns, whatever the clean-up did, so the
// caller can tell a vanished device (ERROR_INVALID_HANDLE) from the rest.
bool transfer(HANDLE pipe, Direction direction, void *buffer, DWORD length, DWORD timeoutMs,
              std::uint32_t *count) {
    if (count != nullptr) *count = 0;
    waitRanOut = false;
    // Without an event nothing could be waited for: fail before any I/O.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) return false;

    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;

    DWORD done = 0;
    const BOOL completed =
        direction == Direction::Write
            ? WriteFile(pipe, buffer, length, &done, &overlapped)
            : ReadFile(pipe, buffer, length, &done, &overlapped);

    bool answer = false;
    DWORD error = ERROR_SUCCESS;
    if (completed) {
        if (count != nullptr) *count = done;
        answer = true;
    } else {
        error = GetLastError();
        if (error == ERROR_HANDLE_EOF) {
            // End of data: nothing outstanding to cancel.
        } else if (error == ERROR_IO_PENDING) {
            const DWORD waited = WaitForSingleObject(event, timeoutMs);
            if (waited == WAIT_OBJECT_0) {
                if (GetOverlappedResult(pipe, &overlapped, &done, FALSE)) {
                    if (count != nullptr) *count = done;
                    answer = true;
                } else {
                    error = GetLastError();
                    std::printf("Error: %d", static_cast<int>(error));
                    std::fflush(stdout);
                }
            } else {
                error = GetLastError();
                waitRanOut = waited == WAIT_TIMEOUT;
                CancelIo(pipe);
                // The system may still write into the OVERLAPPED record, the
                // event and the buffer until the cancelled read has ended:
                // wait for that before any of them is released.
                GetOverlappedResult(pipe, &overlapped, &done, TRUE);
            }
        } else {
            CancelIo(pipe);
        }
    }

    ResetEvent(event);
    CloseHandle(event);
    if (!answer) SetLastError(error);
    return answer;
}

}  // namespace

bool timedOut() { return waitRanOut; }

bool writeReport(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *writtenCount) {
    return transfer(pipe, Direction::Write, const_cast<std::uint8_t *>(report),
                    static_cast<DWORD>(brevant::REPORT_SIZE), PIPE_TIMEOUT_MS, writtenCount);
}

bool readReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
               std::uint32_t timeoutMs, std::uint32_t *readCount) {
    return transfer(pipe, Direction::Read, buffer, length, timeoutMs, readCount);
}

}  // namespace windows
}  // namespace VESK
