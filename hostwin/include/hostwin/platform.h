// platform.h - controls of the virtual Windows, for tests and the virtual
// bench: the device interfaces present and their endpoints, the registry
// entries that go with them, a virtual clock, fault injection for every
// system call, and the bookkeeping that shows what is open.
#ifndef HOSTWIN_PLATFORM_H
#define HOSTWIN_PLATFORM_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hostwin {

// The system calls of the virtual Windows.
enum class Fn : unsigned {
    SetupDiGetClassDevsA,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailA,
    SetupDiDestroyDeviceInfoList,
    RegOpenKeyExA,
    RegQueryValueExA,
    RegCloseKey,
    CreateFileA,
    WriteFile,
    ReadFile,
    GetOverlappedResult,
    CancelIo,
    CloseHandle,
    CreateEventA,
    ResetEvent,
    WaitForSingleObject,
    GetLastError,
    SetLastError,
    wsprintfA,
    _strlwr,
    CreateMutexA,
    ReleaseMutex,
    // WaitForSingleObject on a mutex: counted and faulted apart from the
    // waits of transfers, so a fault meant for a read's wait hits that wait.
    WaitForMutex,
    CreateFileMappingA,
    MapViewOfFile,
    UnmapViewOfFile,
    Count
};
HOSTWIN_API const char *name(Fn fn);

// The answer a device gives to one report written to its endpoint.
struct Reply {
    std::vector<std::uint8_t> bytes;
    std::uint32_t latencyMs = 0;  // virtual time from the write until the reply is there
    // Added to the byte count the system reports for the read that takes this
    // reply (a driver reporting more than it delivered).
    std::uint32_t extraCount = 0;
};

// What sits behind a device interface's endpoint. Called with the platform
// locked: it must not call back into the platform.
class HOSTWIN_API Endpoint {
   public:
    virtual ~Endpoint();
    // A write arrived. Returns the reply to queue, if any.
    virtual std::optional<Reply> onWrite(const std::uint8_t *data, std::size_t size) = 0;
    // Real milliseconds the write just taken keeps its writer: slept after
    // the platform is unlocked, so a slow device slows only its own writer.
    virtual std::uint32_t paceMs() { return 0; }
};

// The GUID under which the board driver lists its devices, as text.
HOSTWIN_API extern const char kBoardInterfaceClass[];  // "{5354fa28-...-75bb54e6030f}"

struct InterfaceDesc {
    std::string path;  // "\\?\usb#vid_04d8&pid_8348#<serial>#{...}"
    // The registry's "DeviceInstance" value; none when it cannot be read.
    std::optional<std::string> deviceInstance;
    bool deviceInstanceTerminated = true;  // stored with its terminating zero
    bool registryKey = true;               // the interface's registry key exists
    bool openForWrite = true;              // the endpoint opens for writing
    bool openForRead = true;               // the endpoint opens for reading
    std::shared_ptr<Endpoint> endpoint;
};

using InterfaceId = std::uint32_t;

// Adds a present interface at the end of the class's list, or before
// position `position` when given.
HOSTWIN_API InterfaceId addInterface(InterfaceDesc desc,
                                     std::optional<std::size_t> position = std::nullopt);
// Surprise removal: the interface leaves the list and every open handle on
// its endpoint fails with ERROR_INVALID_HANDLE. Its registry key stays.
HOSTWIN_API void removeInterface(InterfaceId id);
// Plugs a removed interface back at the position it had (new handles work;
// the old ones stay dead).
HOSTWIN_API void restoreInterface(InterfaceId id);
// Changes the description of an interface (endpoint included); handles stay.
HOSTWIN_API void updateInterface(InterfaceId id, const InterfaceDesc &desc);
HOSTWIN_API InterfaceDesc interfaceDesc(InterfaceId id);
// Every interface added since the last reset, present or removed, in list
// order.
HOSTWIN_API std::vector<InterfaceId> interfaces();
HOSTWIN_API bool isPresent(InterfaceId id);
// Replies queued on the interface's endpoint and not yet read.
HOSTWIN_API std::size_t pendingReplies(InterfaceId id);
HOSTWIN_API void dropPendingReplies(InterfaceId id);

// Empties the platform: no interfaces, no faults, counters and clock at
// zero, every object forgotten but named mutexes and sections, which stay
// with whoever holds them. Also stops the default setup from running.
HOSTWIN_API void reset();

// The default setup runs once, before the first system call, when nothing
// has reset or configured the platform: it lets programs on the host find a
// bench without code of their own.
using SetupHook = void (*)();
HOSTWIN_API void setDefaultSetup(SetupHook hook);
// Marks the platform configured, so the default setup does not run.
HOSTWIN_API void markConfigured();
// Runs each time a program lists the devices, before the list is built, with
// the platform locked (the default bench looks at its bench file there, so a
// board can be plugged or unplugged from outside a running program).
// reset() removes it.
HOSTWIN_API void setListHook(SetupHook hook);

// Makes calls of `fn` fail with `error`: the `count` calls that come after
// the next `skip` calls. Faults of one function apply in the order given.
HOSTWIN_API void failCalls(Fn fn, DWORD error, unsigned count = 1, unsigned skip = 0);
HOSTWIN_API void clearFaults();
// Faults that were set and have not fired yet.
HOSTWIN_API std::size_t pendingFaults();

// Calls made since the last reset (faulted ones included).
HOSTWIN_API std::uint64_t calls(Fn fn);
// The byte count each ReadFile since the last reset asked for, in order
// (faulted ones included).
HOSTWIN_API std::vector<std::uint32_t> readLengths();
// Forgets the byte counts recorded so far and the memory that held them
// (a long run that measures its heap calls this between its steps).
HOSTWIN_API void forgetReadLengths();
// Calls of every function except GetLastError, SetLastError, wsprintfA and
// _strlwr: zero means the caller did not touch the system.
HOSTWIN_API std::uint64_t systemCalls();

struct OpenObjects {
    std::size_t files = 0;
    std::size_t events = 0;
    std::size_t deviceLists = 0;
    std::size_t registryKeys = 0;
    std::size_t mutexes = 0;   // mutex handles
    std::size_t sections = 0;  // shared-section handles and mapped views
    std::size_t total() const { return files + events + deviceLists + registryKeys + mutexes + sections; }
};
HOSTWIN_API OpenObjects openObjects();
// Every named mutex that exists now is left as if the process that held it
// died: the next wait on it answers WAIT_ABANDONED (and takes it).
HOSTWIN_API void abandonMutexes();
// Overlapped reads whose OVERLAPPED record was given up (its event or file
// closed) before the system had finished with it.
HOSTWIN_API std::uint64_t abandonedIo();
// Reads started and not yet completed or collected.
HOSTWIN_API std::size_t outstandingIo();

// The virtual clock, in milliseconds. Waits advance it instead of sleeping.
HOSTWIN_API std::uint64_t nowMs();
HOSTWIN_API void advanceMs(std::uint64_t ms);

// The file name that opens an interface's endpoint.
HOSTWIN_API std::string endpointName(const std::string &interfacePath);

}  // namespace hostwin

#endif
