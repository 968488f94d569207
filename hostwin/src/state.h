// state.h - the inside of the virtual Windows: one lock, the device
// interfaces, the handle table, pending I/O, faults and counters.
#ifndef HOSTWIN_STATE_H
#define HOSTWIN_STATE_H

#include <windows.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostwin/platform.h"

namespace hostwin {

// Marks an OVERLAPPED record whose transfer has not completed.
constexpr ULONG_PTR kStatusPending = 0x103;

struct QueuedReply {
    Reply reply;
    std::uint64_t arrivesAt;
};

struct Interface {
    InterfaceDesc desc;
    bool present = true;
    // Bumped at each removal: handles opened before it are dead.
    std::uint32_t generation = 0;
    std::deque<QueuedReply> replies;
};

struct FileObject {
    InterfaceId interface;
    std::uint32_t generation;
    bool canRead, canWrite, overlapped;
    DWORD shareMode;  // FILE_SHARE_READ / FILE_SHARE_WRITE granted to later opens
};
struct EventObject {
    bool manualReset;
    bool signalled;
};
struct DeviceListObject {
    std::vector<InterfaceId> members;  // snapshot taken when the list was built
};
struct RegistryKeyObject {
    InterfaceId interface;
};

// A named mutex or shared section, alive while a handle (or a view) keeps it.
struct NamedMutex {
    unsigned handles = 0;
    std::thread::id owner;  // default: nobody
    unsigned recursion = 0;
    bool abandonNext = false;
};
struct NamedSection {
    unsigned handles = 0;
    std::shared_ptr<std::vector<std::uint8_t>> bytes;
};

struct Object {
    enum Kind { File, Event, DeviceList, RegistryKey, Mutex, Section } kind;
    FileObject file{};
    EventObject event{};
    DeviceListObject list{};
    RegistryKeyObject key{};
    std::string name{};  // of a mutex or section
};

// A read that did not complete at once.
struct PendingRead {
    std::uintptr_t file;
    OVERLAPPED *overlapped;
    std::uint8_t *buffer;
    DWORD length;
    bool cancelled;
};

struct Fault {
    DWORD error;
    unsigned skip;
    unsigned count;
};

struct State {
    std::recursive_mutex lock;
    bool configured = false;
    SetupHook defaultSetup = nullptr;
    SetupHook listHook = nullptr;

    std::map<InterfaceId, Interface> interfaces;
    std::vector<InterfaceId> order;  // present and removed, in list order
    InterfaceId nextInterface = 1;

    std::map<std::uintptr_t, Object> objects;
    std::uintptr_t nextHandle = 0x1000;
    std::deque<PendingRead> pending;
    std::map<std::string, NamedMutex> mutexes;
    std::map<std::string, NamedSection> sections;
    // Mapped views: their memory, kept alive by the view.
    std::map<const void *, std::shared_ptr<std::vector<std::uint8_t>>> views;
    std::uint64_t unnamed = 0;

    std::array<std::uint64_t, static_cast<unsigned>(Fn::Count)> calls{};
    std::array<std::deque<Fault>, static_cast<unsigned>(Fn::Count)> faults{};
    std::vector<std::uint32_t> readLengths;
    std::uint64_t abandoned = 0;
    std::uint64_t clock = 0;
};

State &state();

// Takes the lock and enters one system call: runs the default setup when the
// platform was never configured, counts the call, and answers the error of
// a fault that fires now.
class Call {
   public:
    explicit Call(Fn fn);
    std::optional<DWORD> fault() const { return fault_; }
    State &s;

   private:
    std::lock_guard<std::recursive_mutex> hold_;
    std::optional<DWORD> fault_;
};

// Handle table.
HANDLE newHandle(State &s, Object object);
Object *findObject(State &s, HANDLE handle, Object::Kind kind);
void setError(DWORD error);

// Waits on a mutex handle (WaitForSingleObject on a mutex); `isMutex` tells
// such handles.
bool isMutex(HANDLE handle);
DWORD waitForMutex(HANDLE handle, DWORD milliseconds);
// Drops one handle of a named object (CloseHandle of a mutex or section).
void closeNamed(State &s, const Object &object);

// Whether a file object's device is still the one it was opened on.
bool fileAlive(State &s, const FileObject &file);
// Completes a read from the next reply of its interface, if one has
// arrived. Returns the completed byte count through the OVERLAPPED record.
void completeRead(State &s, PendingRead &read, QueuedReply reply);
void signal(State &s, HANDLE event);

}  // namespace hostwin

#endif
