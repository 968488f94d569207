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

enum class SharedTurnTake { Taken, Abandoned, Failed };

// The bytes of a board's mark that every process sees alike.
constexpr std::uint32_t SHARED_MARK_SIZE = 256;

// A board's turn and mark shared by every process that uses the library on
// it. Only where the system lets two processes open one board at once.
struct SharedTurnOps {
    // The turn of the board at `path` (the path a lookup found); null when
    // it cannot be made.
    void *(*open)(const char *path);
    // Waits for the turn; Abandoned when a process died holding it.
    SharedTurnTake (*take)(void *turn);
    void (*give)(void *turn);
    // SHARED_MARK_SIZE bytes every process sees alike (zero at first), read
    // and written only while the turn is held: what the board may owe.
    std::uint32_t *(*mark)(void *turn);
    void (*close)(void *turn);
};

struct Backend {
    const char *name;
    bool simulated;  // the boards it reaches are virtual ones
    int (*findDevicePath)(std::uint32_t memberIndex, const char *matchText, char *destination,
                          std::uint32_t destinationSize, std::uint32_t *pathLength);
    // Opens one pipe on the device at `path`, as findDevicePath gave it;
    // noPipe() on failure.
    PipeHandle (*openPipe)(const char *path, const char *suffix, PipeDirection direction);
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
    // The thread's error state after a failed transfer (what deviceGone and
    // timedOut answer from), and putting it back: work done between a
    // transfer and those questions (the wire log's line) keeps it.
    std::uint32_t (*saveError)();
    void (*restoreError)(std::uint32_t saved);
    // Null where no other process can open a board this process has open.
    const SharedTurnOps *sharedTurn;
    // Around fork (null where there is none): the backend's own locks are
    // taken before and released after, and the child forgets the parent's
    // devices.
    void (*forkPrepare)();
    void (*forkParent)();
    void (*forkChild)();
};

// The backend of this process, chosen on first use and kept.
const Backend &backend();
// The backend if it was chosen already, else null (fork handling must not
// choose one).
const Backend *backendIfChosen();

}  // namespace VESK

#endif
