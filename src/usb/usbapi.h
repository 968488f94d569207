// usbapi.h - the USB transport: finding a board's device interface, opening
// its endpoint as a write pipe and an overlapped read pipe, and moving
// reports and replies over them. The only part of the library that talks to
// the operating system; this header itself needs no system headers.
#ifndef BREVANT_USB_USBAPI_H
#define BREVANT_USB_USBAPI_H

#include <cstdint>

namespace VESK {

// A system handle as the transport keeps it (a Windows HANDLE).
using PipeHandle = void *;

// Match texts searched in a device's lower-cased "DeviceInstance" value.
extern const char MATCH_8248[];  // "vid_04d8&pid_8248"
extern const char MATCH_8348[];  // "vid_04d8&pid_8348"
// Appended to an interface path to name the board's endpoint.
extern const char PIPE_SUFFIX[];  // "\MCHP_EP1"

constexpr std::uint32_t PIPE_TIMEOUT_MS = 100;
// An interface path is opened only when shorter than this.
constexpr std::uint32_t PATH_LIMIT = 260;

// Answers of findDevicePath.
enum LookupResult {
    LOOKUP_TOO_LONG = 0,
    LOOKUP_OK = 1,
    LOOKUP_ERROR = 2,
    LOOKUP_NO_MORE = 3,
    LOOKUP_NO_MATCH = 4,
};

// Looks up the present interface at `memberIndex` of the board driver's
// interface class. With `matchText` (the empty text included) the
// interface's DeviceInstance must contain it. Copies the path to
// `destination` when it fits in `destinationSize` with its terminator.
int findDevicePath(std::uint32_t memberIndex, const char *matchText, char *destination,
                   std::uint32_t destinationSize, std::uint32_t *pathLength);

// Whether the registry's DeviceInstance value of the interface at `path`
// contains `matchText`. `path` is changed while it runs and restored.
bool matchDeviceInstance(char *path, const char *matchText);

// Writes one REPORT_SIZE-byte report; returns once the system has taken it.
bool writeReport(PipeHandle pipe, const std::uint8_t *report, std::uint32_t *writtenCount);
// Reads up to `length` reply bytes, waiting at most PIPE_TIMEOUT_MS.
bool readReply(PipeHandle pipe, std::uint8_t *buffer, std::uint32_t length,
               std::uint32_t *readCount);

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

    // Opens both pipes, storing each handle (or the invalid value);
    // true when both are open. Does not close what the fields held.
    bool openPipes();
    // Closes each open pipe and marks both invalid.
    PipeCloseResult closePipes();
    // closePipes() when the thread's last system error is ERROR_INVALID_HANDLE.
    void dropPipesOnInvalidHandle();

    bool writePipeOpen() const;
    bool readPipeOpen() const;
    PipeHandle writePipe() const { return writePipe_; }
    PipeHandle readPipe() const { return readPipe_; }
    std::uint16_t deviceIndex() const { return deviceIndex_; }

    // The length of a reply the board still owes: a query's read on these
    // pipes failed, so its reply may arrive later. 0 when nothing is owed.
    // Only the exchange reads and sets it.
    std::uint32_t owedReplyLength() const { return owedReplyLength_; }
    void setOwedReplyLength(std::uint32_t length) { owedReplyLength_ = length; }

    // EEPROM byte access over this transport (defined with the EEPROM report).
    int eepromWrite(std::int32_t address, std::uint8_t data);
    int eepromRead(std::int32_t address, std::uint8_t *value);

   private:
    PipeHandle openEndpoint(const char *suffix, std::uint32_t access, std::uint32_t flags);

    std::uint16_t deviceIndex_;
    const char *matchText_;
    const char *writePipeSuffix_;
    const char *readPipeSuffix_;
    PipeHandle writePipe_;
    PipeHandle readPipe_;
    std::uint32_t owedReplyLength_ = 0;
};

}  // namespace VESK

#endif
