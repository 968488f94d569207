// usbapi.h - the USB transport as the rest of the library sees it: finding a
// board, opening its endpoint as a write pipe and a read pipe, and moving
// reports and replies over them. Which backend does the work (Windows
// SetupAPI and files, or libusb) is decided by the build and, where a build
// carries more than one, at first use (usb/backend.h); nothing here names a
// system.
#ifndef BREVANT_USB_USBAPI_H
#define BREVANT_USB_USBAPI_H

#include <cstdint>
#include <memory>

namespace VESK {

struct BoardConversation;

// A pipe as the transport keeps it: a system handle (Windows) or the
// backend's own pipe object. noPipe() when not open.
using PipeHandle = void *;
inline PipeHandle noPipe() { return reinterpret_cast<PipeHandle>(~static_cast<std::uintptr_t>(0)); }

// Identity texts of the two board types; the empty text matches every
// device of the board driver.
extern const char MATCH_8248[];  // "vid_04d8&pid_8248"
extern const char MATCH_8348[];  // "vid_04d8&pid_8348"
// Names the board's endpoint 1 (on Windows appended to the interface path).
extern const char PIPE_SUFFIX[];  // "\MCHP_EP1"

constexpr std::uint32_t PIPE_TIMEOUT_MS = 100;
// How long each read of the drain waits: replies left in a board's endpoint
// before this process opened it are taken away with reads this short.
constexpr std::uint32_t DRAIN_READ_MS = 10;
// A drain stops after this many reads even if replies keep coming.
constexpr unsigned DRAIN_READ_LIMIT = 16;
// A device path is opened only when shorter than this.
constexpr std::uint32_t PATH_LIMIT = 260;

// Answers of findDevicePath.
enum LookupResult {
    LOOKUP_TOO_LONG = 0,
    LOOKUP_OK = 1,
    LOOKUP_ERROR = 2,
    LOOKUP_NO_MORE = 3,
    LOOKUP_NO_MATCH = 4,
};

// Looks up the device at `memberIndex` of the board driver's device list.
// With `matchText` (the empty text included) the device's identity must
// contain it. Copies the device's path to `destination` when it fits in
// `destinationSize` with its terminator.
int findDevicePath(std::uint32_t memberIndex, const char *matchText, char *destination,
                   std::uint32_t destinationSize, std::uint32_t *pathLength);

// Writes one REPORT_SIZE-byte report; returns once the system has taken it.
bool writeReport(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *writtenCount);
// Reads up to `length` reply bytes, waiting at most `timeoutMs`. A read
// that timed out has ended (cancelled and collected) when this returns.
bool readReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
               std::uint32_t *readCount, std::uint32_t timeoutMs = PIPE_TIMEOUT_MS);

// Whether the transfer that just failed on this thread failed because the
// device went away (unplugged, or its handle is no longer valid).
bool deviceGone();
// Whether the read that just failed on this thread failed only because no
// reply came within its wait.
bool readTimedOut();

// Whether the boards reached are simulated ones.
bool simulatedBoards();

// While one lives, the device lookups of this thread see one listing of the
// devices, so that what they find belongs together (both pipes of a board,
// the boards of one enumeration) even when a device comes or goes meanwhile.
class DeviceListHold {
   public:
    DeviceListHold();
    ~DeviceListHold();
    DeviceListHold(const DeviceListHold &) = delete;
    DeviceListHold &operator=(const DeviceListHold &) = delete;
};

class VESKUSBBASE {
   public:
    virtual ~VESKUSBBASE();
};

struct PipeCloseResult {
    bool writeClosed;  // the write pipe was not open, or closed cleanly
    bool readClosed;   // the same for the read pipe
};

class USBAPI : public VESKUSBBASE {
   public:
    USBAPI(std::uint16_t deviceIndex, const char *matchText, const char *writePipeSuffix,
           const char *readPipeSuffix);
    // Leaves the board if it is still joined (its turn and mark are closed
    // with its last user); open pipes are not closed.
    ~USBAPI() override;
    USBAPI(const USBAPI &) = delete;
    USBAPI &operator=(const USBAPI &) = delete;

    // Looks the board up and opens both pipes on the device that lookup
    // found; then joins the board's conversation, which drains the endpoint
    // (a reply some earlier user left there is read and dropped). True when
    // both pipes are open and the board is joined. When either pipe does not
    // open, or the board cannot be joined, whatever opened is closed again.
    // Does not close what the fields held.
    bool openPipes();
    // Closes each open pipe, marks both invalid and leaves the board. What
    // the board owes stays with the board.
    PipeCloseResult closePipes();
    // closePipes() when the transfer that just failed on this thread failed
    // because the device went away (deviceGone()); otherwise nothing.
    void dropPipesIfDeviceGone();

    bool writePipeOpen() const;
    bool readPipeOpen() const;
    PipeHandle writePipe() const { return writePipe_; }
    PipeHandle readPipe() const { return readPipe_; }
    std::uint16_t deviceIndex() const { return deviceIndex_; }

    // The conversation of the board these pipes are open on, shared by every
    // transport of the process on it; null when not joined.
    const std::shared_ptr<BoardConversation> &board() const { return board_; }
    void setConversation(std::shared_ptr<BoardConversation> board) { board_ = std::move(board); }

   private:
    void leaveBoardIfJoined();

    std::uint16_t deviceIndex_;
    const char *matchText_;
    const char *writePipeSuffix_;
    const char *readPipeSuffix_;
    PipeHandle writePipe_;
    PipeHandle readPipe_;
    std::shared_ptr<BoardConversation> board_;
};

}  // namespace VESK

#endif
